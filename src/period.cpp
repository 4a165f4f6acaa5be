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

}  // namespace

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
    // fmod is exact: r = d - k p for the integer k = trunc(d / p).
    r = std::fmod(d, p);
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
  if (std::isfinite(correction)) r = std::fmod((r + d_error) - correction, p);
  if (r < 0) r = r + p;
  return std::clamp(first + r, first, last);
}

}  // namespace velarix
