// Repeated integrals: the n-th antiderivative of a curve from its first knot,
// built from each piece's repeated integral from its own left knot.
//
// By Cauchy's formula the n-fold integral of S from a,
//   I_n(x) = int_a^x (x - t)^(n-1) / (n-1)! S(t) dt,
// has I_n' = I_(n-1) (I_0 = S) and vanishes at a with its first n - 1
// derivatives. Across a knot x_k the curve's F_n continues by Taylor's
// formula from the values F_1 .. F_n there:
//   F_n(x) = sum_(j < n) F_(n-j)(x_k) (x - x_k)^j / j! + I_n(x),
// I_n the piece's own from x_k; so a piece needs only its I_n in closed form.
#pragma once

#include <array>
#include <cmath>

namespace velarix {

// The deepest antiderivative served in closed form: the first is the
// integral; integrating the third once more is the fourth.
inline constexpr int highest_antiderivative = 4;

// 1 / n! for the orders and the terms the pieces' repeated integrals use.
inline constexpr int factorials_kept = 64;
inline constexpr std::array<double, factorials_kept> inverse_factorial = [] {
  std::array<double, factorials_kept> f{};
  double value = 1;
  for (int n = 0; n < factorials_kept; ++n) {
    if (n > 0) value /= n;
    f[n] = value;
  }
  return f;
}();

// Horner's rules here start from the highest term, not from 0, so that an
// infinite argument gives the limit of the highest power and not inf * 0.

// sum_(j < count) values[j] dx^j / j!, count >= 1: the Taylor part of F_n
// from the values F_n, F_(n-1), ... at a point (values[0] = F_n).
inline double taylor(const double* values, int count, double dx) {
  double sum = values[count - 1] * inverse_factorial[count - 1];
  for (int j = count - 2; j >= 0; --j) sum = values[j] * inverse_factorial[j] + dx * sum;
  return sum;
}

// The n-fold integral from 0 of sum_i c[i] t^i (i < count):
//   t^n sum_i c[i] t^i i! / (i + n)!.
inline double integrated_powers(const double* c, int count, int n, double t) {
  // i! / (i + n)! = 1 / ((i + 1) ... (i + n))
  const auto term = [n, c](int i) {
    double rising = 1;
    for (int m = 1; m <= n; ++m) rising *= i + m;
    return c[i] / rising;
  };
  double sum = term(count - 1);
  for (int i = count - 2; i >= 0; --i) sum = term(i) + t * sum;
  double power = 1;
  for (int m = 0; m < n; ++m) power *= t;
  return sum * power;
}

// Terms of exp_remainder's series: for |y| <= 2 the first left out is below
// 2^40 / 40! of the first kept.
inline constexpr int remainder_terms = 40;

// sum_(j >= n) y^j / j!, the exponential less its Taylor polynomial of degree
// n - 1: by its series, y^n / n! (1 + y / (n + 1) (1 + y / (n + 2) (...))),
// where the polynomial would cancel the exponential, by the exponential
// itself beyond.
inline double exp_remainder(int n, double y) {
  if (std::fabs(y) <= 2) {
    double series = 1;
    for (int j = n + remainder_terms; j > n; --j) series = 1 + (y / j) * series;
    double lead = inverse_factorial[n];
    for (int j = 0; j < n; ++j) lead *= y;
    return lead * series;
  }
  double polynomial = 0;
  for (int j = n - 1; j >= 0; --j) polynomial = inverse_factorial[j] + y * polynomial;
  return std::exp(y) - polynomial;
}

}  // namespace velarix
