// One interval of a C² cubic spline: the cubic with values y0, y1 and second
// derivatives m0, m1 at its ends (the moment form), the piece of every
// method whose curve is a cubic spline given by its moments (the smoother's,
// and any cubic-family method's). Neighbouring pieces share the value and
// the second derivative of their common knot exactly, so the knots evaluate
// consistently from both sides and S'' is continuous to the bit there.
#pragma once

#include <array>
#include <cstddef>

#include "interpolator.hpp"

namespace velarix::cubic {

// With t = (x - x0) / h and scale = h^2 / 6,
//   S = (1 - t) y0 + t y1 + scale [((1 - t)^3 - (1 - t)) m0 + (t^3 - t) m1]
//     = y0 + t (slope + scale t (m0 (3 - t) + m1 t)),
// where slope = (y1 - y0) - scale (2 m0 + m1) is h S'(x0). The second form
// gives y0 exactly at t = 0 and cancels nothing for t in [0, 1].
class CubicPiece {
 public:
  CubicPiece(double x0, double h, double y0, double y1, double m0, double m1);

  // Every field (x0, h, y0, slope, m0, m1, scale), and the piece rebuilt from
  // them, so that a restored spline evaluates to the same bits.
  static constexpr std::size_t field_count = 7;
  static constexpr std::array<const char*, field_count> field_names = {
      "x0", "h", "y0", "slope", "m0", "m1", "scale"};
  std::array<double, field_count> fields() const { return {x0_, h_, y0_, slope_, m0_, m1_, scale_}; }
  static CubicPiece from_fields(const std::array<double, field_count>& f) { return CubicPiece(f); }

  double value(double x) const;
  double first_derivative(double x) const;
  // m0 (1 - t) + m1 t: exactly m0 and m1 at the ends, and of their common
  // sign in between.
  double second_derivative(double x) const;
  // S'' is linear on the piece, so S''' is its constant slope (m1 - m0) / h,
  // whatever x in the piece.
  double third_derivative(double) const { return (m1_ - m0_) / h_; }

  // The integral from x0 in closed form; nothing to precompute.
  struct Primitive {};
  Primitive primitive() const { return {}; }
  double antiderivative(const Primitive&, double x) const { return antiderivative(x); }
  double antiderivative(double x) const;
  // The n-fold integral from x0 (see RepeatedPiece), from the powers of t.
  double repeated_integral(const Primitive&, int n, double x) const;

  // Whether S' has the sign of `direction` (1 rising, -1 falling, 0 none)
  // all over the piece: h S' = slope + 3 scale t (m0 (2 - t) + m1 t) is
  // checked at both ends and at its vertex.
  bool keeps_direction(int direction) const;

  double x0() const { return x0_; }
  double h() const { return h_; }
  double y0() const { return y0_; }
  double m0() const { return m0_; }
  double m1() const { return m1_; }

 private:
  explicit CubicPiece(const std::array<double, field_count>& f)
      : x0_(f[0]), h_(f[1]), y0_(f[2]), slope_(f[3]), m0_(f[4]), m1_(f[5]), scale_(f[6]) {}

  double x0_;
  double h_;
  double y0_;
  double slope_;
  double m0_;
  double m1_;
  double scale_;
};

static_assert(RepeatedPiece<CubicPiece> && FieldList<CubicPiece>);

}  // namespace velarix::cubic
