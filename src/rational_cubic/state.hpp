// The saved state of RationalCubic and RationalCubicSpline (the layout is
// described in the shared state.hpp).
#pragma once

#include "rational_cubic/rational_cubic.hpp"
#include "../state.hpp"  // the shared layout ("state.hpp" would be this file)

namespace velarix::state {

VELARIX_DECLARE_STATES(RationalCubic)

}  // namespace velarix::state
