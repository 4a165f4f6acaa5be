// The saved state of Quintic and QuinticSpline (the layout is described in
// the shared state.hpp).
#pragma once

#include "../state.hpp"  // the shared layout ("state.hpp" would be this file)
#include "quintic/quintic.hpp"

namespace velarix::state {

template <>
Bytes save(const Quintic&);
template <>
Result<Quintic> load(std::span<const std::byte>);
template <>
Bytes save(const QuinticSpline&);
template <>
Result<QuinticSpline> load(std::span<const std::byte>);

}  // namespace velarix::state
