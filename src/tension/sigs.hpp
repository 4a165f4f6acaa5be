// The minimal shape-preserving tension of each interval: for the current knot
// derivatives, the smallest tension whose piece keeps the convexity of the
// data on the interval where they are convex or concave there, otherwise
// their monotonicity where they are monotone there.
#pragma once

#include <cstddef>
#include <span>

#include "samples.hpp"

namespace velarix::tension::sigs {

// The tension that stands for infinite tension: the piece is then the chord
// to within rounding, and no larger tension is ever chosen.
inline constexpr double sigma_max = 85;

// The smallest sigma for which a piece with slope gaps d1 = s - yp0 and
// d2 = yp1 - s (d1 d2 > 0) has a second derivative of one sign: the zero of
// F(sigma) = sigma coshm(sigma) / sinhm(sigma) - (t + 1), t = max(d1/d2,
// d2/d1), by Newton's method from the zero of F's expansion; 0 when t <= 2.
// Not capped: the search converges in a few steps for any t.
double convexity_sigma(double d1, double d2, double tol);

// Raises tensions[i] (at least n - 1 entries) to the minimal shape-preserving
// tension of interval i for the derivatives yp (at least n entries), where
// that is larger; an interval already at 85 or more is not touched, nor is a
// NaN tension. A search stops early once its target function lies in
// [0, tol]. Returns the number of tensions raised.
std::size_t select(const Samples& samples, std::span<const double> yp, std::span<double> tensions,
                   double tol);
// The same on the intervals first..end-1 only (end at most n - 1).
std::size_t select(const Samples& samples, std::span<const double> yp, std::span<double> tensions,
                   double tol, std::size_t first, std::size_t end);

}  // namespace velarix::tension::sigs
