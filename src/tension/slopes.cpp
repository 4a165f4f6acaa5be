#include "tension/slopes.hpp"

#include <cmath>

#include "error.hpp"
#include "tension/piece.hpp"
#include "tridiagonal.hpp"

namespace velarix::tension::slopes {

Coefficients ypcoef(double sigma_in, double h) {
  const double sigma = std::fabs(sigma_in);
  if (sigma < cubic_below) return {4 / h, 2 / h};
  if (sigma <= hyperbolic_up_to) {
    // The modified functions keep E ~ sigma^4 / 12 accurate where
    // sigma sinh(sigma) and 2 coshm(sigma) nearly cancel.
    const auto [sinhm, coshm, coshmm] = modified_hyperbolics(sigma);
    const double e = sigma * sinhm - (coshmm + coshmm);
    return {sigma * (sigma * coshm - sinhm) / (h * e), sigma * sinhm / (h * e)};
  }
  // Every hyperbolic function scaled by 2 exp(-sigma), so that nothing
  // overflows for a large tension: scale^2 is the scaled coshm, ssinh the
  // scaled sinh and ssm the scaled sinhm.
  const double ems = std::exp(-sigma);
  const double scale = 1 - ems;
  const double ssinh = 1 - ems * ems;
  const double ssm = ssinh - 2 * sigma * ems;
  const double scale2 = scale * scale;
  const double e = sigma * ssinh - 2 * scale2;
  return {sigma * (sigma * scale2 - ssm) / (h * e), sigma * ssm / (h * e)};
}

std::pair<double, double> estimated_end_slopes(const Samples& samples) {
  const std::span<const double> h = samples.widths();
  const std::span<const double> s = samples.secants();
  if (s.size() == 1) return {s[0], s[0]};
  const std::size_t m = s.size() - 1;
  const double left = (s[0] * (h[1] + 2 * h[0]) - h[0] * s[1]) / (h[1] + h[0]);
  const double right = (s[m] * (h[m - 1] + 2 * h[m]) - h[m] * s[m - 1]) / (h[m - 1] + h[m]);
  return {left, right};
}

std::vector<double> solve(const Samples& samples, std::span<const double> tensions, double left,
                          double right) {
  const std::size_t n = samples.size();
  if (n == 2) return {left, right};
  if (tensions.size() < n - 1) throw InternalError("fewer tensions than intervals");
  const std::span<const double> h = samples.widths();
  const std::span<const double> s = samples.secants();

  // Rows 0 and n-1 fix the end slopes; row i (interior) makes S'' continuous
  // at x[i]:
  //   sd[i-1] yp[i-1] + (d[i-1] + d[i]) yp[i] + sd[i] yp[i+1]
  //     = (d[i-1] + sd[i-1]) s[i-1] + (d[i] + sd[i]) s[i].
  std::vector<double> a(n, 0.0);
  std::vector<double> b(n, 0.0);
  std::vector<double> c(n, 0.0);
  std::vector<double> r(n, 0.0);
  b[0] = 1;
  r[0] = left;
  b[n - 1] = 1;
  r[n - 1] = right;
  Coefficients before = ypcoef(tensions[0], h[0]);
  for (std::size_t i = 1; i + 1 < n; ++i) {
    const Coefficients after = ypcoef(tensions[i], h[i]);
    a[i] = before.sd;
    b[i] = before.d + after.d;
    c[i] = after.sd;
    r[i] = (before.d + before.sd) * s[i - 1] + (after.d + after.sd) * s[i];
    before = after;
  }
  return tridiagonal::solve(a, b, c, r);
}

}  // namespace velarix::tension::slopes
