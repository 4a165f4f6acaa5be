// The integral of a variable-degree piece from its left knot.
#include <cmath>

#include "variable_degree/piece.hpp"

namespace velarix::variable_degree {

// With t = (x - x0) / h and c = scale, the piece is
//   s = (y0 + t linear) + c (((1 - t)^k - 1) m0 + t^k m1),
// so, in x,
//   int_x0^x s = h [t (y0 + t linear / 2)
//                   + c (m0 ((1 - (1 - t)^(k+1)) / (k + 1) - t) + m1 t^(k+1) / (k + 1))].
// Each power term integrates to the next power, so the cost is the two pow
// calls of a value. The m0 term subtracts t from a quantity close to t for
// small t; the loss is relative to c m0 t, a term of the piece's own size.
double VariableDegreePiece::antiderivative(double x) const {
  const double k1 = degree_ + 1;
  const double t = (x - x0_) / h_;
  const double left = power(1 - t, k1, false);
  const double right = power(t, k1, false);
  const double chord = t * (y0_ + t * (linear_ / 2));
  const double bend = scale_ * (m0_ * ((1 - left) / k1 - t) + m1_ * (right / k1));
  return h_ * (chord + bend);
}

}  // namespace velarix::variable_degree
