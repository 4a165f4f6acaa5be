// The saved state of Quintic and QuinticSpline (the layout is described in
// the shared state.hpp).
#pragma once

#include "../state.hpp"  // the shared layout ("state.hpp" would be this file)
#include "quintic/quintic.hpp"

namespace velarix::state {

VELARIX_DECLARE_STATES(Quintic)

}  // namespace velarix::state
