#include "quintic/convexity.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace velarix::quintic {

// The smaller end value, or the value at a critical point inside.
double cubic_minimum(double e0, double e1, double e2, double e3) {
  // q(t) = b0 + b1 t + b2 t^2 + b3 t^3
  const double b0 = e0;
  const double b1 = 3 * (e1 - e0);
  const double b2 = 3 * ((e2 - e1) - (e1 - e0));
  const double b3 = (e3 - e0) + 3 * (e1 - e2);
  double least = e3 < e0 ? e3 : e0;
  // q'(t) = 3 b3 t^2 + 2 b2 t + b1; the roots in the form that does not
  // cancel.
  const double qa = 3 * b3;
  const double qb = 2 * b2;
  const double qc = b1;
  const double disc = qb * qb - 4 * qa * qc;
  // No real critical point: the minimum is at an end. A NaN (coefficients
  // out of range) decides nothing, and says so.
  if (std::isnan(disc)) return disc;
  if (disc < 0) return least;
  const double q = -0.5 * (qb + std::copysign(std::sqrt(disc), qb));
  // Both roots in one paired division where neither divisor is 0 (nearly
  // always).
  Pair roots = Pair{q, qc} / Pair{qa != 0 ? qa : 1, q != 0 ? q : 1};
  if (qa == 0) roots[0] = qb != 0 ? -qc / qb : -1.0;
  if (q == 0) roots[1] = -1.0;
  for (const double t : {roots[0], roots[1]}) {
    if (!(t > 0 && t < 1)) continue;
    const double value = b0 + t * (b1 + t * (b2 + t * b3));
    if (value < least) least = value;
  }
  return least;
}

bool minimum_keeps_bending(const Bernstein& c) {
  // In units of the scale, so that the roots' squares and products can
  // neither underflow nor overflow whatever the size of the data.
  const Pair low = Pair{c.e0, c.e1} / c.scale;
  const Pair high = Pair{c.e2, c.e3} / c.scale;
  return cubic_minimum(low[0], low[1], high[0], high[1]) >= -kRounding;
}

bool keeps_bending_closely(const Bend& b, const Bernstein& c) {
  if (!(c.scale < std::numeric_limits<double>::infinity())) return false;  // NaN too
  // The coefficients reach 20 times the scale: near the largest double they
  // overflow, and inf - inf would pass for no minimum. Such a piece is tested
  // in units of 2^64, exactly (only terms far below the floor lose bits).
  if (c.scale > kLargeScale) {
    return keeps_bending(Bend{std::ldexp(b.p0, -64), std::ldexp(b.p1, -64), std::ldexp(b.big0, -64),
                              std::ldexp(b.big1, -64)});
  }
  if (dips(c)) return false;
  return minimum_keeps_bending(c);
}

Vector<std::size_t> failing(const Samples& samples, std::span<const Shape> shapes,
                            std::span<const double> d, std::span<const double> a,
                            std::span<const std::size_t> candidates) {
  const std::span<const double> h = samples.widths();
  Vector<std::size_t> out;
  for (const std::size_t i : candidates) {
    const int k = orientation(shapes[i]);
    if (!keeps_bending(oriented(k, h[i], hermite(samples, d, a, i)))) out.push_back(i);
  }
  return out;
}

// The halves of a split interval keep the bending when, with c = kCapRatio / 2,
//   lambda A0 <= c p0 and (1 - lambda) A1 <= c p1
// (the left half's second Bernstein coefficient of S'' is
// (12 r - 8 (1 - r)) p0 + A_m - 2 lambda A0 with r = kOuterShare, and the
// right half's third likewise; the halves' curvature at the new knot, half
// the smaller end curvature, keeps the other coefficients at least 0.4 p0 and
// 0.4 p1). In curvatures:
//   k a0 <= c p0 (p0 + p1) / (p1 h),  k a1 <= c p1 (p0 + p1) / (p0 h).
Vector<std::uint8_t> insert_knots(const Samples& samples, std::span<const Shape> shapes,
                                  std::span<const double> d, std::span<double> a,
                                  std::span<const std::size_t> failing, const Ends& ends,
                                  std::span<const std::uint8_t> known) {
  const std::span<const double> h = samples.widths();
  const std::size_t m = shapes.size();
  const bool periodic = ends.periodic();
  Vector<std::uint8_t> marked(m, 0);
  // Intervals to test again after a cap on one of their knots.
  std::vector<std::size_t> again;
  // One past the highest knot capped so far: a failing interval i below it
  // may have a capped knot, and so have changed since the repair left its
  // test known.
  std::size_t capped_end = 0;
  const auto cap = [&](std::size_t knot, int k, double limit, std::size_t neighbour) {
    if (!(k * a[knot] > limit)) return;
    capped_end = std::max(capped_end, knot + 1);
    a[knot] = k * limit;
    // Periodic data's end knots are one knot, with one curvature.
    if (periodic && (knot == 0 || knot == m)) a[0] = a[m] = a[knot];
    neighbour = wrapped(neighbour, m, periodic);
    if (neighbour < m && orientation(shapes[neighbour]) != 0 && marked[neighbour] != kSplit) {
      again.push_back(neighbour);
    }
  };
  const auto test = [&](std::size_t i, Known before) {
    if (marked[i] == kSplit) return;
    const int k = orientation(shapes[i]);
    const Bend b = oriented(k, h[i], hermite(samples, d, a, i));
    // Most of these pieces failed in the knot stage and half of them still
    // fail, so the outcome is hard to predict.
    const bool passes = before == kUntested ? !fails_bending(b) : before == kPasses;
    if (passes) {
      marked[i] = kKept;
      return;
    }
    if (!(b.p0 > 0 && b.p1 > 0)) {
      marked[i] = kNotKept;
      return;
    }
    marked[i] = kSplit;
    const double gaps = b.p0 + b.p1;
    cap(i, k, kCapRatio / 2 * b.p0 * gaps / (b.p1 * h[i]), i - 1);
    cap(i + 1, k, kCapRatio / 2 * b.p1 * gaps / (b.p0 * h[i]), i + 1);
  };
  for (std::size_t e = 0; e < failing.size(); ++e) {
    const std::size_t i = failing[e];
    const bool stands = !known.empty() && capped_end <= i;
    test(i, stands ? static_cast<Known>(known[e]) : kUntested);
    while (!again.empty()) {
      const std::size_t j = again.back();
      again.pop_back();
      test(j, kUntested);
    }
  }
  return marked;
}

std::optional<double> split_point(int bending, double x0, double x1, const Hermite& e) {
  const double k = bending;
  const double p0 = k * e.p0;
  const double p1 = k * e.p1;
  if (!(p0 > 0 && p1 > 0)) return std::nullopt;
  const double lambda = p1 / (p0 + p1);
  const double x = x0 + lambda * (x1 - x0);
  if (!(x0 < x && x < x1)) return std::nullopt;
  return x;
}

std::optional<Halves> split(int bending, double x0, double x1, const Hermite& e) {
  const std::optional<double> point = split_point(bending, x0, x1, e);
  if (!point) return std::nullopt;
  const double h = x1 - x0;
  const double k = bending;
  const double x = *point;
  const double left_h = x - x0;
  const double right_h = x1 - x;
  // With secants d0 + r (m - d0) and m + (1 - r) (d1 - m) on the halves,
  // their rises add up to y1 - y0 for
  //   m = (dy - (1 - r) (left_h d0 + right_h d1)) / (r h).
  const double r = kOuterShare;
  const double d0 = e.s - e.p0;
  const double d1 = e.s + e.p1;
  const double m = ((e.y1 - e.y0) - (1 - r) * (left_h * d0 + right_h * d1)) / (r * h);
  const double y = e.y0 + left_h * (d0 + r * (m - d0));
  // Both secants in one paired division.
  const Pair secants = Pair{y - e.y0, e.y1 - y} / Pair{left_h, right_h};
  const double left_s = secants[0];
  const double right_s = secants[1];
  const double a = k * (0.5 * least(k * e.a0, k * e.a1));
  return Halves{x, Hermite{e.y0, y, left_s, left_s - d0, m - left_s, e.a0, a},
                Hermite{y, e.y1, right_s, right_s - m, d1 - right_s, a, e.a1}};
}

}  // namespace velarix::quintic
