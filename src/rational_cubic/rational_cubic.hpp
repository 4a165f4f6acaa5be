// The convexity/concavity-preserving C2 rational cubic: configuration, fitted
// spline and fit. Data must be convex throughout or concave throughout;
// concave data are mirrored into the convex case and back.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "boundary.hpp"
#include "error.hpp"
#include "interpolator.hpp"
#include "memory.hpp"
#include "piecewise.hpp"
#include "rational_cubic/piece.hpp"
#include "rational_cubic/solver.hpp"
#include "samples.hpp"
#include "scaled_fit.hpp"

namespace velarix::rational_cubic {

class RationalCubicSpline : public PiecewiseSpline<RationalCubicPiece> {
 public:
  RationalCubicSpline(Piecewise<RationalCubicPiece> curve, Doubles w, std::uint64_t iterations,
                      bool concave);

  // The convexity parameter of every interval, in knot order.
  std::span<const double> w() const { return w_; }
  // Fixed-point sweeps the convexity solve used (0 for two points).
  std::uint64_t iterations() const { return iterations_; }
  // Whether the data were concave, so the spline is concave, not convex.
  bool concave() const { return concave_; }
  // Whether the curve is convex (concave) on every interval. The convexity
  // solve makes every piece bend the data's way once the knot slopes lie
  // between the neighbouring secants; the interior slopes are estimated so,
  // end slopes taken from the data are too, but a clamped end slope on the
  // wrong side of its end secant bends that end interval against the data.
  bool is_shape_preserving() const;

  // "RationalCubicSpline { domain: A..=B, intervals: M, iterations: K, concave: C }".
  std::string debug_text() const;

 private:
  Doubles w_;
  std::uint64_t iterations_;
  bool concave_;
};

struct RationalCubic {
  using Spline = RationalCubicSpline;

  // Stored as given; fit checks them (`check`) before the data, and refuses
  // u / v beyond 2^52, which the pieces cannot evaluate at their right knots.
  double u = 1.0;
  double v = 1.0;
  EndSlopes boundary{};
  double margin = 0.001;
  double relaxation = 0.5;
  double tol = 1e-10;
  std::uint64_t max_iter = 1000;
  double w_cap = 1000000.0;
  // The sweeps alone, or Newton steps finished by sweeps.
  solver::Method solver = solver::Method::sweep;

  // `check()` refuses the first field out of range or not finite, in the
  // order u, v, the clamped slopes, margin, relaxation, tol, w_cap; max_iter
  // takes any value and tol any finite one (a tol that no change can meet
  // ends in NoConvergence).
  // Periodic ends are refused before the data are read (see fit_checked).
  UnsupportedEnds periodic_refusal() const;

  // The debug text reads "RationalCubic { u: 1.0, v: 1.0, boundary: Estimated,
  // ... }"; the solver shows only when it is not the default sweep, as
  // ", solver: Newton }".
  VELARIX_CONFIGURATION_MEMBERS(RationalCubic, RationalCubicSpline);
};

}  // namespace velarix::rational_cubic

namespace velarix {
using rational_cubic::RationalCubic;
using rational_cubic::RationalCubicSpline;
}  // namespace velarix
