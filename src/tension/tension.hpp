// The exponential tension spline. By default each interval gets the smallest
// tension that keeps the local monotonicity or convexity of the data, found
// by alternating the tension selection with the derivative solve until the
// derivatives settle; a uniform policy puts one given tension everywhere.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "boundary.hpp"
#include "error.hpp"
#include "interpolator.hpp"
#include "memory.hpp"
#include "piecewise.hpp"
#include "tension/piece.hpp"

namespace velarix::tension {

// How the tensions are chosen.
class Policy {
 public:
  struct Uniform {
    double sigma;
  };
  struct ShapePreserving {};

  Policy() = default;  // ShapePreserving
  static Policy uniform(double sigma) { return Policy(Uniform{sigma}); }
  static Policy shape_preserving() { return Policy(ShapePreserving{}); }

  bool is_shape_preserving() const { return std::holds_alternative<ShapePreserving>(kind_); }
  // The uniform tension, or nullptr for ShapePreserving.
  const Uniform* uniform_tension() const { return std::get_if<Uniform>(&kind_); }

  // Same variant and, for Uniform, tensions equal as IEEE doubles.
  friend bool operator==(const Policy& a, const Policy& b);

  // "ShapePreserving" or "Uniform(2.5)".
  std::string debug_text() const;

 private:
  // Declared in this order: Uniform, then ShapePreserving.
  using Kind = std::variant<Uniform, ShapePreserving>;
  explicit Policy(Kind kind) : kind_(kind) {}

  Kind kind_{ShapePreserving{}};
};

// The fitted spline: the curve, the tension of each interval and the number
// of select-and-solve passes.
class TensionSpline : public PiecewiseSpline<TensionPiece> {
 public:
  TensionSpline(Piecewise<TensionPiece> curve, Doubles tensions, std::uint64_t iterations);

  // One tension per interval, in knot order: the uniform tension as given
  // (sign included), or the selected ones, each in [0, 85].
  std::span<const double> tensions() const { return tensions_; }
  // Select-and-solve passes performed; 0 for a uniform tension.
  std::uint64_t iterations() const { return iterations_; }

  // "TensionSpline { domain: A..=B, intervals: M, iterations: K }"
  std::string debug_text() const;

 private:
  Doubles tensions_;
  std::uint64_t iterations_;
};

// The configuration of the method.
struct Tension {
  using Spline = TensionSpline;

  Policy policy{};
  EndSlopes boundary{};
  // Handed to the tension selection: a search may stop once its target lies
  // in [0, tol]. Not checked.
  double tol = 0.0;
  // Largest number of select-and-solve passes; 0 gives the cubic spline.
  std::uint64_t max_iter = 99;

  // A negative uniform tension (NaN and -0.0 pass); tol and max_iter take
  // any value.
  std::optional<InvalidParameter> check() const;

  // Checks the data first, then the configuration (`check`).
  Result<TensionSpline> fit(std::span<const double> x, std::span<const double> y) const;

  // "Tension { policy: ShapePreserving, boundary: Estimated, tol: 0.0, max_iter: 99 }"
  std::string debug_text() const;

  // Every field equal, doubles as IEEE values.
  friend bool operator==(const Tension&, const Tension&) = default;
};

static_assert(Fit<Tension>);
static_assert(Interpolator1d<TensionSpline>);

}  // namespace velarix::tension

namespace velarix {
using tension::Tension;
using tension::TensionPiece;
using tension::TensionSpline;
}  // namespace velarix
