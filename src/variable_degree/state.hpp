// The saved state of VariableDegree and VariableDegreeSpline (the layout is
// described in the shared state.hpp).
#pragma once

#include "../state.hpp"  // the shared layout ("state.hpp" would be this file)
#include "variable_degree/variable_degree.hpp"

namespace velarix::state {

template <>
Bytes save(const VariableDegree&);
template <>
Result<VariableDegree> load(std::span<const std::byte>);
template <>
Bytes save(const VariableDegreeSpline&);
template <>
Result<VariableDegreeSpline> load(std::span<const std::byte>);

}  // namespace velarix::state
