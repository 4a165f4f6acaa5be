#include "period.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace velarix {
namespace {

// (s, e) with s = fl(a + b) and s + e = a + b exactly (Knuth's two-sum,
// which needs no ordering of a and b).
std::pair<double, double> two_sum(double a, double b) {
  const double s = a + b;
  const double bb = s - a;
  return {s, (a - (s - bb)) + (b - bb)};
}

// (hi, lo) with hi = fl(a b) and hi + lo = a b exactly (Dekker's product,
// with Veltkamp's split, so that no fused multiply-add is needed); exact
// while the factors and their split parts neither overflow nor underflow.
std::pair<double, double> two_product(double a, double b) {
  constexpr double split = 134217729.0;  // 2^27 + 1
  const double ca = split * a;
  const double a_hi = ca - (ca - a);
  const double a_lo = a - a_hi;
  const double cb = split * b;
  const double b_hi = cb - (cb - b);
  const double b_lo = b - b_hi;
  const double hi = a * b;
  return {hi, ((a_hi * b_hi - hi) + a_hi * b_lo + a_lo * b_hi) + a_lo * b_lo};
}

// Where the product k p of `exact_fmod` is exact: p and the quotients within
// these bounds keep every split part far from overflow and underflow.
constexpr double kLargestQuotient = 0x1p52;
constexpr double kSmallestPeriod = 0x1p-900;
constexpr double kLargestOffset = 0x1p900;

}  // namespace

// fmod(d, p) for p > 0, to the bit: the library's fmod divides bit by bit,
// which costs more than the rest of an evaluation, while d - k p with
// k = trunc(d / p) and the product taken exactly is exact as well whenever
// k is the right integer (d and k p are then within a factor 2, so d - hi
// is exact and the final rounding meets an exact remainder). The quotient
// rounds up to the next integer at worst, never down; that case leaves the
// remainder's sign, is caught, and goes to fmod, as does any d beyond the
// bounds.
double exact_fmod(double d, double p) {
  const double a = std::fabs(d);
  if (a < p) return d;
  if (!(a <= kLargestOffset && p >= kSmallestPeriod)) return std::fmod(d, p);
  const double k = std::trunc(a / p);
  if (!(k <= kLargestQuotient)) return std::fmod(d, p);
  const auto [hi, lo] = two_product(k, p);
  const double r = (a - hi) - lo;
  if (!(r >= 0 && r < p)) return std::fmod(d, p);
  return d < 0 ? -r : r;
}


std::optional<NotPeriodic> check_periodic(const Samples& samples) {
  const std::span<const double> y = samples.y();
  if (y.front() == y.back()) return std::nullopt;
  return NotPeriodic{y.size() - 1, y.front(), y.back()};
}

double wrap_into_period(double x, double first, double last) {
  if (first <= x && x <= last) return x;
  if (!std::isfinite(x)) return std::numeric_limits<double>::quiet_NaN();
  const auto [p, p_error] = two_sum(last, -first);
  auto [d, d_error] = two_sum(x, -first);
  double r;
  double periods;
  if (std::isfinite(d)) {
    // Exact: r = d - k p for the integer k = trunc(d / p).
    r = exact_fmod(d, p);
    periods = (d - r) / p;
  } else {
    // x - first overflows: each term reduced on its own, both exactly.
    const double rx = std::fmod(x, p);
    const double rf = std::fmod(first, p);
    r = rx - rf;
    periods = (x - rx) / p - (first - rf) / p;
    d_error = 0;
  }
  // The k periods removed were p each, short of the exact period by
  // p_error: that part of them, and the offset's own rounding, come back
  // into the remainder. k is rounded, which errs by k 2^-53 p_error, below
  // half an ulp of p for any k up to 2^53: the error does not grow with
  // the distance from the knots. (Beyond that an ulp of x exceeds the
  // period and x no longer has a place in it.)
  const double correction = periods * p_error;
  if (std::isfinite(correction)) r = exact_fmod((r + d_error) - correction, p);
  if (r < 0) r = r + p;
  return std::clamp(first + r, first, last);
}

}  // namespace velarix
