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

}  // namespace

[[gnu::always_inline]] inline int bend_of(const Samples& samples, std::size_t k) {
  const std::span<const double> s = samples.secants();
  const std::span<const double> h = samples.widths();
  const std::span<const double> y = samples.y();
  const double change = s[k] - s[k - 1];
  const double size = std::fabs(change);
  const double secants = kBendTolerance * (std::fabs(s[k - 1]) + std::fabs(s[k]));
  double values = std::fabs(y[k - 1]);
  if (std::fabs(y[k]) > values) values = std::fabs(y[k]);
  if (std::fabs(y[k + 1]) > values) values = std::fabs(y[k + 1]);
  const double rounding = kSecantUlps * ulp_of(values);
  // tolerance = secants + rounding (1 / h[k-1] + 1 / h[k]), compared after
  // multiplying through by both widths, which saves two divisions.
  const double product = h[k - 1] * h[k];
  const bool bent = size * product > secants * product + rounding * (h[k - 1] + h[k]);
  if (!bent) return 0;
  return change > 0 ? 1 : -1;
}

int bend_at(const Samples& samples, std::size_t k) { return bend_of(samples, k); }

Classes classify(const Samples& samples) {
  const std::size_t n = samples.size();
  const std::size_t m = n - 1;
  const std::span<const double> y = samples.y();
  Classes c{Vector<std::int8_t>(n, 0), Vector<Shape>(m, Shape::monotone),
            Vector<std::uint8_t>(m, 0)};
  if (n >= 3) {
    for (std::size_t k = 1; k + 1 < n; ++k) c.bend[k] = static_cast<std::int8_t>(bend_of(samples, k));
    c.bend[0] = c.bend[1];
    c.bend[n - 1] = c.bend[n - 2];
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
  std::size_t k = 0;
  while (k < n) {
    if (c.bend[k] != 0) {
      ++k;
      continue;
    }
    std::size_t end = k;
    while (end < n && c.bend[end] == 0) ++end;
    const bool at_end = k == 0 || end == n;
    if (at_end || c.bend[k - 1] == c.bend[end]) {
      for (std::size_t j = k; j < end; ++j) {
        if (j > 0 && c.shape[j - 1] != Shape::flat) c.straight[j - 1] = 1;
        if (j < m && c.shape[j] != Shape::flat) c.straight[j] = 1;
      }
    }
    k = end;
  }
  return c;
}

}  // namespace velarix::quintic
