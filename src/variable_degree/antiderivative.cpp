// The integral of a variable-degree piece from its left knot.
#include <cmath>

#include "variable_degree/piece.hpp"

#include "repeated.hpp"

namespace velarix::variable_degree {

// With t = (x - x0) / h and c = scale, the piece is
//   s = (y0 + t linear) + c (((1 - t)^k - 1) m0 + t^k m1),
// so, in x,
//   int_x0^x s = h [t (y0 + t linear / 2)
//                   + c (m0 ((1 - (1 - t)^(k+1)) / (k + 1) - t) + m1 t^(k+1) / (k + 1))].
// Each power term integrates to the next power, so the cost is the two pow
// calls of a value. The m0 term subtracts t from a quantity close to t for
// small t; the loss is relative to c m0 t, a term of the piece's own size.
double VariableDegreePiece::antiderivative(double x) const {
  const double k1 = degree_ + 1;
  const double t = (x - x0_) / h_;
  const double left = power(1 - t, k1, false);
  const double right = power(t, k1, false);
  const double chord = t * (y0_ + t * (linear_ / 2));
  const double bend = scale_ * (m0_ * ((1 - left) / k1 - t) + m1_ * (right / k1));
  return h_ * (chord + bend);
}

// The n-fold integrals from t = 0, with r_m = (k + 1) ... (k + m):
//   of 1: t^n / n!,  of t: t^(n+1) / (n+1)!,  of t^k: t^(k+n) / r_n,
//   of (1 - t)^k: (-1)^n (1 - t)^(k+n) / r_n - sum_(j < n) (-1)^(n-j) / r_(n-j) t^j / j!
// (the primitive (-1)^m (1 - t)^(k+m) / r_m less its Taylor terms at 0), so
//   I_n = h^n [y0 t^n / n! + linear t^(n+1) / (n+1)!
//              + c (m0 (of (1 - t)^k - t^n / n!) + m1 t^(k+n) / r_n)].
// The exponent k + m continues beyond the knots with the sign rule of
// `power`, odd for even m, so that each order is the next one's derivative.
double VariableDegreePiece::repeated_integral(const Primitive&, int n, double x) const {
  if (n == 1) return antiderivative(x);
  const double k = degree_;
  const double t = (x - x0_) / h_;
  double rising[highest_antiderivative + 1] = {1};
  for (int m = 1; m <= n; ++m) rising[m] = rising[m - 1] * (k + m);
  // sum_(j < n) (-1)^(n-j) / r_(n-j) t^j / j!, by Horner's rule from the
  // highest term (see taylor)
  const auto term = [&](int j) {
    return ((n - j) % 2 == 0 ? 1.0 : -1.0) / rising[n - j] * inverse_factorial[j];
  };
  double taylor_at_0 = term(n - 1);
  for (int j = n - 2; j >= 0; --j) taylor_at_0 = term(j) + t * taylor_at_0;
  const bool odd = n % 2 == 0;
  const double t_n = std::pow(t, n) * inverse_factorial[n];
  const double sign = n % 2 == 0 ? 1.0 : -1.0;
  const double left = sign * power(1 - t, k + n, odd) / rising[n] - taylor_at_0;
  const double right = power(t, k + n, odd) / rising[n];
  const double chord = t_n * (y0_ + linear_ * (t / (n + 1)));
  const double bend = scale_ * (m0_ * (left - t_n) + m1_ * right);
  return std::pow(h_, n) * (chord + bend);
}

}  // namespace velarix::variable_degree
