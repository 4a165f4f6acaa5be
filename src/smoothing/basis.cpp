#include "smoothing/basis.hpp"

#include <algorithm>
#include <cmath>

namespace velarix::smoothing {
namespace {

// Exponents beyond these would make 2^-e unrepresentable; data that far from
// 1 keep a scale other than 1 inside, which costs nothing but exactness of
// the scaling.
constexpr int kLowestExponent = -1000;
constexpr int kHighestExponent = 1024;

int exponent_of(double magnitude) {
  int e = 0;
  std::frexp(magnitude, &e);
  return std::clamp(e, kLowestExponent, kHighestExponent);
}

}  // namespace

double Units::value(double v) const { return std::ldexp(mean + std::ldexp(v, ev), ey); }
double Units::curvature(double a) const { return std::ldexp(a, ey + ev - 2 * ex); }
double Units::lam(double internal) const { return std::ldexp(internal, 3 * ex + ew); }
double Units::lam_internal(double lam) const { return std::ldexp(lam, -3 * ex - ew); }
double Units::rss(double internal) const { return std::ldexp(internal, ew + 2 * (ey + ev)); }

Units units_of(const Data& data, double x_range) {
  Units units;
  units.ex = exponent_of(x_range);
  units.x_factor = std::ldexp(1.0, -units.ex);
  double w_max = 0;
  double y_max = 0;
  for (std::size_t i = 0; i < data.size(); ++i) {
    w_max = std::max(w_max, data.weight(i));
    y_max = std::max(y_max, std::fabs(data.y[i]));
  }
  units.ew = exponent_of(w_max);
  units.w_factor = std::ldexp(1.0, -units.ew);
  units.ey = exponent_of(y_max);
  units.y_factor = std::ldexp(1.0, -units.ey);
  // |y 2^-ey| < 1 and omega < 1: neither sum can overflow.
  double sum = 0;
  double weight = 0;
  for (std::size_t i = 0; i < data.size(); ++i) {
    const double omega = units.omega(data.weight(i));
    sum += omega * (data.y[i] * units.y_factor);
    weight += omega;
  }
  units.mean = sum / weight;
  double spread = 0;
  for (std::size_t i = 0; i < data.size(); ++i) {
    spread = std::max(spread, std::fabs(data.y[i] * units.y_factor - units.mean));
  }
  units.ev = exponent_of(spread);
  units.v_factor = std::ldexp(1.0, -units.ev);
  return units;
}

Basis::Basis(Doubles breakpoints) {
  const std::size_t n = breakpoints.size();
  t_.reserve(n + 6);
  t_.insert(t_.end(), 3, breakpoints.front());
  t_.insert(t_.end(), breakpoints.begin(), breakpoints.end());
  t_.insert(t_.end(), 3, breakpoints.back());
  breakpoints = Doubles();
  const std::size_t k = size();
  slope_step_.resize(k - 1);
  curvature_step_.resize(k - 2);
  for (std::size_t j = 0; j + 1 < k; ++j) slope_step_[j] = (t_[j + 4] - t_[j + 1]) / 3;
  for (std::size_t j = 0; j + 2 < k; ++j) curvature_step_[j] = (t_[j + 4] - t_[j + 2]) / 2;
}

Doubles Basis::greville() const {
  const std::size_t k = size();
  Doubles xi(k);
  for (std::size_t j = 0; j < k; ++j) xi[j] = (t_[j + 1] + t_[j + 2] + t_[j + 3]) / 3;
  return xi;
}

// With h_j the breakpoint gaps, S'' is linear on each gap, so
//   integral S''^2 = sum_j h_j (a_j^2 + a_j a_{j+1} + a_{j+1}^2) / 3,
// the Gram matrix of the hat functions: h/3 on the diagonal (from each
// side), h/6 beside it.
void Basis::hat_gram(Doubles& diagonal, Doubles& upper) const {
  const std::span<const double> tau = breakpoints();
  const std::size_t n = tau.size();
  diagonal.assign(n, 0.0);
  upper.assign(n - 1, 0.0);
  for (std::size_t j = 0; j + 1 < n; ++j) {
    const double h = tau[j + 1] - tau[j];
    diagonal[j] += h / 3;
    diagonal[j + 1] += h / 3;
    upper[j] = h / 6;
  }
}

// a = D2 c, where row j of D2 has the entries
//   1 / (e_j s_j),  -(1 / s_j + 1 / s_{j+1}) / e_j,  1 / (e_j s_{j+1})
// on c_j, c_{j+1}, c_{j+2} (s the slope steps, e the curvature steps), and
// P = D2^T G1 D2 with G1 tridiagonal (hat_gram's, h/3 from each side on the
// diagonal, h/6 beside it): P_pq sums D2_jp G1_jl D2_lq over neighbouring
// rows j, l. The rows of D2 and G1 are formed where they are used: stored,
// they would be five arrays as long as the coefficients, for one pass.
Band Basis::penalty_band() const {
  const std::span<const double> tau = breakpoints();
  const std::size_t rows = curvature_step_.size();
  auto gram = [&](std::size_t j, std::size_t l) {
    if (j != l) return (tau[std::min(j, l) + 1] - tau[std::min(j, l)]) / 6;
    double diagonal = 0;
    if (j > 0) diagonal += (tau[j] - tau[j - 1]) / 3;
    if (j + 1 < rows) diagonal += (tau[j + 1] - tau[j]) / 3;
    return diagonal;
  };
  Band band(size(), 3);
  for (std::size_t j = 0; j < rows; ++j) {
    double dj[3];
    curvature_row(j, dj);
    for (std::size_t l = (j > 0 ? j - 1 : 0); l < rows && l <= j + 1; ++l) {
      const double g = gram(j, l);
      double dl[3];
      curvature_row(l, dl);
      for (std::size_t a = 0; a < 3; ++a) {
        for (std::size_t b = 0; b < 3; ++b) {
          const std::size_t p = j + a;
          const std::size_t q = l + b;
          if (q >= p) band.upper(p, q) += dj[a] * g * dl[b];
        }
      }
    }
  }
  return band;
}

NormalEquations assemble(const Basis& basis, const Data& data, const Units& units,
                         std::span<const double> weights) {
  const std::size_t k = basis.size();
  NormalEquations normal;
  normal.band = Band(k, 3);
  normal.rhs.assign(k, 0.0);
  double* band = normal.band.data.data();
  double* rhs = normal.rhs.data();
  double vwv = 0;
  for_each_point(basis, data, units, [&](std::size_t i, std::size_t segment, double u) {
    const double omega = weights.empty() ? units.omega(data.weight(i)) : weights[i];
    if (omega == 0) return;
    const double v = units.v(data.y[i]);
    double b[4];
    basis.values(segment, u, b);
    double* g = band + 4 * segment;
    for (int a = 0; a < 4; ++a) {
      const double wb = omega * b[a];
      rhs[segment + a] += wb * v;
      for (int d = 0; a + d < 4; ++d) g[4 * a + d] += wb * b[a + d];
    }
    vwv += omega * v * v;
  });
  normal.vwv = vwv;
  return normal;
}

void residuals(const Basis& basis, const Data& data, const Units& units,
               std::span<const double> c, std::span<double> out) {
  for_each_point(basis, data, units, [&](std::size_t i, std::size_t segment, double u) {
    double b[4];
    basis.values(segment, u, b);
    const double* cs = c.data() + segment;
    out[i] = units.v(data.y[i]) - (((b[0] * cs[0] + b[1] * cs[1]) + b[2] * cs[2]) + b[3] * cs[3]);
  });
}

Doubles breakpoint_values(const Basis& basis, std::span<const double> c) {
  const std::span<const double> tau = basis.breakpoints();
  const std::size_t n = tau.size();
  Doubles values(n);
  for (std::size_t j = 0; j < n; ++j) {
    const std::size_t segment = std::min(j, n - 2);
    double b[4];
    basis.values(segment, tau[j], b);
    const double* cs = c.data() + segment;
    values[j] = ((b[0] * cs[0] + b[1] * cs[1]) + b[2] * cs[2]) + b[3] * cs[3];
  }
  return values;
}

}  // namespace velarix::smoothing
