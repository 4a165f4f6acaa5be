// How a fit sets the two end derivatives S'(x0) and S'(xn).
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace velarix {

class EndSlopes {
 public:
  struct Clamped {
    double left;
    double right;
  };
  struct Estimated {};

  EndSlopes() = default;  // Estimated
  static EndSlopes estimated() { return EndSlopes(Estimated{}); }
  static EndSlopes clamped(double left, double right) { return EndSlopes(Clamped{left, right}); }

  bool is_estimated() const { return std::holds_alternative<Estimated>(kind_); }
  // The clamped slopes, or nullptr for Estimated.
  const Clamped* clamped_slopes() const { return std::get_if<Clamped>(&kind_); }

  // The (left, right) end slopes: the clamped values, or what `estimate`
  // returns for Estimated. Each method passes its own estimation rule.
  template <class Estimate>
  std::pair<double, double> resolve(Estimate&& estimate) const {
    if (const Clamped* c = clamped_slopes()) return {c->left, c->right};
    return std::forward<Estimate>(estimate)();
  }

  // Same variant and, for Clamped, both slopes equal as IEEE doubles.
  friend bool operator==(const EndSlopes& a, const EndSlopes& b);

  // "Estimated" or "Clamped { left: L, right: R }".
  std::string debug_text() const;

 private:
  // Declared in this order: Clamped, then Estimated.
  using Kind = std::variant<Clamped, Estimated>;
  explicit EndSlopes(Kind kind) : kind_(kind) {}

  Kind kind_{Estimated{}};
};

}  // namespace velarix
