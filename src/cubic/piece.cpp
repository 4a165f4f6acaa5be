#include "cubic/piece.hpp"

#include <cmath>

#include "repeated.hpp"

namespace velarix::cubic {

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

bool CubicPiece::keeps_direction(int direction) const {
  const auto holds = [&](double h_slope) { return direction * h_slope >= 0; };
  if (direction == 0) return true;
  if (!holds(slope_) || !holds(slope_ + 3 * scale_ * (m0_ + m1_))) return false;
  // h S' = slope + 3 scale (2 m0 t + (m1 - m0) t^2) turns at t = m0 / (m0 - m1).
  if (m0_ == m1_) return true;
  const double t = m0_ / (m0_ - m1_);
  if (!(t > 0 && t < 1)) return true;
  return holds(slope_ + 3 * scale_ * t * (m0_ * (2 - t) + m1_ * t));
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

// S = y0 + slope t + 3 scale m0 t^2 + scale (m1 - m0) t^3, whose n-fold
// integral in x is h^n times that of its powers of t.
double CubicPiece::repeated_integral(const Primitive&, int n, double x) const {
  if (n == 1) return antiderivative(x);
  const double t = (x - x0_) / h_;
  const double c[4] = {y0_, slope_, 3 * scale_ * m0_, scale_ * (m1_ - m0_)};
  return std::pow(h_, n) * integrated_powers(c, 4, n, t);
}

}  // namespace velarix::cubic
