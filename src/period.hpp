// Periodic data: the check that a periodic fit's data close up, and the map
// of an abscissa into the period.
#pragma once

#include <optional>

#include "error.hpp"
#include "samples.hpp"

namespace velarix {

// NotPeriodic unless y[0] == y[n-1] exactly (a NaN end value never is): a
// periodic spline continues across the period, so its two ends are one
// point.
std::optional<NotPeriodic> check_periodic(const Samples& samples);

// x moved by whole periods p = last - first into [first, last]; x itself
// when it lies there. The period is the exact difference of the two knots,
// and the offset x - first is taken exactly too (each as a rounded double
// and its rounding error), so the remainder carries no error that grows
// with the number of periods: the result is within an ulp of the exact one
// for any x, however far from the knots. NaN and infinite x give NaN.
double wrap_into_period(double x, double first, double last);

// std::fmod(d, p) for a period p > 0, bit for bit, without the library's
// bitwise division in the common case (a few periods from the knots).
double exact_fmod(double d, double p);

}  // namespace velarix
