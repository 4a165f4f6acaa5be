#include "rational_cubic/piece.hpp"

#include "error.hpp"

namespace velarix::rational_cubic {

RationalCubicPiece RationalCubicPiece::from_interval(double y0, double y1, double d0, double d1,
                                                     double x_left, double h, double u, double v,
                                                     double w) {
  // The scheme is defined in Bernstein-like form,
  //   P(t) = (1-t)^3 u Y0 + t (1-t)^2 beta + t^2 (1-t) gamma + t^3 v Y1,
  //   Q(t) = (1-t) u + t v + t (1-t) w,
  // with beta = u h D0 + (2u + v + w) Y0 and gamma = (u + 2v + w) Y1 - v h D1;
  // the power-basis coefficients below are that form expanded. From
  // kChordFormFrom on the piece keeps the chord form of the header instead.
  if (w >= kChordFormFrom) return in_chord_form(y0, y1, d0, d1, x_left, h, u, v, w);
  const double beta = d0 * (h * u) + y0 * (w + (v + (u + u)));
  const double gamma = y1 * (w + (u + (v + v))) - d1 * (h * v);
  const double delta = y1 * v;
  RationalCubicPiece piece{};
  piece.p0 = y0 * u;
  piece.p1 = beta - y0 * (u * 3);
  piece.p2 = gamma + (y0 * (u * 3) - (beta + beta));
  piece.p3 = ((delta - piece.p0) + beta) - gamma;
  piece.x_left = x_left;
  piece.h = h;
  piece.q0 = u;
  piece.q1 = (v + w) - u;
  piece.q2 = -w;
  return piece;
}

RationalCubicPiece RationalCubicPiece::in_chord_form(double y0, double y1, double d0, double d1,
                                                     double x_left, double h, double u, double v,
                                                     double w) {
  if (!(w > 0)) throw InternalError("the chord form needs w > 0");
  const double dy = y1 - y0;
  return {y0, dy, u * (d0 * h - dy), v * (dy - d1 * h), x_left, h, u, v, w};
}

}  // namespace velarix::rational_cubic
