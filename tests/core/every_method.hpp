// Every method of the library's list (src/methods.hpp) as one GoogleTest
// type list, for the typed suites that every method must pass, and what
// those suites need to know of a method beyond its classes: its
// `MethodTraits`, specialised below for each method. A method added to the
// list without its header included here, or without its traits, does not
// compile.
#pragma once

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "methods.hpp"
#include "quintic/state.hpp"
#include "rational_cubic/state.hpp"
#include "tension/state.hpp"
#include "variable_degree/state.hpp"

namespace velarix::testing {

namespace detail {
template <class Placeholder, class... Configurations>
struct WithoutFirst {
  using type = ::testing::Types<Configurations...>;
};
}  // namespace detail

// The configuration classes in the order of the list (each expansion brings
// its own leading comma, so a placeholder goes first).
#define VELARIX_CONFIGURATION(name, configuration_kind, spline_kind, Configuration) \
  , ::velarix::name::Configuration
using Methods = detail::WithoutFirst<void VELARIX_METHODS(VELARIX_CONFIGURATION)>::type;
#undef VELARIX_CONFIGURATION

// The method's snake-case name, for the names of the typed tests.
template <class Configuration>
inline constexpr const char* method_name = nullptr;
#define VELARIX_METHOD_NAME(name, configuration_kind, spline_kind, Configuration) \
  template <>                                                                     \
  inline constexpr const char* method_name<::velarix::name::Configuration> = #name;
VELARIX_METHODS(VELARIX_METHOD_NAME)
#undef VELARIX_METHOD_NAME

// The kind of the method's saved spline.
template <class Configuration>
inline constexpr state::Kind spline_kind = state::Kind{0};
#define VELARIX_SPLINE_KIND(name, configuration_state, spline_state, Configuration) \
  template <>                                                                     \
  inline constexpr state::Kind spline_kind<::velarix::name::Configuration> =      \
      state::Kind::name##_spline;
VELARIX_METHODS(VELARIX_SPLINE_KIND)
#undef VELARIX_SPLINE_KIND

struct MethodNames {
  template <class Configuration>
  static std::string GetName(int) {
    return method_name<Configuration>;
  }
};

template <class Configuration>
struct Named {
  const char* name;
  Configuration configuration;
};

// What the shared suites take from a method, besides its classes:
//   convex_data_only: whether it fits only data that are convex or concave
//     throughout (the suites then fit such data);
//   any_ends(): its configurations that take natural and periodic ends on
//     data of any shape (none where the ends depend on the data's shape);
//   changed(): a configuration with its fields away from their defaults, for
//     the saved states;
//   refused(): a configuration its check refuses, with the message;
//   edge(): one at the edge of a range, which the check takes.
template <class Configuration>
struct MethodTraits;

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
  static std::pair<RationalCubic, const char*> refused() {
    RationalCubic rc;
    rc.w_cap = std::numeric_limits<double>::quiet_NaN();
    return {rc, "shape parameter `w_cap` must be >= 0, got NaN"};
  }
  static RationalCubic edge() {
    RationalCubic rc;
    rc.w_cap = 0;
    return rc;
  }
};

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
  static std::pair<Tension, const char*> refused() {
    return {Tension{tension::Policy::uniform(-1)}, "shape parameter `sigma` must be >= 0, got -1"};
  }
  static Tension edge() { return Tension{tension::Policy::uniform(-0.0)}; }
};

template <>
struct MethodTraits<VariableDegree> {
  static constexpr bool convex_data_only = false;
  static std::vector<Named<VariableDegree>> any_ends() { return {{"default", VariableDegree{}}}; }
  static VariableDegree changed() {
    VariableDegree vd;
    vd.max_iter = 3;
    return vd;
  }
  static std::pair<VariableDegree, const char*> refused() {
    VariableDegree vd;
    vd.max_degree = 2.5;
    return {vd, "shape parameter `max_degree` must be >= 3, got 2.5"};
  }
  static VariableDegree edge() {
    VariableDegree vd;
    vd.max_degree = 3;
    return vd;
  }
};

template <>
struct MethodTraits<Quintic> {
  static constexpr bool convex_data_only = false;
  static std::vector<Named<Quintic>> any_ends() {
    Quintic without_insertion;
    without_insertion.knot_insertion = false;
    return {{"default", Quintic{}}, {"without_insertion", without_insertion}};
  }
  static Quintic changed() { return Quintic{EndSlopes::natural(), 7, false}; }
  static std::pair<Quintic, const char*> refused() {
    return {Quintic{EndSlopes::limited(), 4, true},
            "shape parameter `stencil` must be 3, 5 or 7, got 4"};
  }
  static Quintic edge() { return Quintic{EndSlopes::limited(), 7, true}; }
};

}  // namespace velarix::testing
