#include "quintic/repair.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "parallel.hpp"
#include "quintic/convexity.hpp"

namespace velarix::quintic {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
// Below this many failing intervals per thread the repair is not split.
constexpr std::size_t kLeastRepairsPerThread = std::size_t{1} << 13;
// The target lies this fraction of the gaps inside the Bernstein conditions,
// so that rounding cannot put the repaired piece back outside.
constexpr double kInside = 1e-9;
// A sum of the conditions this far below 0, relative to the sizes of the
// gaps and curvatures, is more than anything `nearest` tolerates.
constexpr double kClear = 1e-6;

// The oriented scaled curvatures (u, v) = (A0, A1) allowed: a box from the
// knots' other intervals, and the two middle Bernstein conditions of S'',
//   e1: 2 u - v <= 12 p0 - 8 p1,   e2: 2 v - u <= 12 p1 - 8 p0.
struct Region {
  double lo[2] = {0, 0};
  double hi[2] = {kInfinity, kInfinity};
  double b1 = 0;
  double b2 = 0;

  bool lines_hold(double u, double v, double tol) const {
    return 2 * u - v <= b1 + tol && 2 * v - u <= b2 + tol;
  }

  // The point of line g . (u, v) = b nearest to (pu, pv) within the box and
  // the other line's half-plane (g' . (u, v) <= b'), if that part of the
  // line is not empty; its squared distance in `dist`.
  // Inlined at both calls, whose directions are constants: the divisions by
  // them (1 and 2, exact as products) and the norm are then folded.
  [[gnu::always_inline]] bool on_line(double g0, double g1, double b, double h0, double h1,
                                      double c, double pu, double pv, double& u, double& v,
                                      double& dist) const {
    // Points q + t (-g1, g0) with q = g b / |g|^2.
    const double norm = g0 * g0 + g1 * g1;
    const double qu = g0 * b / norm;
    const double qv = g1 * b / norm;
    const double du = -g1;
    const double dv = g0;
    double t_lo = -kInfinity;
    double t_hi = kInfinity;
    const auto within = [&](double q, double dir, double lo, double hi) {
      const double a = (lo - q) / dir;
      const double z = (hi - q) / dir;
      t_lo = greatest(t_lo, dir > 0 ? a : z);
      t_hi = least(t_hi, dir > 0 ? z : a);
    };
    within(qu, du, lo[0], hi[0]);
    within(qv, dv, lo[1], hi[1]);
    // h . (q + t dir) <= c
    const double slope = h0 * du + h1 * dv;
    const double room = c - (h0 * qu + h1 * qv);
    if (slope > 0) t_hi = least(t_hi, room / slope);
    if (slope < 0) t_lo = greatest(t_lo, room / slope);
    if (!(t_lo <= t_hi)) return false;
    const double t = least(greatest(((pu - qu) * du + (pv - qv) * dv) / norm, t_lo), t_hi);
    u = qu + t * du;
    v = qv + t * dv;
    dist = (u - pu) * (u - pu) + (v - pv) * (v - pv);
    return std::isfinite(dist);
  }

  // The nearest allowed point to (u, v): the point clamped to the box when
  // that meets both conditions (it is then the nearest of the whole box);
  // otherwise the nearest point on whichever condition's line is active.
  bool nearest(double& u, double& v, double tol) const {
    const double cu = least(greatest(u, lo[0]), hi[0]);
    const double cv = least(greatest(v, lo[1]), hi[1]);
    if (lines_hold(cu, cv, tol)) {
      u = cu;
      v = cv;
      return true;
    }
    // Written by on_line only where it finds a point; set so that the
    // compiler need not prove that only those are read.
    double u1 = 0;
    double v1 = 0;
    double d1 = 0;
    double u2 = 0;
    double v2 = 0;
    double d2 = 0;
    const bool first = on_line(2, -1, b1, -1, 2, b2 + tol, u, v, u1, v1, d1);
    const bool second = on_line(-1, 2, b2, 2, -1, b1 + tol, u, v, u2, v2, d2);
    if (!first && !second) return false;
    const bool take_first = first && (!second || d1 <= d2);
    u = take_first ? u1 : u2;
    v = take_first ? v1 : v2;
    return true;
  }
};

class Repair {
 public:
  Repair(const Samples& samples, std::span<const Shape> shapes, std::span<const double> d,
         std::span<double> a, const Ends& ends)
      : samples_(samples), h_(samples.widths()), s_(samples.secants()), shapes_(shapes), d_(d),
        a_(a), m_(shapes.size()), periodic_(ends.periodic()), natural_(ends.natural()) {}

  // Whether the last repair kept is interval i's.
  bool last_kept(std::size_t i) const { return kept_ == i; }

  // Repairs interval i, and says whether its piece then passes: so it does
  // after a kept repair, or when a repair of its neighbour has mended it;
  // otherwise its values are those it failed with.
  Known interval(std::size_t i) {
    const int k = orientation(shapes_[i]);
    const Bend b = oriented(k, h_[i], hermite(samples_, d_, a_, i));
    // The knot stage found this piece failing with its final values; only a
    // repair kept on the interval before it (or, on periodic data, on the
    // first, whose left knot is the last one's right) can have changed them
    // since, and only then is the test worth repeating.
    const bool touched = (i > 0 && kept_ == i - 1) || (periodic_ && i + 1 == m_ && first_kept_);
    if (touched && keeps_bending(b)) return kPasses;
    const double scale = std::fabs(b.p0) + std::fabs(b.p1);
    Region region;
    region.b1 = (12 * b.p0 - 8 * b.p1) - kInside * scale;
    region.b2 = (12 * b.p1 - 8 * b.p0) - kInside * scale;
    // With both curvatures at least 0 the two conditions ask
    // 3 u <= 2 b1 + b2 and 3 v <= b1 + 2 b2. Where either sum lies below 0
    // by far more than the tolerance of `nearest` and the rounding of its
    // steps, no point meets both, and the box is not worth building: so it
    // is for a gap less than a quarter of the other, which rough data often
    // ask of a piece.
    const double clear = kClear * (scale + std::fabs(b.big0) + std::fabs(b.big1));
    if (2 * region.b1 + region.b2 < -clear || region.b1 + 2 * region.b2 < -clear) return kFails;
    // On periodic data knot 0 is the right end of the last interval as
    // knot m, and knot m the left end of the first as knot 0.
    bound(region, i, k, periodic_ && i == 0 ? m_ : i, wrap(i - 1), -1.0, 0);
    bound(region, i, k, periodic_ && i + 1 == m_ ? 0 : i + 1, wrap(i + 1), 1.0, 1);
    // A natural end keeps S'' = 0.
    if (natural_ && i == 0) region.lo[0] = region.hi[0] = 0;
    if (natural_ && i + 1 == m_) region.lo[1] = region.hi[1] = 0;
    if (!(region.lo[0] <= region.hi[0] && region.lo[1] <= region.hi[1])) return kFails;
    double u = b.big0;
    double v = b.big1;
    if (!region.nearest(u, v, 1e-12 * (scale + std::fabs(u) + std::fabs(v)))) return kFails;
    // The nearest point lies on the natural end's line u = 0 (or v = 0)
    // only to the rounding of the step along the line, which left a
    // subnormal S'' at the end: the end keeps exactly 0.
    if (natural_ && i == 0) u = 0;
    if (natural_ && i + 1 == m_) v = 0;
    const double old0 = a_[i];
    const double old1 = a_[i + 1];
    set(i, k * u / h_[i], k * v / h_[i]);
    if (!keeps_bending(oriented(k, h_[i], hermite(samples_, d_, a_, i))) ||
        broken(i, wrap(i - 1), old0, old1) || broken(i, wrap(i + 1), old0, old1)) {
      set(i, old0, old1);
      return kFails;
    }
    kept_ = i;
    if (i == 0) first_kept_ = true;
    return kPasses;
  }

 private:
  // Whether interval j (if there is one) keeps its shape with the current
  // curvatures, as far as they can break it: the bending of a convex or
  // concave piece, the sign of S' on a monotone one.
  bool kept(std::size_t j) const {
    if (j >= m_) return true;
    const Hermite e = hermite(samples_, d_, a_, j);
    const int k = orientation(shapes_[j]);
    if (k != 0) return keeps_bending(oriented(k, h_[j], e));
    if (shapes_[j] == Shape::flat) return e.a0 == 0 && e.a1 == 0;
    return keeps_sign(s_[j] > 0 ? 1.0 : -1.0, h_[j], e);
  }

  // Whether neighbour j of interval i, whose knots' curvatures were old0
  // and old1, kept its shape with those and keeps it no longer: a neighbour
  // that failed before may still fail.
  bool broken(std::size_t i, std::size_t j, double old0, double old1) {
    if (kept(j)) return false;
    const double new0 = a_[i];
    const double new1 = a_[i + 1];
    set(i, old0, old1);
    const bool before = kept(j);
    set(i, new0, new1);
    return before;
  }

  // The curvatures of interval i's knots; on periodic data the end knots
  // are one and keep one value.
  void set(std::size_t i, double a0, double a1) {
    a_[i] = a0;
    a_[i + 1] = a1;
    if (periodic_ && i == 0) a_[m_] = a0;
    if (periodic_ && i + 1 == m_) a_[0] = a1;
  }

  std::size_t wrap(std::size_t j) const { return wrapped(j, m_, periodic_); }

  // The bounds on the oriented curvature A = k h_i a of `knot` (coordinate
  // c of the failing interval i) from its other interval o, whose end it is
  // (tau = +1 its left end, -1 its right end): A >= 0 for the bending
  // (already the region's floor); 0 beside a flat; beside a monotone
  // interval of sign sg, the end coefficient sg (d + tau h_o a / 4) >= 0 and
  // the middle coefficient with the other knot of o as it is. Each is a
  // bound q a <= r on a alone, that is (q k / h_i) A <= r.
  void bound(Region& region, std::size_t i, int k, std::size_t knot, std::size_t o, double tau,
             int c) const {
    if (o >= m_) return;
    if (shapes_[o] == Shape::flat) {
      region.hi[c] = 0;
      return;
    }
    if (shapes_[o] != Shape::monotone || s_[o] == 0) return;
    const double sg = s_[o] > 0 ? 1.0 : -1.0;
    const double ho = h_[o];
    const auto limit = [&](double q, double r) {
      const double coef = q * k / h_[i];
      if (coef > 0) region.hi[c] = least(region.hi[c], r / coef);
      if (coef < 0) region.lo[c] = greatest(region.lo[c], r / coef);
    };
    limit(-sg * tau * ho / 4, sg * d_[knot]);
    const std::size_t other = tau > 0 ? knot + 1 : knot - 1;
    const double rest =
        sg * (5 * s_[o] - 2 * d_[knot] - 2 * d_[other]) + tau * sg * ho * a_[other] / 4;
    limit(tau * sg * ho / 4, rest);
  }

  const Samples& samples_;
  std::span<const double> h_;
  std::span<const double> s_;
  std::span<const Shape> shapes_;
  std::span<const double> d_;
  std::span<double> a_;
  std::size_t m_;
  bool periodic_;
  bool natural_;
  // The last interval whose repair was kept, and whether the first one's was.
  std::size_t kept_ = std::numeric_limits<std::size_t>::max();
  bool first_kept_ = false;
};

}  // namespace

Vector<std::uint8_t> repair_curvatures(const Samples& samples, std::span<const Shape> shapes,
                                       std::span<const double> d, std::span<double> a,
                                       std::span<const std::size_t> failing, const Ends& ends) {
  // On periodic data a repair of the last interval changes the first one's
  // knot too, whose outcome is then no longer known: none are kept.
  if (ends.periodic()) {
    Repair repair(samples, shapes, d, a, ends);
    for (const std::size_t i : failing) repair.interval(i);
    return {};
  }
  // Long lists in chunks, one thread each, cut where two failing intervals
  // lie three or more apart: a repair reads the curvatures of the knots of
  // its interval and of their other intervals, and writes its own two, so
  // the intervals on either side of such a gap never see each other's
  // repairs.
  const std::size_t count = failing.size();
  const std::size_t threads = std::min(parallel::threads_for(samples.intervals()),
                                       std::max<std::size_t>(count / kLeastRepairsPerThread, 1));
  std::vector<std::size_t> cuts{0};
  for (std::size_t c = 1; c < threads; ++c) {
    std::size_t e = std::max(parallel::chunk_begin(count, threads, c), cuts.back() + 1);
    while (e < count && failing[e] - failing[e - 1] < 3) ++e;
    if (e < count) cuts.push_back(e);
  }
  cuts.push_back(count);
  Vector<std::uint8_t> known(count);
  parallel::for_chunks(cuts.size() - 1, [&](std::size_t c) {
    Repair repair(samples, shapes, d, a, ends);
    for (std::size_t e = cuts[c]; e < cuts[c + 1]; ++e) {
      const std::size_t i = failing[e];
      known[e] = repair.interval(i);
      // A kept repair changes the knot it shares with the interval before.
      if (repair.last_kept(i) && e > 0 && failing[e - 1] + 1 == i) known[e - 1] = kUntested;
    }
  });
  return known;
}

}  // namespace velarix::quintic
