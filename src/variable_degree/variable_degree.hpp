// The co-convex C² variable-degree polynomial spline. The fit starts from the
// cubic spline (degree 3 on every interval) and raises the degree of the
// interval beside each knot whose curvature sign disagrees with the data,
// until the signs match, the degree cap stops it, or the pass budget is spent.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "boundary.hpp"
#include "cubic/moments.hpp"
#include "error.hpp"
#include "interpolator.hpp"
#include "memory.hpp"
#include "piecewise.hpp"
#include "samples.hpp"
#include "scaled_fit.hpp"
#include "variable_degree/piece.hpp"

namespace velarix::variable_degree {

// The fitted spline: the curve, the degree used on each interval and whether
// every curvature sign matched the data in the end.
class VariableDegreeSpline : public PiecewiseSpline<VariableDegreePiece> {
 public:
  VariableDegreeSpline(Piecewise<VariableDegreePiece> curve, Doubles degrees, bool shape_preserved,
                       std::uint64_t iterations);

  // One degree per interval, in knot order, each >= 3.
  std::span<const double> degrees() const { return degrees_; }
  bool shape_preserved() const { return shape_preserved_; }
  // The number of raising passes the fit counted (at most its max_iter).
  std::uint64_t iterations() const { return iterations_; }

  // "VariableDegreeSpline { domain: A..=B, intervals: N, shape_preserved: B }"
  std::string debug_text() const;

 private:
  Doubles degrees_;
  bool shape_preserved_;
  std::uint64_t iterations_;
};

// The end slopes for EndSlopes::Estimated: the secant slope at both ends for
// one interval, otherwise the end slopes of the parabolas through the first
// three and the last three points. Not limited: an estimate may have the
// opposite sign from its neighbouring secant.
std::pair<double, double> estimated_end_slopes(const Samples& samples);

// The moment system of the spline's degrees (see cubic/moments.hpp).
using cubic::moment_system;

// By how much each knot's moment has the wrong curvature sign for the data:
// a convex knot wants M >= 0, a concave one M <= 0, a locally straight one
// M = 0. One amount per moment given (at most one per knot). On periodic
// data the end knots are judged by the bend between the last interval and
// the first.
Doubles violations(const Samples& samples, std::span<const double> moments, bool periodic = false);

// The configuration of the method.
struct VariableDegree {
  using Spline = VariableDegreeSpline;

  EndSlopes boundary{};
  // Cap on every interval's degree; fit refuses a cap below 3 or NaN. An
  // infinite cap caps nothing.
  double max_degree = 50.0;
  // Largest number of raising passes; 0 returns the cubic spline.
  std::uint64_t max_iter = 60;

  // `check()` refuses a cap below 3 or NaN, then a non-finite clamped
  // slope; max_iter takes any value.
  // The fit checks the configuration (`check`) before the data; periodic
  // ends refuse data whose first and last values differ. The debug text
  // reads "VariableDegree { boundary: Estimated, max_degree: 50.0, max_iter: 60 }".
  VELARIX_CONFIGURATION_MEMBERS(VariableDegree, VariableDegreeSpline);
};

}  // namespace velarix::variable_degree

namespace velarix {
using variable_degree::VariableDegree;
using variable_degree::VariableDegreePiece;
using variable_degree::VariableDegreeSpline;
}  // namespace velarix
