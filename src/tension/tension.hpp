// The exponential tension spline. Its policy (tension/policy.hpp) chooses the
// tensions: by default each interval gets the smallest tension that keeps the
// local monotonicity or convexity of the data; a uniform policy puts one given
// tension everywhere; the strict one raises tensions until the shape holds.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "boundary.hpp"
#include "error.hpp"
#include "interpolator.hpp"
#include "memory.hpp"
#include "piecewise.hpp"
#include "samples.hpp"
#include "scaled_fit.hpp"
#include "tension/piece.hpp"
#include "tension/policy.hpp"

namespace velarix::tension {

// A flag worked out on first use (from immutable data, so a repeated or
// concurrent computation gives the same value); copies carry what is known.
class LazyFlag {
 public:
  LazyFlag() = default;
  // Known from the start when `value` holds one.
  explicit LazyFlag(std::optional<bool> value) : state_(value ? (*value ? 1 : 0) : -1) {}
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
  // ends are judged across the wrap. `shape_preserving` is known where the
  // policy checked it while fitting.
  TensionSpline(Piecewise<TensionPiece> curve, Doubles tensions, std::uint64_t iterations,
                EndRows::Kind ends = EndRows::Kind::slopes,
                std::optional<bool> shape_preserving = std::nullopt);

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
  // What the end rows of its slope system held.
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
  // in [0, tol]. Any finite value.
  double tol = 0.0;
  // Largest number of select-and-solve passes; 0 gives the cubic spline.
  std::uint64_t max_iter = 99;

  // `check()` refuses, in this order: a negative uniform tension (-0.0 passes), a non-finite
  // one, a non-finite clamped slope, a non-finite tol; max_iter takes any
  // value.
  // The fit checks the data first, then the configuration (`check`);
  // periodic ends refuse data whose first and last values differ (the
  // caller's values, before any scaling). Then it hands the data to the
  // policy: its end rule, its scale check and its selection. With natural
  // ends S'' is exactly 0 at both end knots. The debug text reads
  // "Tension { policy: ShapePreserving, boundary: Estimated, tol: 0.0, max_iter: 99 }".
  static constexpr bool kChecksDataFirst = true;  // see fit_checked
  VELARIX_CONFIGURATION_MEMBERS(Tension, TensionSpline);
};

}  // namespace velarix::tension

namespace velarix {
using tension::Tension;
using tension::TensionPiece;
using tension::TensionSpline;
}  // namespace velarix
