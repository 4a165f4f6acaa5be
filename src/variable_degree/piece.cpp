#include "variable_degree/piece.hpp"

#include <cmath>

namespace velarix::variable_degree {

// With t = (x - x0) / h, the piece is
//   s(x) = (1 - t) y0 + t y1 + h^2/(k (k - 1)) [m0 ((1 - t)^k - (1 - t)) + m1 (t^k - t)].
// The two linear terms are folded into y0 and `linear`, which leaves
//   s(x) = (y0 + t linear) + scale (((1 - t)^k - 1) m0 + t^k m1),
// exact at t = 0, where (1 - 0)^k - 1 and 0^k vanish exactly.
VariableDegreePiece::VariableDegreePiece(double x0, double h, double y0, double y1, double m0,
                                         double m1, double degree)
    : x0_(x0), h_(h), y0_(y0), m0_(m0), m1_(m1), degree_(degree) {
  const double k = degree;
  scale_ = (h * h) / (k * (k - 1));
  linear_ = (y1 - y0) - (m1 - m0) * scale_;
}

double VariableDegreePiece::value(double x) const {
  const double k = degree_;
  const double t = (x - x0_) / h_;
  return (y0_ + t * linear_) +
         scale_ * ((power(1 - t, k, true) - 1) * m0_ + power(t, k, true) * m1_);
}

// s'(x) = (linear + k scale (t^(k-1) m1 - (1 - t)^(k-1) m0)) / h
double VariableDegreePiece::first_derivative(double x) const {
  const double k = degree_;
  const double t = (x - x0_) / h_;
  return (linear_ +
          (k * scale_) * (power(t, k - 1, false) * m1_ - power(1 - t, k - 1, false) * m0_)) /
         h_;
}

// k (k - 1) scale / h^2 = 1, so the curvature is just the blend of the end
// moments with the weights (1 - t)^(k-2) and t^(k-2).
double VariableDegreePiece::second_derivative(double x) const {
  const double k = degree_;
  const double t = (x - x0_) / h_;
  return m0_ * power(1 - t, k - 2, true) + m1_ * power(t, k - 2, true);
}

// s'''(x) = (k - 2) (t^(k-3) m1 - (1 - t)^(k-3) m0) / h; k >= 3 keeps both
// powers finite at the ends (0^0 = 1 at k = 3, the cubic's constant).
double VariableDegreePiece::third_derivative(double x) const {
  const double k = degree_;
  const double t = (x - x0_) / h_;
  return (k - 2) * (m1_ * power(t, k - 3, false) - m0_ * power(1 - t, k - 3, false)) / h_;
}

}  // namespace velarix::variable_degree
