// The shapes a smoothing spline can be held to: a direction (increasing or
// decreasing), a curvature (convex or concave), both, neither, or the choice
// among all of them left to the fit.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "error.hpp"

namespace velarix::smoothing {

// The order is that of the saved states' tag and of the candidates the
// automatic choice tries.
enum class Shape : std::uint8_t {
  none,
  increasing,
  decreasing,
  convex,
  concave,
  increasing_convex,
  increasing_concave,
  decreasing_convex,
  decreasing_concave,
  automatic,
};

inline constexpr std::uint8_t shape_count = 10;

// +1 increasing, -1 decreasing, 0 neither (automatic counts as neither).
int direction(Shape shape);
// +1 convex, -1 concave, 0 neither.
int curvature(Shape shape);
// How many of the two requirements the shape makes: 0, 1 or 2.
int requirement_count(Shape shape);

// "none", "increasing", ..., "increasing convex", ..., "auto".
std::string name(Shape shape);

// The words of `name` in any order, separated by white space: at most one
// direction and one curvature, or "none", or "auto".
Result<Shape> parse_shape(std::string_view text);

}  // namespace velarix::smoothing
