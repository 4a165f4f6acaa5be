// The integral of a tension piece from its left knot, in each of the three
// forms of the piece. Every term of a form integrates exactly: hyperbolic
// functions into hyperbolic functions, exponentials into exponentials, so
// each form keeps the numerical properties of the value it integrates (the
// modified functions for small tension, only negative exponents for large).
#include <array>
#include <cmath>
#include <variant>

#include "tension/piece.hpp"

#include "repeated.hpp"

namespace velarix::tension {
namespace {

// Up to this tension a piece is integrated in the symmetric form (below),
// beyond it in the exponential form. Integration adds an order to the
// cancellation of the exponential form as sigma falls (its terms are of order
// sigma, the result of order sigma^5 / 60): tens of ulps at sigma = 1. The
// hyperbolic form, integrated term by term, loses a few ulps for small sigma
// and more above 1, where its terms grow like exp(2 sigma) against a result
// like exp(sigma). At 8 the exponential form is within an ulp or two and the
// symmetric one still is.
constexpr double symmetric_up_to = 8;

// The modified hyperbolic functions by their Taylor series, which has only
// positive terms and so is accurate to an ulp or two for every z up to
// symmetric_up_to / 2; the exponential branch of `modified_hyperbolics`
// loses a factor of up to 50 to cancellation just above 0.5. With 16 terms
// the first one left out is below 2^-60 of the sum at z = 4.
constexpr int series_terms = 16;

// 1 / n! for n = 0 .. 2 * series_terms + 3.
constexpr std::array<double, 2 * series_terms + 4> inverse_factorials = [] {
  std::array<double, 2 * series_terms + 4> f{};
  double value = 1;
  for (int n = 0; n < static_cast<int>(f.size()); ++n) {
    if (n > 0) value /= n;
    f[n] = value;
  }
  return f;
}();

// sinhm = z^3 sum_k z^(2k) / (2k + 3)!, coshmm = z^4 sum_k z^(2k) / (2k + 4)!.
ModifiedHyperbolics hyperbolic_series(double z) {
  const double zz = z * z;
  double odd = 0;
  double even = 0;
  for (int k = series_terms - 1; k >= 0; --k) {
    odd = inverse_factorials[2 * k + 3] + zz * odd;
    even = inverse_factorials[2 * k + 4] + zz * even;
  }
  const double coshmm = (zz * zz) * even;
  return {(z * zz) * odd, zz / 2 + coshmm, coshmm};
}

// The rational approximation where it applies (|z| <= 0.5), the series
// beyond.
ModifiedHyperbolics modified_functions(double z) {
  return std::fabs(z) <= hyperbolic_up_to ? modified_hyperbolics(z) : hyperbolic_series(z);
}

// Up to this |z| the modified function of any order below is taken from its
// series, whose terms only add; beyond it from cosh or sinh, which then
// exceeds the Taylor terms subtracted by a factor of 3 or more.
constexpr double series_up_to = 8;
// Terms of that series: at |z| = 8 the first left out is below 2^-90 of the
// first kept.
constexpr int order_series_terms = 30;

// R_m(z) = sum_(i >= 0) z^(m + 2i) / (m + 2i)!: cosh or sinh less its Taylor
// polynomial of degree m - 1, so that R_m' = R_(m-1) and the integral of R_m
// from 0 is R_(m+1). R_2 is coshm, R_3 sinhm, R_4 coshmm.
double modified_of_order(int m, double z) {
  if (std::fabs(z) <= series_up_to) {
    const double zz = z * z;
    double sum = 1;
    for (int i = order_series_terms; i >= 1; --i) {
      sum = 1 + zz / ((m + 2 * i - 1) * (m + 2 * i)) * sum;
    }
    double lead = inverse_factorial[m];
    for (int k = 0; k < m; ++k) lead *= z;
    return lead * sum;
  }
  double polynomial = 0;
  for (int k = m - 2; k >= 0; k -= 2) polynomial += std::pow(z, k) * inverse_factorial[k];
  return (m % 2 == 0 ? std::cosh(z) : std::sinh(z)) - polynomial;
}

// The n-fold integral over b2 from 0 of R_m(sigma (b2 - 1/2)): the function
// of order m + n less its Taylor terms at z0 = -sigma / 2, over sigma^n,
//   (R_(m+n)(z) - sum_(j < n) R_(m+n-j)(z0) (z - z0)^j / j!) / sigma^n.
double integrated_modified(int m, int n, double sigma, double b2) {
  const double z0 = -sigma / 2;
  const double z = sigma * (b2 - 0.5);
  double at_start[highest_antiderivative] = {};
  for (int j = 0; j < n; ++j) at_start[j] = modified_of_order(m + n - j, z0);
  return (modified_of_order(m + n, z) - taylor(at_start, n, sigma * b2)) / std::pow(sigma, n);
}

}  // namespace

bool TensionPiece::symmetric_integral() const {
  return !std::holds_alternative<Cubic>(form_) && sigma_ <= symmetric_up_to;
}

TensionPiece::Primitive TensionPiece::primitive() const {
  if (!symmetric_integral()) return {0, 0, 0, 0, 0};
  const double sigma = sigma_;
  const ModifiedHyperbolics half = modified_functions(sigma / 2);
  const double c_even = (d1_ + d2_) / (2 * (sigma * (sigma / 2 + half.sinhm)));
  const double c_odd = (d2_ - d1_) / (2 * (sigma * half.coshm - 2 * half.sinhm));
  return {c_even, c_odd, half.sinhm, half.coshm, half.coshmm};
}

double TensionPiece::antiderivative(const Primitive& f, double x) const {
  // A steep piece measures b1 from its right knot, as its value does, so
  // that exp(-sigma b1) keeps its accuracy there.
  if (const auto* steep = std::get_if<Steep>(&form_)) {
    const double u = x - x0_;
    const Local at{u, (steep->x1 - x) / h_, u / h_};
    return exponential_antiderivative(Exponential{steep->ems, steep->tm, steep->e}, at);
  }
  const Local at = local(x);
  if (const auto* form = std::get_if<Exponential>(&form_)) {
    if (!symmetric_integral()) return exponential_antiderivative(*form, at);
  }
  if (std::holds_alternative<Cubic>(form_)) return cubic_antiderivative(at);
  return symmetric_antiderivative(f, at);
}

// S = y0 + u (yp0 + b2 (d1 + b1 (d1 - d2))) with u = h b2, b1 = 1 - b2, so
//   int_x0^x S = h b2 [y0 + h b2 (yp0 / 2 + b2 (d1 / 3 + (d1 - d2) (1/3 - b2 / 4)))].
double TensionPiece::cubic_antiderivative(const Local& at) const {
  const auto [u, b1, b2] = at;
  const double inner = yp0_ / 2 + b2 * (d1_ / 3 + (d1_ - d2_) * (1.0 / 3 - b2 / 4));
  return u * (y0_ + u * inner);
}

// With E1 = exp(-sigma b1), E2 = exp(-sigma b2), the terms of the value
// integrate over b2 to
//   e2 -> (1 - E2) / sigma,   e1 -> (E1 - ems) / sigma,
//   b1 -> b2 (1 + b1) / 2,    b2 -> b2^2 / 2,
// which gives
//   int_x0^x S = u (y0 + s u / 2) + h^2 B / (sigma e),
//   B = (d1 + d2) tm ((1 + ems) b2 - (tm + E1 - E2) / sigma)
//     + d1 ((1 - E2) + ems (E1 - ems) - sigma b2 (2 ems + tm^2 (1 + b1) / 2))
//     + d2 ((E1 - ems) + ems (1 - E2) - sigma b2 (2 ems + tm^2 b2 / 2)).
// Only negative exponents occur, and b1 and b2 enter symmetrically, so a
// large tension is as accurate near the right knot as near the left one:
// the boundary layers, where E1 or E2 is not negligible, are integrated by
// the exponentials themselves, and their errors are damped by 1 / sigma.
double TensionPiece::exponential_antiderivative(const Exponential& form, const Local& at) const {
  const auto [u, b1, b2] = at;
  const double sigma = sigma_;
  const auto [ems, tm, e] = form;
  const double e1 = std::exp(-sigma * b1);
  const double e2 = std::exp(-sigma * b2);
  const double tm2 = tm * tm;
  const double rise_left = 1 - e2;
  const double rise_right = e1 - ems;
  const double both = (d1_ + d2_) * tm * ((1 + ems) * b2 - (tm + (e1 - e2)) / sigma);
  const double left =
      d1_ * ((rise_left + ems * rise_right) - sigma * b2 * (2 * ems + tm2 * ((1 + b1) / 2)));
  const double right =
      d2_ * ((rise_right + ems * rise_left) - sigma * b2 * (2 * ems + tm2 * (b2 / 2)));
  return u * (y0_ + secant_ * (u / 2)) + h_ * h_ * (both + left + right) / (sigma * e);
}

// About the middle of the interval, with z = sigma (b2 - 1/2), the piece is
// the chord plus two tension functions that vanish at both knots,
//   even = coshm(z) - coshm(sigma/2),  odd = sinhm(z) - (2 b2 - 1) sinhm(sigma/2),
//   S = y0 + s u + h (c_even even + c_odd odd),
//   c_even = (d1 + d2) / (2 sigma sinh(sigma/2)),
//   c_odd = (d2 - d1) / (2 (sigma coshm(sigma/2) - 2 sinhm(sigma/2))),
// whose integrals over b2 are again modified functions:
//   int even = (sinhm(z) + sinhm(sigma/2)) / sigma - b2 coshm(sigma/2),
//   int odd = (coshmm(z) - coshmm(sigma/2)) / sigma + b2 b1 sinhm(sigma/2).
// Each function is of the order of its own coefficient's inverse, so only
// a small factor is lost to cancellation for moderate sigma.
double TensionPiece::symmetric_antiderivative(const Primitive& f, const Local& at) const {
  const auto [u, b1, b2] = at;
  const double sigma = sigma_;
  const ModifiedHyperbolics mid = modified_functions(sigma * (b2 - 0.5));
  const double even = (mid.sinhm + f.half_sinhm) / sigma - b2 * f.half_coshm;
  const double odd = (mid.coshmm - f.half_coshmm) / sigma + (b2 * b1) * f.half_sinhm;
  return u * (y0_ + secant_ * (u / 2)) + h_ * h_ * (f.c_even * even + f.c_odd * odd);
}

double TensionPiece::repeated_integral(const Primitive& f, int n, double x) const {
  if (n == 1) return antiderivative(f, x);
  if (const auto* steep = std::get_if<Steep>(&form_)) {
    const double u = x - x0_;
    const Local at{u, (steep->x1 - x) / h_, u / h_};
    return exponential_repeated(Exponential{steep->ems, steep->tm, steep->e}, n, at);
  }
  const Local at = local(x);
  if (const auto* form = std::get_if<Exponential>(&form_)) {
    if (!symmetric_integral()) return exponential_repeated(*form, n, at);
  }
  if (std::holds_alternative<Cubic>(form_)) return cubic_repeated(n, at);
  return symmetric_repeated(f, n, at);
}

// S = y0 + h (yp0 b2 + (2 d1 - d2) b2^2 + (d2 - d1) b2^3), integrated n
// times over x as h^n times over b2.
double TensionPiece::cubic_repeated(int n, const Local& at) const {
  const double c[4] = {y0_, h_ * yp0_, h_ * (2 * d1_ - d2_), h_ * (d2_ - d1_)};
  return std::pow(h_, n) * integrated_powers(c, 4, n, at.b2);
}

// The symmetric form term by term (see symmetric_antiderivative): the chord
// y0 + s h b2, and the two tension functions
//   even = R_2(z) - R_2(sigma/2),  odd = R_3(z) - (2 b2 - 1) R_3(sigma/2),
// whose functions of z integrate to those of higher order
// (integrated_modified) and whose constants and multiples of b2 to powers.
double TensionPiece::symmetric_repeated(const Primitive& f, int n, const Local& at) const {
  const double b2 = at.b2;
  const double sigma = sigma_;
  const double t_n = std::pow(b2, n) * inverse_factorial[n];
  const double t_n1 = t_n * (b2 / (n + 1));
  const double even = integrated_modified(2, n, sigma, b2) - f.half_coshm * t_n;
  const double odd = integrated_modified(3, n, sigma, b2) - f.half_sinhm * (2 * t_n1 - t_n);
  const double chord = y0_ * t_n + (secant_ * h_) * t_n1;
  return std::pow(h_, n) * (chord + h_ * (f.c_even * even + f.c_odd * odd));
}

// The value of the exponential form with its terms collected,
//   S = y0 + s u + h (K0 + K1 b1 + K2 b2 + A1 E1 + A2 E2) / (sigma e),
//   K0 = (d1 + d2) (tm (1 + ems) - 2 sigma ems),  K1 = -sigma tm^2 d1,  K2 = -sigma tm^2 d2,
//   A1 = sigma (d1 ems + d2) - (d1 + d2) tm,  A2 = sigma (d1 + d2 ems) - (d1 + d2) tm,
// integrated n times over b2: the exponentials E2 = exp(-sigma b2) and
// E1 = exp(-sigma b1) to
//   (-1)^n (E2 - sum_(j < n) (-sigma b2)^j / j!) / sigma^n  (by exp_remainder),
//   (E1 - ems sum_(j < n) (sigma b2)^j / j!) / sigma^n,
// which keep only negative exponents, and the polynomial terms to powers.
double TensionPiece::exponential_repeated(const Exponential& form, int n, const Local& at) const {
  const auto [u, b1, b2] = at;
  const double sigma = sigma_;
  const auto [ems, tm, e] = form;
  const double sum = d1_ + d2_;
  const double k0 = sum * (tm * (1 + ems) - 2 * sigma * ems);
  const double k1 = -sigma * (tm * tm) * d1_;
  const double k2 = -sigma * (tm * tm) * d2_;
  const double a1 = sigma * (d1_ * ems + d2_) - sum * tm;
  const double a2 = sigma * (d1_ + d2_ * ems) - sum * tm;
  const double sigma_n = std::pow(sigma, n);
  double growth = 0;  // sum_(j < n) (sigma b2)^j / j!
  for (int j = n - 1; j >= 0; --j) growth = inverse_factorial[j] + (sigma * b2) * growth;
  const double of_e1 = (std::exp(-sigma * b1) - ems * growth) / sigma_n;
  const double of_e2 = (n % 2 == 0 ? 1.0 : -1.0) * exp_remainder(n, -sigma * b2) / sigma_n;
  const double t_n = std::pow(b2, n) * inverse_factorial[n];
  const double t_n1 = t_n * (b2 / (n + 1));
  const double terms = k0 * t_n + k1 * (t_n - t_n1) + k2 * t_n1 + a1 * of_e1 + a2 * of_e2;
  const double chord = y0_ * t_n + (secant_ * h_) * t_n1;
  return std::pow(h_, n) * (chord + h_ * terms / (sigma * e));
}

}  // namespace velarix::tension
