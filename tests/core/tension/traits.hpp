// What the shared suites of every method take from tension (see MethodTraits).
#pragma once

#include <optional>
#include <utility>

#include "method_traits.hpp"
#include "tension/state.hpp"

namespace velarix::testing {

template <>
struct MethodTraits<Tension> {
  static constexpr bool convex_data_only = false;
  static std::vector<Named<Tension>> any_ends() {
    return {{"published", Tension{}},
            {"strict", Tension{tension::Policy::strict()}},
            {"uniform_0_3", Tension{tension::Policy::uniform(0.3)}},
            {"uniform_3", Tension{tension::Policy::uniform(3)}},
            {"uniform_200", Tension{tension::Policy::uniform(200)}}};
  }
  static Tension changed() { return Tension{tension::Policy::uniform(3.5)}; }
  static std::optional<std::pair<Tension, const char*>> refused() {
    return std::pair{Tension{tension::Policy::uniform(-1)},
                     "shape parameter `sigma` must be >= 0, got -1"};
  }
  static Tension edge() { return Tension{tension::Policy::uniform(-0.0)}; }
};

}  // namespace velarix::testing
