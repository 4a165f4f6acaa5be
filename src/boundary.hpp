// How a fit sets the two end derivatives S'(x0) and S'(xn), or the
// conditions that replace them: S'' = 0 at both ends, or periodic ends.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "error.hpp"
#include "limited_slopes.hpp"
#include "samples.hpp"

namespace velarix {

// The rows a fit puts at the two ends of its linear system: given end slopes
// (`left`, `right`), S'' = 0, or the rows of the first knot wrapped onto the
// last interval, which make the system cyclic.
struct EndRows {
  enum class Kind : std::uint8_t { slopes, natural, periodic };
  Kind kind = Kind::slopes;
  double left = 0;
  double right = 0;

  bool natural() const { return kind == Kind::natural; }
  bool periodic() const { return kind == Kind::periodic; }

  friend bool operator==(const EndRows&, const EndRows&) = default;
};

class EndSlopes {
 public:
  struct Clamped {
    double left;
    double right;
  };
  struct Estimated {};
  // The method's estimate, limited so that the end intervals keep the shape
  // of the data (limit_end_slopes).
  struct Limited {};
  // S''(x0) = S''(xn) = 0: the end slopes follow from the fit.
  struct Natural {};
  // S, S' and S'' agree at x0 and xn, so that the spline continues across
  // the period xn - x0; the data must have y[0] == y[n-1].
  struct Periodic {};

  EndSlopes() = default;  // Estimated
  static EndSlopes estimated() { return EndSlopes(Estimated{}); }
  static EndSlopes clamped(double left, double right) { return EndSlopes(Clamped{left, right}); }
  static EndSlopes limited() { return EndSlopes(Limited{}); }
  static EndSlopes natural() { return EndSlopes(Natural{}); }
  static EndSlopes periodic() { return EndSlopes(Periodic{}); }

  bool is_estimated() const { return std::holds_alternative<Estimated>(kind_); }
  bool is_limited() const { return std::holds_alternative<Limited>(kind_); }
  bool is_natural() const { return std::holds_alternative<Natural>(kind_); }
  bool is_periodic() const { return std::holds_alternative<Periodic>(kind_); }
  // Whether the fit takes two end slopes (`resolve`): not for Natural and
  // Periodic, whose end rows are conditions on S'' or the wrap.
  bool sets_slopes() const { return !is_natural() && !is_periodic(); }
  // The clamped slopes, or nullptr for Estimated.
  const Clamped* clamped_slopes() const { return std::get_if<Clamped>(&kind_); }

  // The (left, right) end slopes: the clamped values, or what `estimate`
  // returns for Estimated. Each method passes its own estimation rule.
  // Limited limits that estimate against the secants of `samples` (the data
  // the method solves, mirrored or not). Natural and Periodic set no slopes:
  // they give the estimate, which a fit that honours them never uses.
  template <class Estimate>
  std::pair<double, double> resolve(const Samples& samples, Estimate&& estimate) const {
    if (const Clamped* c = clamped_slopes()) return {c->left, c->right};
    if (is_limited()) return limit_end_slopes(samples, std::forward<Estimate>(estimate)());
    return std::forward<Estimate>(estimate)();
  }

  // What the end rows of a fit's system express: the resolved slopes, or
  // the natural or periodic condition.
  template <class Estimate>
  EndRows rows(const Samples& samples, Estimate&& estimate) const {
    if (is_natural()) return {EndRows::Kind::natural, 0, 0};
    if (is_periodic()) return {EndRows::Kind::periodic, 0, 0};
    const auto [left, right] = resolve(samples, std::forward<Estimate>(estimate));
    return {EndRows::Kind::slopes, left, right};
  }

  // A clamped slope that is NaN or infinite, `left` first: the slope enters
  // every knot's derivative through the solve, so it would leave no finite
  // value anywhere.
  std::optional<InvalidParameter> check() const;

  // Same variant and, for Clamped, both slopes equal as IEEE doubles.
  friend bool operator==(const EndSlopes& a, const EndSlopes& b);

  // "Estimated", "Limited", "Natural", "Periodic" or
  // "Clamped { left: L, right: R }".
  std::string debug_text() const;

 private:
  // Declared in this order: Clamped, Estimated, Limited, Natural, Periodic.
  using Kind = std::variant<Clamped, Estimated, Limited, Natural, Periodic>;
  explicit EndSlopes(Kind kind) : kind_(kind) {}

  Kind kind_{Estimated{}};
};

}  // namespace velarix
