// The shape-preserving C² quintic. Every knot carries a value, a slope and a
// curvature, and each piece is the quintic Hermite interpolant of those at
// its two ends, so the curve is C² whatever the slopes and curvatures are.
// The fit chooses them knot by knot, from local polynomial estimates limited
// to boxes that keep every piece flat, monotone, convex or concave as its
// data are, and inserts a knot in an interval where one quintic cannot keep
// the bending with the given ends. No system is solved.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "boundary.hpp"
#include "samples.hpp"
#include "scaled_fit.hpp"
#include "error.hpp"
#include "interpolator.hpp"
#include "memory.hpp"
#include "piecewise.hpp"
#include "quintic/piece.hpp"

namespace velarix::quintic {

// The fitted spline: the curve over its breakpoints (the data's knots and
// the inserted ones), the data's knots, and whether every piece keeps the
// shape its data ask for.
class QuinticSpline : public PiecewiseSpline<QuinticPiece> {
 public:
  // `knots` must be the breakpoints less the inserted ones, or empty when
  // none was inserted.
  QuinticSpline(Piecewise<QuinticPiece> curve, Doubles knots, bool shape_preserved);

  // The data's knots, in the fit's coordinates as the curve's (see Scale);
  // `domain` is theirs too.
  std::span<const double> knots() const { return knots_.empty() ? breakpoints() : knots_; }
  std::span<const double> breakpoints() const { return curve().knots(); }
  // The data's intervals (the curve has one piece more per inserted knot).
  std::size_t intervals() const { return knots().size() - 1; }
  std::size_t inserted() const { return breakpoints().size() - knots().size(); }
  bool shape_preserved() const { return shape_preserved_; }

  // "QuinticSpline { domain: A..=B, intervals: N, inserted: K, shape_preserved: B }"
  std::string debug_text() const;

 private:
  Doubles knots_;  // empty when they are the breakpoints
  bool shape_preserved_;
};

// The configuration of the method.
struct Quintic {
  using Spline = QuinticSpline;

  // The estimates limited so that the end intervals keep the data's shape,
  // as every other knot's are; Estimated takes the end knots' estimates and
  // Clamped the given slopes as they are (the end pieces then keep the shape
  // only if those slopes allow it). Natural limits the end slopes too, with
  // S'' = 0 at both ends (a convex end interval that cannot bend from there
  // gets a knot inserted, or is reported); Periodic (y[0] == y[n-1]) wraps
  // the stencils and boxes around the period, so that S, S' and S'' agree
  // at the two ends.
  EndSlopes boundary = EndSlopes::limited();
  // The number of data points of the polynomial each knot's slope and
  // curvature are estimated from: 3, 5 or 7. Five give order 5 on smooth
  // data; three order 3; seven order 6 at most (the quintic pieces' own),
  // with larger curvature estimates and more inserted knots on rough data.
  std::uint64_t stencil = 5;
  // Whether a knot may be inserted where one quintic cannot keep a convex or
  // concave interval's bending. Without, such an interval is kept monotone
  // only, and the spline does not report its shape as preserved.
  bool knot_insertion = true;

  // `check()` refuses a stencil other than 3, 5 or 7, then clamped end
  // slopes that are not finite.
  // The fit checks the configuration (`check`) before the data. The debug
  // text reads "Quintic { boundary: Limited, stencil: 5, knot_insertion: true }".
  VELARIX_CONFIGURATION_MEMBERS(Quintic, QuinticSpline);
};

}  // namespace velarix::quintic

namespace velarix {
using quintic::Quintic;
using quintic::QuinticPiece;
using quintic::QuinticSpline;
}  // namespace velarix
