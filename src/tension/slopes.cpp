#include "tension/slopes.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <utility>

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

// The coefficients of the first and the last interval of a stretch, which
// its end rows need.
struct EndCoefficients {
  Coefficients first;
  Coefficients last;
};

// The rows of the interior knots of the stretch lo..hi (rows 1 to m - 2 of
// a, b, c and r, m = hi - lo + 1); the row of x[i] makes S'' continuous
// there:
//   sd[i-1] yp[i-1] + (d[i-1] + d[i]) yp[i] + sd[i] yp[i+1]
//     = (d[i-1] + sd[i-1]) s[i-1] + (d[i] + sd[i]) s[i].
EndCoefficients interior_rows(const Samples& samples, std::span<const double> tensions,
                              std::size_t lo, std::size_t hi, std::span<double> a,
                              std::span<double> b, std::span<double> c, std::span<double> r) {
  const std::span<const double> h = samples.widths();
  const std::span<const double> s = samples.secants();
  const std::size_t m = hi - lo + 1;
  // Consecutive equal tensions reuse their terms. The comparison is of the
  // bits, so a NaN tension is reused too; the terms of equal bits are equal.
  double tension = tensions[lo];
  TensionTerms terms(tension);
  const Coefficients first = terms.at(h[lo]);
  Coefficients before = first;
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
  return {first, before};
}

// The slope system on the knots lo..hi: the interior rows (interior_rows)
// and the coefficients of the end intervals, the end rows left to the
// caller as zeros.
struct SlopeSystem {
  Doubles a, b, c, r;
  EndCoefficients ends;

  SlopeSystem(const Samples& samples, std::span<const double> tensions, std::size_t lo,
              std::size_t hi)
      : a(hi - lo + 1, 0.0), b(a.size(), 0.0), c(a.size(), 0.0), r(a.size(), 0.0),
        ends(interior_rows(samples, tensions, lo, hi, a, b, c, r)) {}
};

// The slope system on the knots lo..hi with the slopes at lo and hi fixed:
// row 0 and the last row hold them. Returns the hi - lo + 1 slopes of the
// stretch.
Doubles solve_stretch(const Samples& samples, std::span<const double> tensions, std::size_t lo,
                      std::size_t hi, double left, double right) {
  SlopeSystem system(samples, tensions, lo, hi);
  auto& [a, b, c, r, ends] = system;
  const std::size_t m = r.size();
  b[0] = 1;
  r[0] = left;
  b[m - 1] = 1;
  r[m - 1] = right;
  // The system is not needed afterwards, so it is solved in its own arrays.
  tridiagonal::solve(a, b, c, r, c, r);
  return std::move(r);
}

// The whole system with S'' = 0 at both ends: the end piece's S'' at its
// outer knot, d yp[0] + sd yp[1] - (d + sd) s[0] on the first interval,
// vanishes.
Doubles solve_natural(const Samples& samples, std::span<const double> tensions) {
  const std::span<const double> s = samples.secants();
  const std::size_t n = samples.size();
  SlopeSystem system(samples, tensions, 0, n - 1);
  auto& [a, b, c, r, ends] = system;
  const auto [first, last] = ends;
  b[0] = first.d;
  c[0] = first.sd;
  r[0] = (first.d + first.sd) * s[0];
  a[n - 1] = last.sd;
  b[n - 1] = last.d;
  r[n - 1] = (last.d + last.sd) * s[n - 2];
  tridiagonal::solve(a, b, c, r, c, r);
  return std::move(r);
}

// Periodic ends: x[0] and x[n-1] are one knot between the last interval and
// the first, so row 0 is the continuity row of that knot and yp[n-1] is
// yp[0]. The n - 1 slopes yp[0..n-2] solve a cyclic system, whose corner
// entries are the last interval's sd: in row 0 for yp[n-2], and, as the
// upper entry of row n-2, for yp[n-1] = yp[0].
Doubles solve_periodic(const Samples& samples, std::span<const double> tensions) {
  const std::span<const double> s = samples.secants();
  const std::size_t n = samples.size();
  const std::size_t m = n - 1;
  SlopeSystem system(samples, tensions, 0, n - 1);
  auto& [a, b, c, r, ends] = system;
  const auto [first, last] = ends;
  a[0] = last.sd;
  b[0] = last.d + first.d;
  c[0] = first.sd;
  r[0] = (last.d + last.sd) * s[m - 1] + (first.d + first.sd) * s[0];
  const std::span<double> cycle(r.data(), m);
  tridiagonal::solve_cyclic(std::span(a).first(m), std::span(b).first(m), std::span(c).first(m),
                            cycle, std::span(c).first(m), std::span(a).first(m), cycle);
  r[n - 1] = r[0];
  return std::move(r);
}

}  // namespace

Doubles solve(const Samples& samples, std::span<const double> tensions, double left, double right) {
  const std::size_t n = samples.size();
  if (n == 2) return {left, right};
  if (tensions.size() < n - 1) throw InternalError("fewer tensions than intervals");
  return solve_stretch(samples, tensions, 0, n - 1, left, right);
}

Doubles solve(const Samples& samples, std::span<const double> tensions, const EndRows& ends) {
  if (ends.kind == EndRows::Kind::slopes) return solve(samples, tensions, ends.left, ends.right);
  if (tensions.size() + 1 < samples.size()) throw InternalError("fewer tensions than intervals");
  if (ends.natural()) return solve_natural(samples, tensions);
  return solve_periodic(samples, tensions);
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
