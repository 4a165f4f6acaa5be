// Every method of the library's list (src/methods.hpp) as one GoogleTest
// type list, for the typed suites that every method must pass, and what
// those suites need to know of a method beyond its classes: its
// `MethodTraits` (method_traits.hpp), specialised in the method's own
// tests/core/<name>/traits.hpp. The headers of the methods and of their
// traits are included from lists CMake writes from the table, so a method
// added to the table without its traits does not compile.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "every_method_header.hpp"
#include "method_traits.hpp"
#include "methods.hpp"

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

}  // namespace velarix::testing

// Each method's traits, from tests/core/<name>/traits.hpp.
#include "every_method_traits.hpp"
