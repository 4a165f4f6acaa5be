#include "tension/sigs.hpp"

#include <algorithm>
#include <cmath>

#include "error.hpp"
#include "tension/piece.hpp"

namespace velarix::tension::sigs {
namespace {

// 100 machine epsilons (2^-52): the relative and absolute accuracy the
// searches aim for.
constexpr double rtol = 2.220446049250313e-14;
// Newton steps or secant passes per interval; a search that has not met its
// tolerance by then keeps what it reached.
constexpr int search_cap = 100;
// With max(d1/d2, d2/d1) at most this, the cubic is already convex (or
// concave) on the interval.
constexpr double convex_ratio = 2;

}  // namespace

double convexity_sigma(double d1, double d2, double tol) {
  const double t = std::max(d1 / d2, d2 / d1);
  if (t <= convex_ratio) return 0;
  const double tp1 = t + 1;
  // The zero of F's expansion 2 - t + sigma^2 / 10 about 0.
  double sigma = std::sqrt(10 * t - 20);
  for (int step = 0; step < search_cap; ++step) {
    double t1;
    double fp;
    if (sigma <= hyperbolic_up_to) {
      const ModifiedHyperbolics mh = modified_hyperbolics(sigma);
      t1 = mh.coshm / mh.sinhm;
      fp = t1 + sigma * (sigma / mh.sinhm - t1 * t1 + 1);
    } else {
      // coshm and sinhm scaled by 2 exp(-sigma): scm and ssm.
      const auto [ems, tm, scm] = scaled_hyperbolics(sigma);
      const double ssm = 1 - ems * (sigma + (sigma + ems));
      t1 = scm / ssm;
      fp = t1 + sigma * (2 * sigma * ems / ssm - t1 * t1 + 1);
    }
    // A slope that is not positive would send Newton away from the zero.
    if (fp <= 0) break;
    const double f = sigma * t1 - tp1;
    const double dsig = -f / fp;
    if (std::fabs(dsig) <= rtol * sigma || (f >= 0 && f <= tol) || std::fabs(f) <= rtol) break;
    sigma = sigma + dsig;
  }
  return sigma;
}

namespace {

// The smallest sigma for which the piece's first derivative keeps the sign of
// the secant s, where d1 d2 < 0. f(sigma) is the derivative at the inflection
// point of the piece, times the sign of s; it is negative at 0 and the search
// brackets its zero by secant steps from below.
double monotonicity_sigma(double s1, double s2, double s, double d1, double d2, double tol) {
  // An end slope against the secant: no tension makes the piece monotone.
  if (s1 * s < 0 || s2 * s < 0) return 0;
  // The cubic itself is monotone when t0 = 3 s - s1 - s2 has the sign of s
  // or when its derivative has no real zero (d0 <= 0).
  const double t0 = 3 * s - s1 - s2;
  if (s * t0 >= 0) return 0;
  const double d0 = t0 * t0 - s1 * s2;
  if (d0 <= 0) return 0;

  const double sgn = s < 0 ? -1.0 : 1.0;
  double sigma = sigma_max;
  // f at sigma = 85; not positive means even the largest tension fails.
  const double fmax = sgn * ((sigma_max * s - s1) - s2) / (sigma_max - 2);
  if (fmax <= 0) return sigma_max;

  double f = fmax;
  // f at sigma = 0, negative here.
  double f0 = sgn * d0 / (3 * (d1 - d2));
  // The bracketing point lies dmax behind sigma and has value fneg; dsig is
  // the last step, taken from the point where f was f0.
  double fneg = f0;
  double dsig = sigma_max;
  double dmax = sigma_max;
  const double d1pd2 = d1 + d2;

  for (int pass = 0; pass < search_cap; ++pass) {
    dsig = -f * dsig / (f - f0);
    if (std::fabs(dsig) > std::fabs(dmax) || dsig * dmax > 0) {
      // The secant step leaves the bracket: step to the bracketing point.
      dsig = dmax;
      f0 = fneg;
      continue;
    }
    // A step too small to change sigma would stall the search.
    if (std::fabs(dsig) < rtol * sigma / 2) dsig = std::copysign(rtol * sigma / 2, -dmax);
    sigma = sigma + dsig;
    f0 = f;

    if (sigma <= hyperbolic_up_to) {
      const auto [sinhm, coshm, coshmm] = modified_hyperbolics(sigma);
      const double c1 = sigma * coshm * d2 - sinhm * d1pd2;
      const double c2 = sigma * (sinhm + sigma) * d2 - coshm * d1pd2;
      const double a = c2 - c1;
      const double e = sigma * sinhm - 2 * coshmm;
      f = (sgn * (e * s2 - c2) + std::sqrt(a * (c2 + c1))) / e;
    } else {
      // The hyperbolic functions scaled by 2 exp(-sigma): ssinh, ssm (sinhm)
      // and scm (coshm).
      const auto [ems, tm, scm] = scaled_hyperbolics(sigma);
      const double ems2 = 2 * ems;
      const double ssinh = tm * (1 + ems);
      const double ssm = ssinh - sigma * ems2;
      const double c1 = sigma * scm * d2 - ssm * d1pd2;
      const double c2 = sigma * ssinh * d2 - scm * d1pd2;
      if (c1 * (sigma * scm * d1 - ssm * d1pd2) >= 0) {
        // The second derivative keeps its sign: no inflection inside.
        f = fmax;
      } else {
        const double a = ems2 * (sigma * tm * d2 + (tm - sigma) * d1pd2);
        if (a * (c2 + c1) < 0) {
          f = fmax;
        } else {
          const double e = sigma * ssinh - 2 * scm;
          f = (sgn * (e * s2 - c2) + std::sqrt(a * (c2 + c1))) / e;
        }
      }
    }

    if (std::fabs(dmax) <= rtol * sigma || (f >= 0 && f <= tol) || std::fabs(f) <= rtol) break;
    dmax = dmax + dsig;
    if (f0 * f > 0 && std::fabs(f) >= std::fabs(f0)) {
      // No progress: take the next step from the bracketing point.
      dsig = dmax;
      f0 = fneg;
      continue;
    }
    if (f0 * f <= 0) {
      // The zero now lies between the last two points: they become the
      // bracket, unless the older bracket end is closer in value.
      const double t1 = dmax;
      const double t2 = fneg;
      dmax = dsig;
      fneg = f0;
      if (std::fabs(dsig) > std::fabs(t1) && std::fabs(f) < std::fabs(t2)) {
        dsig = t1;
        f0 = t2;
      }
    }
  }
  return sigma;
}

// The tension interval i asks for, before it is compared with its current one.
double wanted_sigma(double s1, double s2, double s, double tol) {
  const double d1 = s - s1;
  const double d2 = s2 - s;
  const double p = d1 * d2;
  // One end slope equal to the secant and the other not, or a flat interval
  // between slopes of one sign: only the chord keeps the shape.
  if ((p == 0 && s1 != s2) || (s == 0 && s1 * s2 > 0)) return sigma_max;
  // Both end slopes equal the secant: the piece is the chord at any tension.
  if (p == 0) return 0;
  if (p > 0) return convexity_sigma(d1, d2, tol);
  return monotonicity_sigma(s1, s2, s, d1, d2, tol);
}

}  // namespace

std::size_t select(const Samples& samples, std::span<const double> yp, std::span<double> tensions,
                   double tol) {
  return select(samples, yp, tensions, tol, 0, samples.intervals());
}

std::size_t select(const Samples& samples, std::span<const double> yp, std::span<double> tensions,
                   double tol, std::size_t first, std::size_t end) {
  const std::size_t intervals = samples.intervals();
  if (yp.size() < intervals + 1 || tensions.size() < intervals || end > intervals) {
    throw InternalError("fewer derivatives or tensions than the data need");
  }
  const std::span<const double> secants = samples.secants();
  std::size_t raised = 0;
  for (std::size_t i = first; i < end; ++i) {
    const double sigma_in = tensions[i];
    if (sigma_in >= sigma_max) continue;
    double sigma = wanted_sigma(yp[i], yp[i + 1], secants[i], tol);
    // Also sends a NaN from the searches to infinite tension.
    if (!(sigma < sigma_max)) sigma = sigma_max;
    if (sigma > sigma_in) {
      tensions[i] = sigma;
      ++raised;
    }
  }
  return raised;
}

}  // namespace velarix::tension::sigs
