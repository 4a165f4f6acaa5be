// One shape's programme over lambda: the solve at a given lambda with its
// effective degrees of freedom and generalised cross-validation score, and
// the choice of lambda by that score.
#pragma once

#include <cstddef>
#include <optional>

#include "memory.hpp"
#include "smoothing/active_set.hpp"
#include "smoothing/basis.hpp"
#include "smoothing/coordinates.hpp"

namespace velarix::smoothing {

// The fit's normal equations in some coordinates: T^T G T, T^T B^T W v and
// v^T W v.
struct Projected {
  Doubles gram;
  Doubles q;
  double vwv = 0;
};

Projected project(const Coordinates& coordinates, const NormalEquations& normal);

// Everything the solves need besides lambda, in internal units.
struct Programme {
  const Coordinates* coordinates;
  Projected fit;
  // When set, the residual sum of squares of the GCV score is taken with
  // these weights instead of the fit's (the robust score, see smoothing.cpp).
  std::optional<Projected> score;
  double points;     // the number of points with positive weight
  double lam_scale;  // trace(G) / trace(P) in the plain basis
};

struct Solution {
  ActiveSet state;
  double lam = 0;  // internal units
  double edf = 0;
  double rss = 0;
  double gcv = 0;  // infinite where the fit is inadmissible
  std::size_t active = 0;
};

// The fit at lambda, warm-started from `start` (moved in). Nothing when a
// factorisation fails.
std::optional<Solution> solve_at(const Programme& programme, double lam, ActiveSet start);

// The fit at the lambda of least GCV score: a logarithmic grid around the
// data's own scale of lambda, from the top down to its first point at or
// below `lowest` (internal units; 0 for the whole grid), then a bracketing
// search on log lambda. `start`
// warm-starts the first solve (a previous robust pass). Nothing when no
// lambda could be solved.
std::optional<Solution> choose_lambda(const Programme& programme, ActiveSet start,
                                      double lowest = 0);

}  // namespace velarix::smoothing
