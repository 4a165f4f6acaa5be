// The saved state of VariableDegree and VariableDegreeSpline (the layout is
// described in the shared state.hpp).
#pragma once

#include "../state.hpp"  // the shared layout ("state.hpp" would be this file)
#include "variable_degree/variable_degree.hpp"

namespace velarix::state {

VELARIX_DECLARE_STATES(VariableDegree)

}  // namespace velarix::state
