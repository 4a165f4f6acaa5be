#include "tension/piece.hpp"

#include <cmath>

namespace velarix::tension {
namespace {

// Coefficients of the rational approximation p(z) / q(z) to
// (sinh(sqrt z) - sqrt z) / z^(3/2) on [0, 0.25], accurate far below double
// precision. q is monic (Q4 = 1).
constexpr double P1 = -351754.9648081514;
constexpr double P2 = -11561.443576500522;
constexpr double P3 = -163.72585752598383;
constexpr double P4 = -0.789474443963537;
constexpr double Q1 = -2110529.7888489086;
constexpr double Q2 = 36157.827983443196;
constexpr double Q3 = -277.7110814206028;

double p(double z) { return ((P4 * z + P3) * z + P2) * z + P1; }
double q(double z) { return ((z + Q3) * z + Q2) * z + Q1; }

// The fields of two pieces of the exponential form, one per lane.
struct ExponentialLanes {
  ExponentialLanes(const TensionPiece& a, const TensionPiece& b)
      : ExponentialLanes(a, b, *std::get_if<TensionPiece::Exponential>(&a.form()),
                         *std::get_if<TensionPiece::Exponential>(&b.form())) {}
  ExponentialLanes(const TensionPiece& a, const TensionPiece& b,
                   const TensionPiece::Exponential& fa, const TensionPiece::Exponential& fb)
      : x0{a.x0(), b.x0()},
        h{a.h(), b.h()},
        y0{a.y0(), b.y0()},
        secant{a.secant(), b.secant()},
        d1{a.d1(), b.d1()},
        d2{a.d2(), b.d2()},
        sigma{a.sigma(), b.sigma()},
        ems{fa.ems, fb.ems},
        tm{fa.tm, fb.tm},
        e{fa.e, fb.e} {}
  Pair x0, h, y0, secant, d1, d2, sigma, ems, tm, e;
};

// The local coordinates u = x - x0, b2 = u / h, b1 = 1 - b2 of both lanes
// and e1 = exp(-sigma b1), e2 = exp(-sigma b2). With `both` false the second
// lane repeats the first (a single evaluation), and its exponentials are not
// called again.
struct ExponentialTerms {
  Pair u, b1, b2, e1, e2;
};
[[gnu::always_inline]] inline ExponentialTerms exponential_terms(const ExponentialLanes& f, Pair x,
                                                                 bool both) {
  const Pair u = x - f.x0;
  const Pair b2 = u / f.h;
  const Pair b1 = 1 - b2;
  const Pair a1 = -f.sigma * b1;
  const Pair a2 = -f.sigma * b2;
  const double e1 = std::exp(a1[0]);
  const double e2 = std::exp(a2[0]);
  if (!both) return {u, b1, b2, Pair{e1, e1}, Pair{e2, e2}};
  return {u, b1, b2, Pair{e1, std::exp(a1[1])}, Pair{e2, std::exp(a2[1])}};
}

// The exponential form's formulas on both lanes. A single evaluation runs
// them too (with `both` false): which NaN an operation returns depends on
// its operand order, which is the compiler's choice, so single and paired
// evaluation share one compiled function to agree on every bit.
//
// With e1 = exp(-sigma b1) and e2 = exp(-sigma b2) the curve about the chord is
// S = y0 + s u + h [(d1 + d2) tm ((ems + 1) - e1 - e2)
//                   + sigma (d1 (e2 + (e1 - 2) ems - b1 tm^2) + d2 (e1 + (e2 - 2) ems - b2 tm^2))]
//                  / (sigma e);
// both exponents are <= 0 inside the interval, so a large tension cannot overflow.
[[gnu::noinline]] Pair exponential_value(const TensionPiece& a, const TensionPiece& b, Pair x,
                                         bool both) {
  const ExponentialLanes f(a, b);
  const auto [u, b1, b2, e1, e2] = exponential_terms(f, x, both);
  const Pair tm2 = f.tm * f.tm;
  const Pair bend = (f.d1 + f.d2) * f.tm * ((f.ems + 1) - e1 - e2) +
                    f.sigma * (f.d1 * (e2 + (e1 - 2) * f.ems - b1 * tm2) +
                               f.d2 * (e1 + (e2 - 2) * f.ems - b2 * tm2));
  return (f.y0 + f.secant * u) + f.h * bend / (f.sigma * f.e);
}

[[gnu::noinline]] Pair exponential_first_derivative(const TensionPiece& a, const TensionPiece& b,
                                                    Pair x, bool both) {
  const ExponentialLanes f(a, b);
  const auto [u, b1, b2, e1, e2] = exponential_terms(f, x, both);
  return f.secant + (f.tm * ((f.d1 + f.d2) * (e2 - e1) + f.tm * (f.d1 - f.d2)) +
                     f.sigma * (f.d1 * (e1 * f.ems - e2) + f.d2 * (e1 - e2 * f.ems))) /
                        f.e;
}

[[gnu::noinline]] Pair exponential_second_derivative(const TensionPiece& a, const TensionPiece& b,
                                                     Pair x, bool both) {
  const ExponentialLanes f(a, b);
  const auto [u, b1, b2, e1, e2] = exponential_terms(f, x, both);
  return f.sigma *
         (f.sigma * (f.d1 * (e2 + e1 * f.ems) + f.d2 * (e1 + e2 * f.ems)) -
          (f.d1 + f.d2) * (e1 + e2) * f.tm) /
         (f.h * f.e);
}

// 2 exp(-sigma/2) (sigma cosh(sigma/2) - 2 sinh(sigma/2)), the scaled
// denominator of the bend's antisymmetric part (below). It equals
// E = sigma (ems + 1) - 2 tm, whose terms cancel for a moderate tension;
// there, with y = sigma/2 and tm = 2 exp(-y) sinh(y), it is taken as
// tm (sigma coshm(y) - 2 sinhm(y)) / (y + sinhm(y)), where nothing cancels.
double odd_denominator(double sigma, double ems, double tm) {
  if (sigma <= odd_part_rational_up_to) {
    const double y = sigma / 2;
    const ModifiedHyperbolics half = modified_hyperbolics(y);
    return tm * (sigma * half.coshm - 2 * half.sinhm) / (y + half.sinhm);
  }
  return sigma * (ems + 1) - 2 * tm;
}

// S''' split into the bend's part symmetric about the middle of the
// interval (as if d1 = d2) and its antisymmetric part: with xi = b2 - 1/2,
//   S''' = (sigma/h)^2 / 2 [(d1 + d2) sinh(sigma xi) / sinh(sigma/2)
//          + (d2 - d1) sigma cosh(sigma xi) / (sigma cosh(sigma/2) - 2 sinh(sigma/2))].
// Scaled by 2 exp(-sigma/2), sinh(sigma xi) is e1 - e2, cosh(sigma xi) is
// e1 + e2 and sinh(sigma/2) is tm. S'' differentiated term by term mixes the
// parts: where d1 and d2 nearly agree (data near a quadratic) the result
// would be the small difference of terms of the size of d1.
[[gnu::noinline]] Pair exponential_third_derivative(const TensionPiece& a, const TensionPiece& b,
                                                    Pair x, bool both) {
  const ExponentialLanes f(a, b);
  const auto [u, b1, b2, e1, e2] = exponential_terms(f, x, both);
  // A function of the piece's tension alone: lanes of equal tension (every
  // pair of a uniform tension) share one.
  const double odd_a = odd_denominator(f.sigma[0], f.ems[0], f.tm[0]);
  const bool same =
      !both || (f.sigma[1] == f.sigma[0] && f.ems[1] == f.ems[0] && f.tm[1] == f.tm[0]);
  const Pair odd = {odd_a, same ? odd_a : odd_denominator(f.sigma[1], f.ems[1], f.tm[1])};
  return f.sigma * f.sigma *
         ((f.d1 + f.d2) * (e1 - e2) * odd + (f.d2 - f.d1) * f.sigma * (e1 + e2) * f.tm) /
         ((2 * f.tm * odd) * (f.h * f.h));
}

bool exponential(const TensionPiece& piece) {
  return std::holds_alternative<TensionPiece::Exponential>(piece.form());
}

}  // namespace

ModifiedHyperbolics modified_hyperbolics(double x) {
  const double ax = std::fabs(x);
  const double xs = x * x;
  if (ax <= hyperbolic_up_to) {
    // sinh(x) - x = x^3 r(x^2), which keeps the sign of x.
    const double sinhm = (x * xs) * (p(xs) / q(xs));
    // cosh(x) - 1 = 2 sinh(x/2)^2; with f = sinhm(x/2) / (x/2) this gives
    // coshmm = (x^2 / 2) f (f + 2) without subtracting x^2 / 2.
    const double xsd4 = 0.25 * xs;
    const double xsd2 = xsd4 + xsd4;
    const double f = xsd4 * (p(xsd4) / q(xsd4));
    const double coshmm = (xsd2 * f) * (f + 2);
    const double coshm = xsd2 + coshmm;
    return {sinhm, coshm, coshmm};
  }
  // Here the subtractions lose only a few bits, and a huge x overflows to inf
  // rather than producing NaN.
  const double ex = std::exp(ax);
  double sinhm = -((ax + (ax + 1 / ex)) - ex) / 2;
  if (x < 0) sinhm = -sinhm;
  const double coshm = (ex + (1 / ex - 2)) / 2;
  const double coshmm = coshm - xs / 2;
  return {sinhm, coshm, coshmm};
}

ScaledHyperbolics scaled_hyperbolics(double sigma) {
  const double ems = std::exp(-sigma);
  const double tm = 1 - ems;
  return {ems, tm, tm * tm};
}

TensionPiece::TensionPiece(double x0, double h, double y0, double y1, double yp0, double yp1,
                           double tension)
    : TensionPiece(x0, h, y0, y1, yp0, yp1, tension, form_for(tension)) {}

TensionPiece::TensionPiece(double x0, double h, double y0, double y1, double yp0, double yp1,
                           double tension, const Form& form)
    : TensionPiece(x0, x0 + h, h, y0, y1, yp0, yp1, tension, form) {}

TensionPiece::TensionPiece(double x0, double x1, double h, double y0, double y1, double yp0,
                           double yp1, double tension, const Form& form)
    : form_(form), x0_(x0), h_(h), y0_(y0), yp0_(yp0) {
  secant_ = (y1 - y0) / h;
  d1_ = secant_ - yp0;
  d2_ = yp1 - secant_;
  sigma_ = std::fabs(tension);
  const auto* exponential = std::get_if<Exponential>(&form_);
  if (exponential != nullptr && sigma_ > steep_above) {
    form_ = Steep{exponential->ems, exponential->tm, exponential->e, x1};
  }
}

TensionPiece::Form TensionPiece::form_for(double tension) {
  const double sigma = std::fabs(tension);
  if (sigma < cubic_below) return Cubic{};
  if (sigma <= hyperbolic_up_to) {
    const ModifiedHyperbolics mh = modified_hyperbolics(sigma);
    return Hyperbolic{mh.sinhm, mh.coshm, sigma * mh.sinhm - 2 * mh.coshmm};
  }
  // A NaN tension lands here too and makes every result NaN.
  const auto [ems, tm, scm] = scaled_hyperbolics(sigma);
  return Exponential{ems, tm, tm * (sigma * (ems + 1) - 2 * tm)};
}

TensionPiece::Local TensionPiece::local(double x) const {
  const double u = x - x0_;
  const double b2 = u / h_;
  return {u, 1 - b2, b2};
}

// One abscissa through the piece's form: the exponential one through its
// paired code in both lanes (as the batches run it, so both give the same
// bits), the steep one in absolute coordinates, the others in local ones.
template <class Paired, class AtForm>
double TensionPiece::through_form(double x, Paired exponential_pair, AtForm at_form) const {
  if (exponential(*this)) return exponential_pair(*this, *this, Pair{x, x}, false)[0];
  if (const auto* form = std::get_if<Steep>(&form_)) return at_form(*form, x);
  const Local at = local(x);
  if (const auto* form = std::get_if<Hyperbolic>(&form_)) return at_form(*form, at);
  return at_form(Cubic{}, at);
}

double TensionPiece::value(double x) const {
  return through_form(x, exponential_value, [this](const auto& f, const auto& at) { return value(f, at); });
}

double TensionPiece::first_derivative(double x) const {
  return through_form(x, exponential_first_derivative,
                      [this](const auto& f, const auto& at) { return first_derivative(f, at); });
}

double TensionPiece::second_derivative(double x) const {
  return through_form(x, exponential_second_derivative,
                      [this](const auto& f, const auto& at) { return second_derivative(f, at); });
}

double TensionPiece::third_derivative(double x) const {
  return through_form(x, exponential_third_derivative,
                      [this](const auto& f, const auto& at) { return third_derivative(f, at); });
}

// Two abscissas, x[0] in a and x[1] in b: through the exponential form's
// paired code when both pieces take it, each piece alone otherwise.
namespace {
template <class Paired, class Single>
Pair in_lanes(const TensionPiece& a, const TensionPiece& b, Pair x, Paired paired, Single single) {
  if (exponential(a) && exponential(b)) return paired(a, b, x, true);
  return Pair{single(a, x[0]), single(b, x[1])};
}
}  // namespace

Pair TensionPiece::value_pair(const TensionPiece& a, const TensionPiece& b, Pair x) {
  return in_lanes(a, b, x, exponential_value, [](const TensionPiece& p, double t) { return p.value(t); });
}

Pair TensionPiece::first_derivative_pair(const TensionPiece& a, const TensionPiece& b, Pair x) {
  return in_lanes(a, b, x, exponential_first_derivative,
                  [](const TensionPiece& p, double t) { return p.first_derivative(t); });
}

Pair TensionPiece::second_derivative_pair(const TensionPiece& a, const TensionPiece& b, Pair x) {
  return in_lanes(a, b, x, exponential_second_derivative,
                  [](const TensionPiece& p, double t) { return p.second_derivative(t); });
}

Pair TensionPiece::third_derivative_pair(const TensionPiece& a, const TensionPiece& b, Pair x) {
  return in_lanes(a, b, x, exponential_third_derivative,
                  [](const TensionPiece& p, double t) { return p.third_derivative(t); });
}

// The exponential form's formulas with b1 taken from the right knot: near
// x1 both u / h and (x1 - x) / h are exact to a rounding of themselves, so
// exp(-sigma b1) keeps its relative accuracy however large sigma is.
double TensionPiece::value(const Steep& form, double x) const {
  const auto [ems, tm, e, x1] = form;
  const double u = x - x0_;
  const double b2 = u / h_;
  const double b1 = (x1 - x) / h_;
  const double e1 = std::exp(-sigma_ * b1);
  const double e2 = std::exp(-sigma_ * b2);
  const double tm2 = tm * tm;
  const double bend = (d1_ + d2_) * tm * ((ems + 1) - e1 - e2) +
                      sigma_ * (d1_ * (e2 + (e1 - 2) * ems - b1 * tm2) +
                                d2_ * (e1 + (e2 - 2) * ems - b2 * tm2));
  return (y0_ + secant_ * u) + h_ * bend / (sigma_ * e);
}

double TensionPiece::first_derivative(const Steep& form, double x) const {
  const auto [ems, tm, e, x1] = form;
  const double e1 = std::exp(-sigma_ * ((x1 - x) / h_));
  const double e2 = std::exp(-sigma_ * ((x - x0_) / h_));
  return secant_ + (tm * ((d1_ + d2_) * (e2 - e1) + tm * (d1_ - d2_)) +
                    sigma_ * (d1_ * (e1 * ems - e2) + d2_ * (e1 - e2 * ems))) /
                       e;
}

double TensionPiece::second_derivative(const Steep& form, double x) const {
  const auto [ems, tm, e, x1] = form;
  const double e1 = std::exp(-sigma_ * ((x1 - x) / h_));
  const double e2 = std::exp(-sigma_ * ((x - x0_) / h_));
  return sigma_ *
         (sigma_ * (d1_ * (e2 + e1 * ems) + d2_ * (e1 + e2 * ems)) - (d1_ + d2_) * (e1 + e2) * tm) /
         (h_ * e);
}

double TensionPiece::third_derivative(const Steep& form, double x) const {
  const auto [ems, tm, e, x1] = form;
  const double e1 = std::exp(-sigma_ * ((x1 - x) / h_));
  const double e2 = std::exp(-sigma_ * ((x - x0_) / h_));
  const double odd = odd_denominator(sigma_, ems, tm);
  return sigma_ * sigma_ *
         ((d1_ + d2_) * (e1 - e2) * odd + (d2_ - d1_) * sigma_ * (e1 + e2) * tm) /
         ((2 * tm * odd) * (h_ * h_));
}

// Hermite cubic, written through d1 = s - yp0 and d2 = yp1 - s:
// S = y0 + u (yp0 + b2 (d1 + b1 (d1 - d2))).
double TensionPiece::value(const Cubic&, const Local& at) const {
  const auto [u, b1, b2] = at;
  return y0_ + u * (yp0_ + b2 * (d1_ + b1 * (d1_ - d2_)));
}

double TensionPiece::first_derivative(const Cubic&, const Local& at) const {
  const auto [u, b1, b2] = at;
  return yp0_ + b2 * ((d1_ + d2_) - 3 * b1 * (d2_ - d1_));
}

double TensionPiece::second_derivative(const Cubic&, const Local& at) const {
  const auto [u, b1, b2] = at;
  return ((d1_ + d2_) + 3 * (d2_ - d1_) * (b2 - b1)) / h_;
}

// The cubic's S''' is constant: 6 (d2 - d1) / h^2.
double TensionPiece::third_derivative(const Cubic&, const Local&) const {
  return 6 * (d2_ - d1_) / (h_ * h_);
}

namespace {

// What the symmetric form's value and first two derivatives start from: the
// tension, the form's functions of it, z = sigma b2 and the modified
// hyperbolic functions of z.
struct AtZ {
  double sigma, sm, cm, e, z, sm2, cm2;
};

AtZ at_z(double sigma, const TensionPiece::Hyperbolic& form, double b2) {
  const double z = sigma * b2;
  const ModifiedHyperbolics mh2 = modified_hyperbolics(z);
  return {sigma, form.sinhm, form.coshm, form.e, z, mh2.sinhm, mh2.coshm};
}

}  // namespace

// With z = sigma b2, sinh(z) = z + sm2 and cosh(z) = 1 + cm2; the curve is
// S = y0 + yp0 u + h [(d1 + d2)(cm sm2 - sm cm2) + d1 sigma (cm cm2 - (sigma + sm) sm2)]
//                   / (sigma e),
// in which only the modified functions occur, so nothing cancels as sigma -> 0.
double TensionPiece::value(const Hyperbolic& form, const Local& at) const {
  const auto [sigma, sm, cm, e, z, sm2, cm2] = at_z(sigma_, form, at.b2);
  const double bend =
      (d1_ + d2_) * (cm * sm2 - sm * cm2) + d1_ * sigma * (cm * cm2 - (sigma + sm) * sm2);
  return (y0_ + yp0_ * at.u) + h_ * bend / (sigma * e);
}

double TensionPiece::first_derivative(const Hyperbolic& form, const Local& at) const {
  const auto [sigma, sm, cm, e, z, sm2, cm2] = at_z(sigma_, form, at.b2);
  return yp0_ + ((d1_ + d2_) * (cm * cm2 - sm * (z + sm2)) +
                 d1_ * sigma * (cm * (z + sm2) - (sigma + sm) * cm2)) /
                    e;
}

double TensionPiece::second_derivative(const Hyperbolic& form, const Local& at) const {
  const auto [sigma, sm, cm, e, z, sm2, cm2] = at_z(sigma_, form, at.b2);
  return sigma *
         ((d1_ + d2_) * (cm * (z + sm2) - sm * (cm2 + 1)) +
          d1_ * sigma * (cm * (cm2 + 1) - (sigma + sm) * (z + sm2))) /
         (h_ * e);
}

// The split of exponential_third_derivative with the unscaled functions:
// sinh(sigma/2) = sqrt(coshm(sigma) / 2) and sigma cosh(sigma/2) -
// 2 sinh(sigma/2) = e / (2 sinh(sigma/2)), so that with z = sigma xi
//   S''' = sigma^2 [(d1 + d2) sinh(z) e + (d2 - d1) sigma cosh(z) coshm(sigma)]
//          / (2 sinh(sigma/2) e h^2).
double TensionPiece::third_derivative(const Hyperbolic& form, const Local& at) const {
  const double sigma = sigma_;
  const auto [sm, cm, e] = form;
  const double z = sigma * (at.b2 - 0.5);
  const ModifiedHyperbolics mhz = modified_hyperbolics(z);
  const double half_sinh = std::sqrt(cm / 2);
  return sigma * sigma *
         ((d1_ + d2_) * (z + mhz.sinhm) * e + (d2_ - d1_) * sigma * (1 + mhz.coshm) * cm) /
         ((2 * half_sinh * e) * (h_ * h_));
}

}  // namespace velarix::tension
