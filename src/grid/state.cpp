// The saved state of a GridSurface.
#include "grid/state.hpp"

namespace velarix::state {

using grid::Axis;
using grid::GridMethod;

template <>
Bytes save(const GridSurface& s) {
  Writer out(grid_surface_kind);
  out.u8(static_cast<std::uint8_t>(s.method()));
  out.u64(s.dimensions());
  for (const Axis& axis : s.axes()) out.knots(axis.data());
  out.u64(s.coefficients().size());
  out.f64s(s.coefficients());
  out.u8(s.is_shape_preserving() ? 1 : 0);
  return std::move(out).finish();
}

template <>
Result<GridSurface> load(std::span<const std::byte> bytes) {
  Reader in(bytes, grid_surface_kind);
  const auto method = static_cast<GridMethod>(in.tag(grid::method_names.size()));
  const std::uint64_t dimensions = in.u64();
  std::vector<Doubles> axes;
  const bool dimensions_ok =
      dimensions >= grid::least_dimensions && dimensions <= grid::most_dimensions;
  for (std::uint64_t a = 0; dimensions_ok && a < dimensions && in.ok(); ++a) {
    axes.push_back(in.knots());
  }
  const std::size_t at = in.offset();
  const std::uint64_t count = in.u64();
  Doubles coefficients = in.f64s(count);
  const bool shape_preserving = in.flag();
  if (auto error = in.finish()) return *error;
  if (!dimensions_ok) return InvalidState{"grid dimensions out of range", 1};
  const int degree = method == GridMethod::linear ? 1 : 3;
  Vector<Axis> built;
  std::uint64_t expected = 1;
  for (std::size_t a = 0; a < axes.size(); ++a) {
    if (grid::axis_refusal(a, axes[a])) return InvalidState{"grid axis unusable", at};
    built.emplace_back(axes[a], degree);
    const std::uint64_t along = built.back().coefficients();
    if (along > count / expected) return InvalidState{"grid coefficient count", at};
    expected *= along;
  }
  if (count != expected) return InvalidState{"grid coefficient count", at};
  return GridSurface(method, std::move(built), std::move(coefficients), shape_preserving);
}

}  // namespace velarix::state
