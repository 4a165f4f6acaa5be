// The saved state of RationalCubic and RationalCubicSpline (the layout is
// described in the shared state.hpp).
#pragma once

#include "rational_cubic/rational_cubic.hpp"
#include "../state.hpp"  // the shared layout ("state.hpp" would be this file)

namespace velarix::state {

template <>
Bytes save(const RationalCubic&);
template <>
Result<RationalCubic> load(std::span<const std::byte>);
template <>
Bytes save(const RationalCubicSpline&);
template <>
Result<RationalCubicSpline> load(std::span<const std::byte>);

}  // namespace velarix::state
