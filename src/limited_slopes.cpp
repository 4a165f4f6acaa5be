#include "limited_slopes.hpp"

#include <algorithm>
#include <cmath>

namespace velarix {
namespace {

// Bounds a monotone piece's end slope in units of its secant: the Hermite
// cubic with one end slope 3 s and the other 0 is still monotone.
constexpr double extremum_slope_ratio = 3;

// `slope` at an end whose interval has secant s and whose neighbour has
// secant t; `outward` is +1 at the right end and -1 at the left. A convex end
// interval needs slope >= s at its right end and slope <= s at its left end,
// a concave one the reverse.
double limit_one(double slope, double s, double t, double outward) {
  if (s == 0 || !(slope * s > 0)) return 0;
  if (s * t < 0) {
    slope = std::copysign(std::min(std::fabs(slope), extremum_slope_ratio * std::fabs(s)), s);
  }
  // bend > 0: the data are convex at the interior knot next to this end.
  const double bend = outward * (s - t);
  if (bend > 0) slope = outward > 0 ? std::max(slope, s) : std::min(slope, s);
  if (bend < 0) slope = outward > 0 ? std::min(slope, s) : std::max(slope, s);
  return slope;
}

}  // namespace

std::pair<double, double> limit_end_slopes(const Samples& samples,
                                           std::pair<double, double> estimate) {
  const std::span<const double> s = samples.secants();
  const std::size_t m = s.size() - 1;
  if (m == 0) return {s[0], s[0]};
  return {limit_one(estimate.first, s[0], s[1], -1.0),
          limit_one(estimate.second, s[m], s[m - 1], 1.0)};
}

}  // namespace velarix
