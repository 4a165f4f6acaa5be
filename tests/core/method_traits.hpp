// The traits a method gives the shared suites of every method
// (every_method.hpp), each method in tests/core/<name>/traits.hpp.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "boundary.hpp"

namespace velarix::testing {

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
//   refused(): a configuration its check refuses, with the message, or
//     nothing for a method with no setting to refuse;
//   edge(): one at the edge of a range, which the check takes.
template <class Configuration>
struct MethodTraits;

}  // namespace velarix::testing
