// The saved state of Smoother and SmoothingSpline (the layout is described in
// the shared state.hpp). A smoothing spline saves its knots and pieces, then
// what the fit chose.
#pragma once

#include "../state.hpp"  // the shared layout ("state.hpp" would be this file)
#include "smoothing/smoothing.hpp"

namespace velarix::state {

inline constexpr Kind smoother_kind = Kind::smoother;
inline constexpr Kind smoothing_spline_kind = Kind::smoothing_spline;

VELARIX_DECLARE_STATES(Smoother)

}  // namespace velarix::state
