#include "tension/slopes.hpp"

#include <bit>
#include <cmath>
#include <cstdint>

#include "error.hpp"
#include "memory.hpp"
#include "tension/piece.hpp"
#include "tridiagonal.hpp"

namespace velarix::tension::slopes {

TensionTerms::TensionTerms(double sigma_in) : cubic_(false), d_(0), sd_(0), e_(0) {
  const double sigma = std::fabs(sigma_in);
  if (sigma < cubic_below) {
    cubic_ = true;
  } else if (sigma <= hyperbolic_up_to) {
    // The modified functions keep E ~ sigma^4 / 12 accurate where
    // sigma sinh(sigma) and 2 coshm(sigma) nearly cancel.
    const auto [sinhm, coshm, coshmm] = modified_hyperbolics(sigma);
    e_ = sigma * sinhm - (coshmm + coshmm);
    d_ = sigma * (sigma * coshm - sinhm);
    sd_ = sigma * sinhm;
  } else {
    // Every hyperbolic function scaled by 2 exp(-sigma), so that nothing
    // overflows for a large tension: scm is the scaled coshm, ssinh the
    // scaled sinh and ssm the scaled sinhm.
    const auto [ems, tm, scm] = scaled_hyperbolics(sigma);
    const double ssinh = 1 - ems * ems;
    const double ssm = ssinh - 2 * sigma * ems;
    e_ = sigma * ssinh - 2 * scm;
    d_ = sigma * (sigma * scm - ssm);
    sd_ = sigma * ssm;
  }
}

Coefficients TensionTerms::at(double h) const {
  if (cubic_) return {4 / h, 2 / h};
  return {d_ / (h * e_), sd_ / (h * e_)};
}

Coefficients ypcoef(double sigma, double h) { return TensionTerms(sigma).at(h); }

std::pair<double, double> estimated_end_slopes(const Samples& samples) {
  return samples.three_point_end_slopes();
}

namespace {

// The slope system on the knots lo..hi with the slopes at lo and hi fixed.
// Row 0 and the last row fix the end slopes; the row of an interior knot
// x[i] makes S'' continuous there:
//   sd[i-1] yp[i-1] + (d[i-1] + d[i]) yp[i] + sd[i] yp[i+1]
//     = (d[i-1] + sd[i-1]) s[i-1] + (d[i] + sd[i]) s[i].
// Returns the hi - lo + 1 slopes of the stretch.
Doubles solve_stretch(const Samples& samples, std::span<const double> tensions, std::size_t lo,
                      std::size_t hi, double left, double right) {
  const std::span<const double> h = samples.widths();
  const std::span<const double> s = samples.secants();
  const std::size_t m = hi - lo + 1;
  Doubles a(m, 0.0);
  Doubles b(m, 0.0);
  Doubles c(m, 0.0);
  Doubles r(m, 0.0);
  b[0] = 1;
  r[0] = left;
  b[m - 1] = 1;
  r[m - 1] = right;
  // Consecutive equal tensions reuse their terms. The comparison is of the
  // bits, so a NaN tension is reused too; the terms of equal bits are equal.
  double tension = tensions[lo];
  TensionTerms terms(tension);
  Coefficients before = terms.at(h[lo]);
  for (std::size_t row = 1; row + 1 < m; ++row) {
    const std::size_t i = lo + row;
    if (std::bit_cast<std::uint64_t>(tensions[i]) != std::bit_cast<std::uint64_t>(tension)) {
      tension = tensions[i];
      terms = TensionTerms(tension);
    }
    const Coefficients after = terms.at(h[i]);
    a[row] = before.sd;
    b[row] = before.d + after.d;
    c[row] = after.sd;
    r[row] = (before.d + before.sd) * s[i - 1] + (after.d + after.sd) * s[i];
    before = after;
  }
  // The system is not needed afterwards, so it is solved in its own arrays.
  tridiagonal::solve(a, b, c, r, c, r);
  return r;
}

}  // namespace

Doubles solve(const Samples& samples, std::span<const double> tensions, double left, double right) {
  const std::size_t n = samples.size();
  if (n == 2) return {left, right};
  if (tensions.size() < n - 1) throw InternalError("fewer tensions than intervals");
  return solve_stretch(samples, tensions, 0, n - 1, left, right);
}

void solve_between(const Samples& samples, std::span<const double> tensions,
                   std::span<double> yp, std::size_t lo, std::size_t hi) {
  if (!(lo + 1 < hi && hi < samples.size() && yp.size() == samples.size() &&
        tensions.size() + 1 >= samples.size())) {
    throw InternalError("a stretch outside the knots");
  }
  const Doubles r = solve_stretch(samples, tensions, lo, hi, yp[lo], yp[hi]);
  for (std::size_t row = 1; row + 1 < r.size(); ++row) yp[lo + row] = r[row];
}

}  // namespace velarix::tension::slopes
