// Interpolation of a table on a rectilinear grid in 2 to 6 dimensions. The
// surface is a tensor-product B-spline: of degree 3 on every axis's data
// plus two knots at the thirds of each interval (3^N coefficients per data
// node), or of degree 1 on the data.
//   shape:  C², monotone along every axis in every cell whose data edges
//           along that axis agree, constant along it where they are flat;
//           the unconstrained spline where nothing needs limiting (see
//           limiter.hpp).
//   cubic:  the not-a-knot tensor cubic spline, unconstrained.
//   linear: the multilinear interpolant.
// Evaluation takes every axis's coefficients relative to the first of the
// window, so that a window of equal coefficients gives that coefficient
// exactly: flat cells are exactly flat.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "error.hpp"
#include "extrapolation.hpp"
#include "grid/axis.hpp"
#include "memory.hpp"

namespace velarix::grid {

enum class GridMethod : std::uint8_t { shape, cubic, linear };
inline constexpr std::array<std::string_view, 3> method_names = {"shape", "cubic", "linear"};
std::optional<GridMethod> method_named(std::string_view name);

inline constexpr std::size_t least_dimensions = 2;
inline constexpr std::size_t most_dimensions = 6;
inline constexpr int highest_order = 2;  // per axis

// Why `x` cannot be axis `a` of a grid (fewer than 2 points, not finite, not
// increasing, or intervals too narrow or too wide for knots at the thirds).
std::optional<Error> axis_refusal(std::size_t a, std::span<const double> x);

class GridSurface {
 public:
  // `axes` N strictly increasing finite sequences (each >= 2 points),
  // `values` their product's values, row-major and finite. A caller's stop
  // (see cancel.hpp) during the limiter's rounds gives Cancelled.
  static Result<GridSurface> fit(GridMethod method, std::span<const std::span<const double>> axes,
                                 std::span<const double> values);
  // Rebuilt from saved parts (no check beyond sizes; see state).
  GridSurface(GridMethod method, Vector<Axis> axes, Doubles coefficients, bool shape_preserving);

  GridMethod method() const { return method_; }
  std::size_t dimensions() const { return axes_.size(); }
  std::span<const Axis> axes() const { return axes_; }
  std::span<const double> coefficients() const { return coefficients_; }
  // The limiter's and the final check's verdict: every coefficient
  // difference has the sign its cells ask (exactly 0 where they are flat)
  // and the data are interpolated to rounding.
  bool is_shape_preserving() const { return shape_preserving_; }

  // The partial derivative of orders `orders` (N entries, 0 to 2) at the
  // points (m x N, row-major) into out (m). Outside the box, per axis:
  // linear continues the boundary's value and slope, constant the value,
  // nan gives NaN; other modes are refused by the caller.
  void evaluate(std::span<const double> points, std::span<const int> orders, Extrapolation mode,
                std::span<double> out) const;
  // On the product of per-axis abscissas (row-major over them), the same
  // bits as evaluate() at each point.
  void evaluate_product(std::span<const std::span<const double>> abscissas,
                        std::span<const int> orders, Extrapolation mode, std::span<double> out) const;
  // The integral over the box [lower, upper] (N entries each; reversed
  // bounds count negatively), extended as evaluate() is.
  double integral(std::span<const double> lower, std::span<const double> upper,
                  Extrapolation mode) const;

  // "GridSurface { method: shape, nodes: 4 x 5, shape_preserving: true }"
  std::string debug_text() const;

  // Same method, axes, verdict and coefficients, bit for bit.
  friend bool operator==(const GridSurface& a, const GridSurface& b);

 private:
  GridMethod method_;
  Vector<Axis> axes_;
  Doubles coefficients_;
  bool shape_preserving_;
};

}  // namespace velarix::grid

namespace velarix {
using grid::GridSurface;
}  // namespace velarix
