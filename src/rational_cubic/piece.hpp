// One piece of the rational cubic spline: a cubic over a quadratic on one
// interval, with two global shape parameters u, v and the interval's own
// convexity parameter w.
#pragma once

#include <array>
#include <cstddef>

#include "interpolator.hpp"

namespace velarix::rational_cubic {

// S(x) = P(t) / Q(t) with t = (x - x_left) / h, where
//   P(t) = p0 + p1 t + p2 t^2 + p3 t^3,
//   Q(t) = q0 + q1 t + q2 t^2.
struct RationalCubicPiece {
  double p0;
  double p1;
  double p2;
  double p3;
  double x_left;
  double h;
  double q0;
  double q1;
  double q2;

  // The piece through (x_left, y0) and (x_left + h, y1) with end derivatives
  // d0 and d1. Requires u, v > 0 and w >= 0, so that Q >= min(u, v) > 0 on
  // [0, 1]. With w = 0 and u = v it is the cubic Hermite polynomial; as w
  // grows it tends to the chord.
  static RationalCubicPiece from_interval(double y0, double y1, double d0, double d1, double x_left,
                                          double h, double u, double v, double w);

  // Every field, in declaration order, and the piece rebuilt from them: a
  // saved spline is restored from its fields, not refitted, so that it
  // evaluates to the same bits.
  static constexpr std::size_t field_count = 9;
  std::array<double, field_count> fields() const {
    return {p0, p1, p2, p3, x_left, h, q0, q1, q2};
  }
  static RationalCubicPiece from_fields(const std::array<double, field_count>& f) {
    return {f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7], f[8]};
  }

  double value(double x) const;
  double first_derivative(double x) const;
  double second_derivative(double x) const;

  friend bool operator==(const RationalCubicPiece&, const RationalCubicPiece&) = default;
};

// Defined here so that the batch loops of Piecewise inline them.
inline double RationalCubicPiece::value(double x) const {
  const double t = (x - x_left) / h;
  const double p = p0 + t * (p1 + t * (p2 + t * p3));
  const double q = q0 + t * (q1 + t * q2);
  return p / q;
}

inline double RationalCubicPiece::first_derivative(double x) const {
  const double t = (x - x_left) / h;
  const double p = p0 + t * (p1 + t * (p2 + t * p3));
  const double q = q0 + t * (q1 + t * q2);
  const double dp = p1 + t * (2 * p2 + (3 * t) * p3);
  const double dq = q1 + (2 * t) * q2;
  // (P/Q)' = (P'Q - Q'P) / Q^2, then d/dx = (d/dt) / h.
  return ((dp * q - dq * p) / (q * q)) / h;
}

inline double RationalCubicPiece::second_derivative(double x) const {
  const double t = (x - x_left) / h;
  const double p = p0 + t * (p1 + t * (p2 + t * p3));
  const double q = q0 + t * (q1 + t * q2);
  const double dp = p1 + t * (2 * p2 + (3 * t) * p3);
  const double dq = q1 + (2 * t) * q2;
  const double ddp = 2 * p2 + (6 * t) * p3;
  const double ddq = 2 * q2;
  // (P/Q)'' = (Q (P''Q - Q''P) - 2Q' (P'Q - Q'P)) / Q^3, then d^2/dx^2 = (d^2/dt^2) / h^2.
  const double numerator = q * (ddp * q - ddq * p) - (2 * dq) * (dp * q - dq * p);
  return (numerator / (q * (q * q))) / (h * h);
}

static_assert(SplinePiece<RationalCubicPiece>);

}  // namespace velarix::rational_cubic
