// End slopes limited so that the end intervals can keep the shape of the
// data: an estimate from a method's own rule, pulled back where it would make
// an end interval overshoot, turn back or bend against the data.
#pragma once

#include <utility>

#include "samples.hpp"

namespace velarix {

// The (left, right) estimates limited at each end against the end secant s
// and the next secant t (with a single interval, both are the secant):
//   0 where s = 0 or the estimate's sign differs from s's;
//   at most 3 |s| in magnitude where s and t differ in sign (a data extremum
//   at the first interior knot), the largest slope for which the end piece
//   can stay monotone;
//   on the side of s that keeps the end interval's curvature where the data
//   are convex or concave at the first interior knot.
std::pair<double, double> limit_end_slopes(const Samples& samples,
                                           std::pair<double, double> estimate);

}  // namespace velarix
