// One interval of the exponential tension spline in Hermite form: the curve
// through (x0, y0) and (x0 + h, y1) with end slopes yp0 and yp1 that solves
// S'''' = (sigma / h)^2 S'' on the interval. At sigma = 0 it is the Hermite
// cubic; as sigma grows it is pulled towards the chord.
//
// The same function is written three ways, chosen by the size of sigma, so
// that none of them loses accuracy to cancellation or overflows.
#pragma once

#include <array>
#include <cstddef>
#include <variant>

#include "interpolator.hpp"

namespace velarix::tension {

// sinhm(x) = sinh(x) - x, coshm(x) = cosh(x) - 1, coshmm(x) = cosh(x) - 1 - x^2/2.
struct ModifiedHyperbolics {
  double sinhm;
  double coshm;
  double coshmm;
};

// All three for any real x. Near 0 they come from a rational approximation,
// which avoids the cancellation of sinh(x) - x and cosh(x) - 1; beyond
// |x| = 0.5 from exp.
ModifiedHyperbolics modified_hyperbolics(double x);

// Above hyperbolic_up_to the tension method scales every hyperbolic function
// of sigma by 2 exp(-sigma), so that only negative exponents occur and
// nothing overflows for a large tension: ems = exp(-sigma), tm = 1 - ems, and
// scm = tm^2, the scaled coshm. The scaled sinh and sinhm are formed from
// these where they are used.
struct ScaledHyperbolics {
  double ems;
  double tm;
  double scm;
};

ScaledHyperbolics scaled_hyperbolics(double sigma);

// Below this tension the hyperbolic coefficients are tiny powers of sigma
// (e ~ sigma^4 / 12) and the Hermite cubic is exact to rounding.
inline constexpr double cubic_below = 1e-9;
// Up to this tension the hyperbolic functions are taken from the rational
// approximation; above it the exponentials no longer cancel badly.
inline constexpr double hyperbolic_up_to = 0.5;
// Above this tension the curve bends only in layers of width h / sigma at the
// knots, and b1 = 1 - b2 (absolute error 2^-53) would cost sigma ulps in
// exp(-sigma b1) near the right knot: such pieces measure b1 from the right
// knot itself. Up to it the exponential form keeps its arithmetic.
inline constexpr double steep_above = 85;
// Up to this tension the third derivative takes sigma cosh(sigma/2) -
// 2 sinh(sigma/2) from the rational approximation at sigma/2; above it from
// the exponential form's own ems and tm, in which the two terms cancel by
// a factor of 12 / sigma^2 (13 at 1, 48 just above 0.5).
inline constexpr double odd_part_rational_up_to = 1;

class TensionPiece {
 public:
  // sigma < 1e-9: the Hermite cubic.
  struct Cubic {};
  // 1e-9 <= sigma <= 0.5: the hyperbolic functions of sigma themselves;
  // e = sigma * sinhm(sigma) - 2 * coshmm(sigma).
  struct Hyperbolic {
    double sinhm;
    double coshm;
    double e;
  };
  // sigma > 0.5 (and NaN): every hyperbolic function scaled by 2 exp(-sigma),
  // so that only negative exponents occur; ems = exp(-sigma), tm = 1 - ems,
  // e = tm * (sigma * (ems + 1) - 2 * tm).
  struct Exponential {
    double ems;
    double tm;
    double e;
  };
  // sigma > 85: the exponential form's coefficients with the right knot x1,
  // from which b1 = (x1 - x) / h is measured.
  struct Steep {
    double ems;
    double tm;
    double e;
    double x1;
  };
  using Form = std::variant<Cubic, Hyperbolic, Exponential, Steep>;

  // The piece on [x0, x0 + h]; only |tension| is used. Never fails.
  TensionPiece(double x0, double h, double y0, double y1, double yp0, double yp1, double tension);
  // The same piece with its form given: form_for(tension), which depends on
  // the tension alone, so pieces of equal tension can share one evaluation.
  // Above 85 the piece takes the Steep form with the right knot x1 (x0 + h
  // when not given; a fit passes its knot, which x0 + h may miss by an ulp).
  TensionPiece(double x0, double h, double y0, double y1, double yp0, double yp1, double tension,
               const Form& form);
  TensionPiece(double x0, double x1, double h, double y0, double y1, double yp0, double yp1,
               double tension, const Form& form);
  static Form form_for(double tension);

  // The fields besides the form (x0, h, y0, yp0, secant, d1, d2, sigma), and
  // the piece rebuilt from a form and those fields. A saved spline is
  // restored this way, not refitted, so that it evaluates to the same bits.
  static constexpr std::size_t field_count = 8;
  static constexpr std::array<const char*, field_count> field_names = {
      "x0", "h", "y0", "yp0", "secant", "d1", "d2", "sigma"};
  std::array<double, field_count> fields() const {
    return {x0_, h_, y0_, yp0_, secant_, d1_, d2_, sigma_};
  }
  static TensionPiece from_fields(const Form& form, const std::array<double, field_count>& f) {
    return TensionPiece(form, f);
  }

  double value(double x) const;
  double first_derivative(double x) const;
  double second_derivative(double x) const;
  // S''' in the form symmetric about the middle of the interval (see the
  // source), accurate to a few ulps of its largest size on the interval.
  double third_derivative(double x) const;

  // Two abscissas, x[0] in a and x[1] in b. When both pieces have the
  // exponential form, the four exponentials are called back to back and the
  // formulas around them run on both lanes at once, so that the long chain
  // of one evaluation (a division, an exponential, a division) overlaps with
  // the other's. Otherwise each lane is a single evaluation.
  static Pair value_pair(const TensionPiece& a, const TensionPiece& b, Pair x);
  static Pair first_derivative_pair(const TensionPiece& a, const TensionPiece& b, Pair x);
  static Pair second_derivative_pair(const TensionPiece& a, const TensionPiece& b, Pair x);
  static Pair third_derivative_pair(const TensionPiece& a, const TensionPiece& b, Pair x);

  // The integral of the piece from x0 to x, in closed form. Small and
  // moderate tensions integrate in a form symmetric about the middle of the
  // interval, whose coefficients (functions of sigma alone) the primitive
  // holds; they are 0 for the other forms.
  struct Primitive {
    double c_even;       // (d1 + d2) / (2 sigma sinh(sigma/2))
    double c_odd;        // (d2 - d1) / (2 (sigma coshm(sigma/2) - 2 sinhm(sigma/2)))
    double half_sinhm;   // sinhm(sigma/2)
    double half_coshm;   // coshm(sigma/2)
    double half_coshmm;  // coshmm(sigma/2)
  };
  Primitive primitive() const;
  double antiderivative(const Primitive& primitive, double x) const;
  double antiderivative(double x) const { return antiderivative(primitive(), x); }
  // The n-fold integral from x0 (see RepeatedPiece), in the forms the
  // antiderivative uses: the cubic's powers, the symmetric form's modified
  // hyperbolic functions of higher order, the exponential form's
  // exponentials less their Taylor terms.
  double repeated_integral(const Primitive& primitive, int n, double x) const;

  const Form& form() const { return form_; }
  double x0() const { return x0_; }
  double h() const { return h_; }
  double y0() const { return y0_; }
  double yp0() const { return yp0_; }
  double secant() const { return secant_; }
  // secant - yp0
  double d1() const { return d1_; }
  // yp1 - secant
  double d2() const { return d2_; }
  double sigma() const { return sigma_; }

 private:
  TensionPiece(const Form& form, const std::array<double, field_count>& f)
      : form_(form),
        x0_(f[0]),
        h_(f[1]),
        y0_(f[2]),
        yp0_(f[3]),
        secant_(f[4]),
        d1_(f[5]),
        d2_(f[6]),
        sigma_(f[7]) {}

  // The local coordinates of an abscissa: u = x - x0, b2 = u / h (0 at the
  // left knot, 1 at the right one), b1 = 1 - b2.
  struct Local {
    double u;
    double b1;
    double b2;
  };
  Local local(double x) const;

  template <class Paired, class AtForm>
  double through_form(double x, Paired exponential_pair, AtForm at_form) const;
  double value(const Steep& form, double x) const;
  double first_derivative(const Steep& form, double x) const;
  double second_derivative(const Steep& form, double x) const;
  double third_derivative(const Steep& form, double x) const;

  double value(const Cubic&, const Local& at) const;
  double value(const Hyperbolic& form, const Local& at) const;
  double first_derivative(const Cubic&, const Local& at) const;
  double first_derivative(const Hyperbolic& form, const Local& at) const;
  double second_derivative(const Cubic&, const Local& at) const;
  double second_derivative(const Hyperbolic& form, const Local& at) const;
  double third_derivative(const Cubic&, const Local& at) const;
  double third_derivative(const Hyperbolic& form, const Local& at) const;
  bool symmetric_integral() const;
  double cubic_antiderivative(const Local& at) const;
  double symmetric_antiderivative(const Primitive& f, const Local& at) const;
  double exponential_antiderivative(const Exponential& form, const Local& at) const;
  double cubic_repeated(int n, const Local& at) const;
  double symmetric_repeated(const Primitive& f, int n, const Local& at) const;
  double exponential_repeated(const Exponential& form, int n, const Local& at) const;

  Form form_;
  double x0_;
  double h_;
  double y0_;
  double yp0_;
  double secant_;
  double d1_;
  double d2_;
  double sigma_;
};

static_assert(PairedPiece<TensionPiece>);
static_assert(RepeatedPiece<TensionPiece>);
static_assert(FieldList<TensionPiece>);

}  // namespace velarix::tension
