// The integral of a tension piece from its left knot, in each of the three
// forms of the piece. Every term of a form integrates exactly: hyperbolic
// functions into hyperbolic functions, exponentials into exponentials, so
// each form keeps the numerical properties of the value it integrates (the
// modified functions for small tension, only negative exponents for large).
#include <array>
#include <cmath>
#include <variant>

#include "tension/piece.hpp"

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

}  // namespace velarix::tension
