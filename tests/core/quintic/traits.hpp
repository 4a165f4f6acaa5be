// What the shared suites of every method take from the quintic (see MethodTraits).
#pragma once

#include <optional>
#include <utility>

#include "method_traits.hpp"
#include "quintic/state.hpp"

namespace velarix::testing {

template <>
struct MethodTraits<Quintic> {
  static constexpr bool convex_data_only = false;
  static std::vector<Named<Quintic>> any_ends() {
    Quintic without_insertion;
    without_insertion.knot_insertion = false;
    return {{"default", Quintic{}}, {"without_insertion", without_insertion}};
  }
  static Quintic changed() { return Quintic{EndSlopes::natural(), 7, false}; }
  static std::optional<std::pair<Quintic, const char*>> refused() {
    return std::pair{Quintic{EndSlopes::limited(), 4, true},
                     "shape parameter `stencil` must be 3, 5 or 7, got 4"};
  }
  static Quintic edge() { return Quintic{EndSlopes::limited(), 7, true}; }
};

}  // namespace velarix::testing
