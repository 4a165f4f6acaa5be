// The weights of a robust fit: Huber reweighting of the data by the
// residuals of a pilot and then of each fit.
#pragma once

#include <span>

#include "memory.hpp"
#include "smoothing/basis.hpp"

namespace velarix::smoothing {

// The weights of a robust pass: the data's times the Huber factors, for
// the fit, and times their squares, for the GCV score. With Huber factors
// min(1, k sigma / |r|) from the previous fit's residuals r, the score's
// weighted squares are min(r^2, (k sigma)^2): each point counts as Huber's
// psi^2, so that an outlier adds at most (k sigma)^2 to the score however
// far the curve stays from it. Scored with the fit's own weights instead, an
// outlier would add k sigma |r|, and the score would reward a lambda small
// enough for the curve to reach it.
struct RobustWeights {
  Doubles fit;
  Doubles score;
};

// The first weights, from the residuals about the median of each point's
// 2 m nearest neighbours in x (one-sided at the ends): a fit by least
// squares would bend towards an outlier, most of all near an end, and let it
// keep its weight; the neighbours' median does not. The point itself is
// left out, or on a monotone stretch it would be its own median.
// False when the residuals' scale is 0 (more than half of them exact),
// which leaves nothing to weigh by.
bool pilot_weights(const Data& data, const Units& units, RobustWeights& weights);

// The weights from the residuals of the curve with coefficients c; false as
// above.
bool residual_weights(const Basis& basis, const Data& data, const Units& units,
                      std::span<const double> c, RobustWeights& weights);

}  // namespace velarix::smoothing
