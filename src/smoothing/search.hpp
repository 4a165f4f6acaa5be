// One shape's programme over lambda: the choice of lambda by the
// generalised cross-validation score of the fits (see active_set.hpp).
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "smoothing/active_set.hpp"

namespace velarix::smoothing {

// The fit at the lambda of least GCV score: a logarithmic grid around the
// data's own scale of lambda, from the top down to its first point at or
// below `lowest` (internal units; 0 for the whole grid), then a bracketing
// search on log lambda. `start` warm-starts the first solve (the bounds a
// previous robust pass held). Nothing when no lambda could be solved.
std::optional<Solution> choose_lambda(const Programme& programme,
                                      std::span<const std::uint8_t> start, double lowest = 0);

}  // namespace velarix::smoothing
