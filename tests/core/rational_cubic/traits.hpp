// What the shared suites of every method take from the rational cubic (see MethodTraits).
#pragma once

#include <limits>

#include <optional>
#include <utility>

#include "method_traits.hpp"
#include "rational_cubic/state.hpp"

namespace velarix::testing {

template <>
struct MethodTraits<RationalCubic> {
  static constexpr bool convex_data_only = true;
  static std::vector<Named<RationalCubic>> any_ends() { return {}; }
  static RationalCubic changed() {
    RationalCubic rc;
    rc.boundary = EndSlopes::clamped(-1, 2);
    rc.tol = 1e-7;
    rc.w_cap = 5;
    return rc;
  }
  static std::optional<std::pair<RationalCubic, const char*>> refused() {
    RationalCubic rc;
    rc.w_cap = std::numeric_limits<double>::quiet_NaN();
    return std::pair{rc, "shape parameter `w_cap` must be >= 0, got NaN"};
  }
  static RationalCubic edge() {
    RationalCubic rc;
    rc.w_cap = 0;
    return rc;
  }
};

}  // namespace velarix::testing
