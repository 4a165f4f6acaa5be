// How a fit sets the two end derivatives S'(x0) and S'(xn).
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "error.hpp"
#include "limited_slopes.hpp"
#include "samples.hpp"

namespace velarix {

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

  EndSlopes() = default;  // Estimated
  static EndSlopes estimated() { return EndSlopes(Estimated{}); }
  static EndSlopes clamped(double left, double right) { return EndSlopes(Clamped{left, right}); }
  static EndSlopes limited() { return EndSlopes(Limited{}); }

  bool is_estimated() const { return std::holds_alternative<Estimated>(kind_); }
  bool is_limited() const { return std::holds_alternative<Limited>(kind_); }
  // The clamped slopes, or nullptr for Estimated.
  const Clamped* clamped_slopes() const { return std::get_if<Clamped>(&kind_); }

  // The (left, right) end slopes: the clamped values, or what `estimate`
  // returns for Estimated. Each method passes its own estimation rule.
  // Limited limits that estimate against the secants of `samples` (the data
  // the method solves, mirrored or not).
  template <class Estimate>
  std::pair<double, double> resolve(const Samples& samples, Estimate&& estimate) const {
    if (const Clamped* c = clamped_slopes()) return {c->left, c->right};
    if (is_limited()) return limit_end_slopes(samples, std::forward<Estimate>(estimate)());
    return std::forward<Estimate>(estimate)();
  }

  // A clamped slope that is NaN or infinite, `left` first: the slope enters
  // every knot's derivative through the solve, so it would leave no finite
  // value anywhere.
  std::optional<InvalidParameter> check() const;

  // Same variant and, for Clamped, both slopes equal as IEEE doubles.
  friend bool operator==(const EndSlopes& a, const EndSlopes& b);

  // "Estimated", "Limited" or "Clamped { left: L, right: R }".
  std::string debug_text() const;

 private:
  // Declared in this order: Clamped, Estimated, Limited.
  using Kind = std::variant<Clamped, Estimated, Limited>;
  explicit EndSlopes(Kind kind) : kind_(kind) {}

  Kind kind_{Estimated{}};
};

}  // namespace velarix
