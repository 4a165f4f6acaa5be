// The unconstrained fit as the least-squares problem it is, without the
// penalty's matrix: minimise
//   | W^1/2 (B c - v) |^2 + lam | U D2 c |^2,
// D2 the map from c to S'' at the breakpoints and U^T U the hat functions'
// Gram matrix (so |U D2 c|^2 = integral S''^2). The banded penalty P =
// D2^T U^T U D2 has entries growing as gap^-3 whose rounding, applied to a
// smooth curve, is far larger than the curve's own penalty once there are
// ten thousand knots and more (on 10^5 quasi-uniform knots the assembled P
// returned 9 times the penalty of sin(3 u) + u, and a negative one at 10^6),
// so normal equations with P in them choose lambda on rounding. Here the rows
// of W^1/2 B and of sqrt(lam) U D2 are rotated into the upper band factor R
// of R^T R = G + lam P by Givens rotations, whose rounding is relative to
// the rows themselves (U D2 grows as gap^-3/2 only), and R is the factor a
// BandFactor holds.
#pragma once

#include <cstddef>
#include <span>

#include "memory.hpp"
#include "smoothing/banded.hpp"
#include "smoothing/basis.hpp"

namespace velarix::smoothing {

// The rows of the data rotated into an upper band (width 3), once per fit:
// R_G with R_G^T R_G = G, and d = Q^T W^1/2 v on R_G's rows.
struct DataFactor {
  Band r;
  Doubles d;
  bool usable = false;
};

// `weights` replaces the data's (scaled) weights when not empty, as in
// assemble().
DataFactor factor_data(const Basis& basis, const Data& data, const Units& units,
                       std::span<const double> weights = {});

// The factor at lam: the data's factor with the penalty's rows rotated in,
// as a BandFactor, and z = R^-1 (d extended by the penalty rows' rotations),
// the minimiser. False when a pivot of R is not usable.
bool factor_stacked(const Basis& basis, const DataFactor& data, double lam, BandFactor& factor,
                    std::span<double> z);

}  // namespace velarix::smoothing
