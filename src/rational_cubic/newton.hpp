// Newton steps toward the fixed point of the convexity solve: the C2 rows
// A(w) d = b(w) and w = T(d) solved together, for data on which the relaxed
// sweeps contract slowly (a large convexity parameter at the solution makes
// each sweep remove only a small fraction of the error).
#pragma once

#include <cstdint>
#include <span>

#include "memory.hpp"
#include "rational_cubic/solver.hpp"
#include "samples.hpp"

namespace velarix::rational_cubic::solver {

struct NewtonResult {
  Doubles w;                // the parameters reached, each in [0, w_cap]
  std::uint64_t steps;      // Newton steps made, each one tridiagonal solve
  bool converged;           // false: gave up, w is not to be used
};

// Newton's method on (d, w) from the derivatives that interpolate the
// neighbouring secants linearly and w = T(d), w clipped to [margin, w_cap].
// Each step is one tridiagonal solve with partial pivoting, limited so that
// no positive gap of an interval on its product-form condition shrinks below
// 5 % of its value. Stops after a full step that moves w by at most
// tol (W + 1), or whose square over the previous step (the next step, as
// quadratic convergence predicts it) is that small, or that moves w by at
// most 1e-6 (W + 1) while no longer shrinking fourfold (the steps have
// reached the rounding floor); gives up after 60 steps or on a non-finite
// value.
// `noise` is the gaps' at each knot (gap_noise).
NewtonResult newton_solve(const Samples& samples, std::span<const double> noise,
                          const SolveSettings& settings, double left, double right);

}  // namespace velarix::rational_cubic::solver
