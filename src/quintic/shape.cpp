#include "quintic/shape.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace velarix::quintic {
namespace {

// A change of secant slope within this fraction of the secants is rounding.
constexpr double kBendTolerance = 1e-12;
// A secant (y1 - y0) / h carries the rounding of both values: about two ulps
// of the larger one over the width.
constexpr double kSecantUlps = 2;

// The spacing of the doubles at |v| (the power of two of its exponent times
// 2^-52), at least the smallest subnormal; infinite for infinities and NaN.
double ulp_of(double v) {
  const std::uint64_t exponent = std::bit_cast<std::uint64_t>(std::fabs(v)) & 0x7ff0000000000000;
  const double power = std::bit_cast<double>(exponent);
  const double spacing = power * 0x1p-52;
  return spacing > 0 ? spacing : std::numeric_limits<double>::denorm_min();
}

// The bend at the knot between intervals l and r (r = l + 1, or on periodic
// data l = m - 1 and r = 0 about the knot that closes the period).
[[gnu::always_inline]] inline int bend_of(const Samples& samples, std::size_t l, std::size_t r) {
  const std::span<const double> s = samples.secants();
  const std::span<const double> h = samples.widths();
  const std::span<const double> y = samples.y();
  const double change = s[r] - s[l];
  const double size = std::fabs(change);
  const double secants = kBendTolerance * (std::fabs(s[l]) + std::fabs(s[r]));
  double values = std::fabs(y[l]);
  if (std::fabs(y[r]) > values) values = std::fabs(y[r]);
  if (std::fabs(y[r + 1]) > values) values = std::fabs(y[r + 1]);
  const double rounding = kSecantUlps * ulp_of(values);
  // tolerance = secants + rounding (1 / h[l] + 1 / h[r]), compared after
  // multiplying through by both widths, which saves two divisions.
  const double product = h[l] * h[r];
  const bool bent = size * product > secants * product + rounding * (h[l] + h[r]);
  if (!bent) return 0;
  return change > 0 ? 1 : -1;
}

// Marks the intervals beside the collinear knots [k, end) straight, unless
// they are flat.
void mark_straight(Classes& c, std::size_t k, std::size_t end) {
  const std::size_t m = c.shape.size();
  for (std::size_t j = k; j < end; ++j) {
    if (j > 0 && c.shape[j - 1] != Shape::flat) c.straight[j - 1] = 1;
    if (j < m && c.shape[j] != Shape::flat) c.straight[j] = 1;
  }
}

}  // namespace

int bend_at(const Samples& samples, std::size_t k) { return bend_of(samples, k - 1, k); }

Classes classify(const Samples& samples, bool periodic_data) {
  const std::size_t n = samples.size();
  // Two points of periodic data are one flat interval, with no knot between.
  const bool periodic = periodic_data && n >= 3;
  const std::size_t m = n - 1;
  const std::span<const double> y = samples.y();
  Classes c{Vector<std::int8_t>(n, 0), Vector<Shape>(m, Shape::monotone),
            Vector<std::uint8_t>(m, 0)};
  if (n >= 3) {
    for (std::size_t k = 1; k + 1 < n; ++k) c.bend[k] = static_cast<std::int8_t>(bend_of(samples, k - 1, k));
    if (periodic) {
      c.bend[0] = c.bend[n - 1] = static_cast<std::int8_t>(bend_of(samples, m - 1, 0));
    } else {
      c.bend[0] = c.bend[1];
      c.bend[n - 1] = c.bend[n - 2];
    }
  }
  for (std::size_t i = 0; i < m; ++i) {
    // A rise of exactly 0 (equal finite values; infinities give NaN).
    if (y[i + 1] - y[i] == 0) {
      c.shape[i] = Shape::flat;
    } else if (c.bend[i] == c.bend[i + 1] && c.bend[i] != 0) {
      c.shape[i] = c.bend[i] > 0 ? Shape::convex : Shape::concave;
    }
  }
  // A run of collinear knots lies on a straight stretch when it reaches an
  // end of the data or the knots flanking it bend the same way: the curve
  // bends one way across it, so it must be straight along it. (Between knots
  // bending opposite ways the run is an inflection, which needs no line.)
  // The runs are found left to right, each one's right flank looked up once.
  // On periodic data a run through the closing knot is the one run
  // [first, m] + [0, last), flanked by knots first - 1 and last; runs that
  // reach no end are the others.
  std::size_t k = 0;
  std::size_t stop = n;
  if (periodic && c.bend[0] == 0) {
    std::size_t last = 0;
    while (last < n && c.bend[last] == 0) ++last;
    if (last == n) {  // every knot collinear: one straight closed line
      mark_straight(c, 0, n);
      return c;
    }
    std::size_t first = m;
    while (c.bend[first - 1] == 0) --first;
    if (c.bend[first - 1] == c.bend[last]) {
      mark_straight(c, first, n);
      mark_straight(c, 0, last);
    }
    k = last;
    stop = first;
  }
  while (k < stop) {
    if (c.bend[k] != 0) {
      ++k;
      continue;
    }
    std::size_t end = k;
    while (end < n && c.bend[end] == 0) ++end;
    const bool at_end = !periodic && (k == 0 || end == n);
    if (at_end || c.bend[k - 1] == c.bend[end]) mark_straight(c, k, end);
    k = end;
  }
  return c;
}

}  // namespace velarix::quintic
