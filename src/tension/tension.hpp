// The exponential tension spline. By default each interval gets the smallest
// tension that keeps the local monotonicity or convexity of the data, found
// by alternating the tension selection with the derivative solve until the
// derivatives settle; a uniform policy puts one given tension everywhere.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
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
  // Tensions raised until every shape requirement of the data holds after
  // the last solve; estimated end slopes are limited.
  struct Strict {};

  Policy() = default;  // ShapePreserving
  static Policy uniform(double sigma) { return Policy(Uniform{sigma}); }
  static Policy shape_preserving() { return Policy(ShapePreserving{}); }
  static Policy strict() { return Policy(Strict{}); }

  bool is_shape_preserving() const { return std::holds_alternative<ShapePreserving>(kind_); }
  bool is_strict() const { return std::holds_alternative<Strict>(kind_); }
  // The uniform tension, or nullptr for ShapePreserving.
  const Uniform* uniform_tension() const { return std::get_if<Uniform>(&kind_); }

  // Same variant and, for Uniform, tensions equal as IEEE doubles.
  friend bool operator==(const Policy& a, const Policy& b);

  // "ShapePreserving", "Strict" or "Uniform(2.5)".
  std::string debug_text() const;

 private:
  // Declared in this order: Uniform, ShapePreserving, Strict.
  using Kind = std::variant<Uniform, ShapePreserving, Strict>;
  explicit Policy(Kind kind) : kind_(kind) {}

  Kind kind_{ShapePreserving{}};
};

// A flag worked out on first use (from immutable data, so a repeated or
// concurrent computation gives the same value); copies carry what is known.
class LazyFlag {
 public:
  LazyFlag() = default;
  explicit LazyFlag(bool value) : state_(value ? 1 : 0) {}
  LazyFlag(const LazyFlag& other) : state_(other.state_.load(std::memory_order_relaxed)) {}
  LazyFlag& operator=(const LazyFlag& other) {
    state_.store(other.state_.load(std::memory_order_relaxed), std::memory_order_relaxed);
    return *this;
  }
  template <class Compute>
  bool get(Compute&& compute) const {
    std::int8_t state = state_.load(std::memory_order_relaxed);
    if (state < 0) {
      state = std::forward<Compute>(compute)() ? 1 : 0;
      state_.store(state, std::memory_order_relaxed);
    }
    return state == 1;
  }

 private:
  mutable std::atomic<std::int8_t> state_{-1};  // -1 unknown, 0 false, 1 true
};

// The fitted spline: the curve, the tension of each interval and the number
// of select-and-solve passes.
class TensionSpline : public PiecewiseSpline<TensionPiece> {
 public:
  // `ends` says what the end rows of its slope system held, which the shape
  // check needs: natural end slopes move with the tensions, and periodic
  // ends are judged across the wrap.
  TensionSpline(Piecewise<TensionPiece> curve, Doubles tensions, std::uint64_t iterations,
                EndRows::Kind ends = EndRows::Kind::slopes);
  // A strict fit knows whether its requirements hold.
  TensionSpline(Piecewise<TensionPiece> curve, Doubles tensions, std::uint64_t iterations,
                EndRows::Kind ends, bool shape_preserving);

  // Whether the curve keeps the shape of the data: flat where the data are
  // flat, monotone and convex or concave where they are, and within a small
  // overshoot beside data extrema. Checked on the final slopes and tensions,
  // on first use for the policies that do not check it while fitting.
  bool is_shape_preserving() const;

  // One tension per interval, in knot order: the uniform tension as given
  // (sign included), or the selected ones, each in [0, 85].
  std::span<const double> tensions() const { return tensions_; }
  // Select-and-solve passes performed; 0 for a uniform tension.
  std::uint64_t iterations() const { return iterations_; }
  EndRows::Kind ends() const { return ends_; }

  // "TensionSpline { domain: A..=B, intervals: M, iterations: K }"
  std::string debug_text() const;

 private:
  Doubles tensions_;
  std::uint64_t iterations_;
  EndRows::Kind ends_;
  LazyFlag shape_preserving_;
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

  // Checks the data first, then the configuration (`check`); periodic ends
  // refuse data whose first and last values differ. Under the strict policy
  // estimated end slopes are limited. With natural ends S'' is exactly 0 at
  // both end knots.
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
