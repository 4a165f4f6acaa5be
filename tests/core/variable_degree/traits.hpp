// What the shared suites of every method take from variable degree (see MethodTraits).
#pragma once

#include <optional>
#include <utility>

#include "method_traits.hpp"
#include "variable_degree/state.hpp"

namespace velarix::testing {

template <>
struct MethodTraits<VariableDegree> {
  static constexpr bool convex_data_only = false;
  static std::vector<Named<VariableDegree>> any_ends() { return {{"default", VariableDegree{}}}; }
  static VariableDegree changed() {
    VariableDegree vd;
    vd.max_iter = 3;
    return vd;
  }
  static std::optional<std::pair<VariableDegree, const char*>> refused() {
    VariableDegree vd;
    vd.max_degree = 2.5;
    return std::pair{vd, "shape parameter `max_degree` must be >= 3, got 2.5"};
  }
  static VariableDegree edge() {
    VariableDegree vd;
    vd.max_degree = 3;
    return vd;
  }
};

}  // namespace velarix::testing
