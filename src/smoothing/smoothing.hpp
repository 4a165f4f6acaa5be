// The shape-constrained C² smoothing spline: a cubic spline that minimises
//   sum_i w_i (y_i - S(x_i))^2 + lam integral S''(x)^2 dx
// over splines with knots at the data (or at their quantiles), held to a
// shape when asked (monotone, convex or concave, or both), with lam chosen by
// generalised cross-validation unless given.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "error.hpp"
#include "interpolator.hpp"
#include "memory.hpp"
#include "cubic/piece.hpp"
#include "piecewise.hpp"
#include "smoothing/shape.hpp"

namespace velarix::smoothing {

using cubic::CubicPiece;

// What a fit chose, in the caller's units.
struct Choice {
  double lam = 0;
  double edf = 0;  // effective degrees of freedom
  double gcv = 0;  // n RSS / (n - edf)^2
  Shape shape = Shape::none;
  std::uint64_t active_constraints = 0;

  friend bool operator==(const Choice&, const Choice&) = default;
};

class SmoothingSpline : public PiecewiseSpline<CubicPiece> {
 public:
  SmoothingSpline(Piecewise<CubicPiece> curve, Choice choice);

  const Choice& choice() const { return choice_; }
  // Whether the knot values and second derivatives have the fitted shape:
  // monotone values for a direction, second derivatives of one sign for a
  // curvature. Between knots both then follow from the cubic form.
  bool is_shape_preserving() const;

  // "SmoothingSpline { domain: A..=B, intervals: N, shape: ..., lam: ..., edf: ... }"
  std::string debug_text() const;

 private:
  Choice choice_;
};

// The configuration.
struct Smoother {
  using Spline = SmoothingSpline;

  Shape shape = Shape::none;
  // Nothing: chosen by generalised cross-validation.
  std::optional<double> lam;
  // 0 (the default): a knot at every distinct x, the smoothing spline
  // itself (with a shape, up to 2000 segments: see smoothing.cpp). Otherwise
  // knots at every distinct x when there are at most this many segments
  // between them, at quantiles of the distinct x otherwise. Any count is
  // taken: the work grows linearly with the knots.
  std::uint64_t segments = 0;
  // Interior knots given instead, strictly increasing and inside the range
  // of x.
  std::optional<Doubles> knots;
  // Huber reweighting against outliers.
  bool robust = false;

  // lam finite and > 0, knots finite and strictly increasing.
  std::optional<Error> check() const;

  // x in any order (ties allowed), y finite; weights finite and >= 0, one per
  // point, all 1 when not given. Checks the configuration first.
  Result<SmoothingSpline> fit(std::span<const double> x, std::span<const double> y) const;
  Result<SmoothingSpline> fit(std::span<const double> x, std::span<const double> y,
                              std::span<const double> weights) const;

  // "Smoother { shape: none, lam: GCV, segments: all, robust: false }"
  std::string debug_text() const;

  friend bool operator==(const Smoother&, const Smoother&) = default;
};

static_assert(Fit<Smoother>);
static_assert(Interpolator1d<SmoothingSpline>);

}  // namespace velarix::smoothing

namespace velarix {
using smoothing::Smoother;
using smoothing::SmoothingSpline;
}  // namespace velarix
