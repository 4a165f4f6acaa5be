#include "smoothing/piece.hpp"

namespace velarix::smoothing {

CubicPiece::CubicPiece(double x0, double h, double y0, double y1, double m0, double m1)
    : x0_(x0), h_(h), y0_(y0), m0_(m0), m1_(m1), scale_(h * h / 6) {
  slope_ = (y1 - y0) - scale_ * (2 * m0 + m1);
}

double CubicPiece::value(double x) const {
  const double t = (x - x0_) / h_;
  return y0_ + t * (slope_ + scale_ * t * (m0_ * (3 - t) + m1_ * t));
}

// S' = (slope + 3 scale t (m0 (2 - t) + m1 t)) / h.
double CubicPiece::first_derivative(double x) const {
  const double t = (x - x0_) / h_;
  return (slope_ + 3 * scale_ * t * (m0_ * (2 - t) + m1_ * t)) / h_;
}

double CubicPiece::second_derivative(double x) const {
  const double t = (x - x0_) / h_;
  return m0_ * (1 - t) + m1_ * t;
}

// integral_x0^x S = h t (y0 + t (slope / 2 + scale t (m0 (1 - t / 4) + m1 t / 4))).
double CubicPiece::antiderivative(double x) const {
  const double t = (x - x0_) / h_;
  return h_ * t * (y0_ + t * (0.5 * slope_ + scale_ * t * (m0_ * (1 - 0.25 * t) + m1_ * (0.25 * t))));
}

}  // namespace velarix::smoothing
