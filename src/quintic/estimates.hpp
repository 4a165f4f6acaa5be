// Slope and curvature estimates at the knots from local polynomials.
#pragma once

#include <cstddef>

#include "memory.hpp"
#include "samples.hpp"

namespace velarix::quintic {

// Every knot's estimates are written: the arrays are not zeroed first.
struct Estimates {
  UnfilledDoubles slope;
  UnfilledDoubles curvature;
};

// The first and second derivative at every knot of the polynomial through
// the `stencil` data points nearest to it (the first or last `stencil` points
// at the ends; all of them when there are fewer). Exact for polynomials of
// degree below `stencil`; on smooth data the slope is off by O(h^(p-1)) and
// the curvature by O(h^(p-2)), which with 5 points keeps the quintic pieces
// of order 5. On periodic data (`periodic`) the stencils wrap around the
// period instead, and the end knots get the same numbers.
Estimates estimate(const Samples& samples, std::size_t stencil, bool periodic = false);

}  // namespace velarix::quintic
