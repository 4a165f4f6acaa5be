// One interval of the variable-degree polynomial spline: it interpolates the
// two data values, has the prescribed second derivatives (moments) at both
// ends, and a real degree k >= 3. At k = 3 it is the cubic spline piece in
// moment form; a larger k pulls the middle of the interval towards the chord
// and pushes the bending into the two ends.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>

#include "interpolator.hpp"

namespace velarix::variable_degree {

// b^e for the piece's power terms: on the interval b = t or 1 - t lies in
// [0, 1] and this is std::pow. Beyond the knots (only the mode "extend"
// evaluates there) b < 0, whose real power exists for an integer e alone;
// any other e continues as -|b|^e or +|b|^e, `odd` for the exponent k of
// the value and every second one from it (k - 2; k - 1, k - 3 and the
// integral's k + 1 are even), so that the continued value, derivatives and
// integral remain each other's derivatives; at an odd integer degree that
// is the polynomial itself. The continuation is C² at the knot, where both
// forms vanish with their first two derivatives (k >= 3).
inline double power(double b, double e, bool odd) {
  if (!(b < 0) || e == std::trunc(e)) return std::pow(b, e);
  const double magnitude = std::pow(-b, e);
  return odd ? -magnitude : magnitude;
}

class VariableDegreePiece {
 public:
  // The piece on [x0, x0 + h] with values y0, y1, moments m0, m1 and degree k.
  // The value difference y1 - y0 is taken from the data directly, not rebuilt
  // from the secant slope, so the right end reproduces y1 up to one rounding.
  VariableDegreePiece(double x0, double h, double y0, double y1, double m0, double m1,
                      double degree);

  // Every field (x0, h, y0, m0, m1, degree, linear, scale), and the piece
  // rebuilt from them. A saved spline is restored this way, not refitted, so
  // that it evaluates to the same bits.
  static constexpr std::size_t field_count = 8;
  static constexpr std::array<const char*, field_count> field_names = {
      "x0", "h", "y0", "m0", "m1", "degree", "linear", "scale"};
  std::array<double, field_count> fields() const {
    return {x0_, h_, y0_, m0_, m1_, degree_, linear_, scale_};
  }
  static VariableDegreePiece from_fields(const std::array<double, field_count>& f) {
    return VariableDegreePiece(f);
  }

  double value(double x) const;
  double first_derivative(double x) const;
  double second_derivative(double x) const;
  double third_derivative(double x) const;

  // The integral of the piece from x0 to x, in closed form: the polynomial
  // part and the two power terms each integrate exactly. Nothing about the
  // piece needs computing in advance, so its primitive data are empty.
  struct Primitive {};
  Primitive primitive() const { return {}; }
  double antiderivative(const Primitive&, double x) const { return antiderivative(x); }
  double antiderivative(double x) const;
  // The n-fold integral from x0 (see RepeatedPiece): each power term
  // integrates to the next powers, as in the antiderivative.
  double repeated_integral(const Primitive&, int n, double x) const;

  double x0() const { return x0_; }
  double h() const { return h_; }
  double y0() const { return y0_; }
  double m0() const { return m0_; }
  double m1() const { return m1_; }
  double degree() const { return degree_; }
  // The coefficient of t: (y1 - y0) - (m1 - m0) * scale.
  double linear() const { return linear_; }
  // h^2 / (k (k - 1)).
  double scale() const { return scale_; }

 private:
  explicit VariableDegreePiece(const std::array<double, field_count>& f)
      : x0_(f[0]),
        h_(f[1]),
        y0_(f[2]),
        m0_(f[3]),
        m1_(f[4]),
        degree_(f[5]),
        linear_(f[6]),
        scale_(f[7]) {}

  double x0_;
  double h_;
  double y0_;
  double m0_;
  double m1_;
  double degree_;
  double linear_;
  double scale_;
};

static_assert(RepeatedPiece<VariableDegreePiece>);
static_assert(FieldList<VariableDegreePiece>);

}  // namespace velarix::variable_degree
