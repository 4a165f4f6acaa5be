// The saved state of a GridSurface (the layout is described in the shared
// state.hpp): the method as a tag, the axis count, each axis as its knots
// (the data abscissae), the coefficient count and the coefficients, and the
// shape verdict as a flag.
#pragma once

#include "../state.hpp"  // the shared layout ("state.hpp" would be this file)
#include "grid/grid.hpp"

namespace velarix::state {

inline constexpr Kind grid_surface_kind = Kind::grid_surface;

template <>
Bytes save(const GridSurface&);
template <>
Result<GridSurface> load(std::span<const std::byte>);

}  // namespace velarix::state
