// The knot derivatives of a tension spline: the linear system that makes the
// pieces join with continuous second derivative for given tensions, and the
// end slopes estimated from the data.
#pragma once

#include <span>
#include <utility>

#include "boundary.hpp"
#include "memory.hpp"
#include "samples.hpp"

namespace velarix::tension::slopes {

// The contribution of one interval of width h and tension sigma (only |sigma|
// is used) to the continuity rows of its two knots:
//   d  = sigma (sigma coshm(sigma) - sinhm(sigma)) / (h E),
//   sd = sigma sinhm(sigma) / (h E),   E = sigma sinh(sigma) - 2 coshm(sigma);
// d = 4/h and sd = 2/h for the cubic. For every sigma >= 0, d > sd > 0.
struct Coefficients {
  double d;
  double sd;
};
Coefficients ypcoef(double sigma, double h);

// The part of ypcoef that depends on sigma alone, so that intervals of equal
// tension (all of them under a uniform tension) share one evaluation of the
// hyperbolic functions: for h it gives exactly ypcoef(sigma, h).
class TensionTerms {
 public:
  explicit TensionTerms(double sigma);
  Coefficients at(double h) const;

 private:
  bool cubic_;
  double d_;   // d times h E
  double sd_;  // sd times h E
  double e_;
};

// The end slopes of the parabolas through the first three and through the
// last three points; both are the secant when there is a single interval. Not
// limited: an estimate may point against its end secant.
std::pair<double, double> estimated_end_slopes(const Samples& samples);

// The n knot derivatives of the C² tension spline with tensions[i] on interval
// i (at least n - 1 entries; fewer throws InternalError) and the end slopes
// yp[0] = left, yp[n-1] = right.
Doubles solve(const Samples& samples, std::span<const double> tensions, double left, double right);

// The same for any end rows: given end slopes as above; natural ends, whose
// rows make S'' of the end pieces vanish at x[0] and x[n-1] (for the end
// pieces' tensions); or periodic ends, where x[0] and x[n-1] are one knot
// whose row joins the last interval to the first, yp[n-1] = yp[0] (the data
// must close up, y[0] == y[n-1]), solved as a cyclic system.
Doubles solve(const Samples& samples, std::span<const double> tensions, const EndRows& ends);

// Re-solves, in place, the derivatives at the knots strictly between lo and
// hi (lo + 1 < hi < n) for the tensions, with yp[lo] and yp[hi] held: the
// interior rows of the system above on that stretch. After a change of the
// tensions inside the stretch, and far enough from its ends, this is the full
// solve to rounding: the influence of a row on its neighbours' derivatives
// falls at least by half per knot.
void solve_between(const Samples& samples, std::span<const double> tensions,
                   std::span<double> yp, std::size_t lo, std::size_t hi);

}  // namespace velarix::tension::slopes
