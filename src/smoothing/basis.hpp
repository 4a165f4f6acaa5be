// The cubic B-spline basis of a smoothing fit and the one pass over the data
// that reduces them to the normal equations. Everything after that pass works
// on systems whose size is the number of basis functions, not of points.
#pragma once

#include <cstddef>
#include <span>

#include "memory.hpp"
#include "smoothing/banded.hpp"

namespace velarix::smoothing {

// The data after validation, sorted by x (ties in any order). An empty `w`
// stands for weights of 1.
struct Data {
  std::span<const double> x;
  std::span<const double> y;
  std::span<const double> w;

  std::size_t size() const { return x.size(); }
  double weight(std::size_t i) const { return w.empty() ? 1.0 : w[i]; }
};

// Powers of two that bring x, y and the weights to a unit scale before the
// fit: u = x 2^-ex, v = (y 2^-ey - mean) 2^-ev, omega = w 2^-ew. Scaling by a
// power of two is exact, so data scaled by powers of two give the same
// internal problem bit for bit, and every tolerance of the fit is taken
// relative to quantities of order 1; values far from 1 in the caller's units
// (x in nanometres, y in 1e12) can neither overflow nor underflow inside.
struct Units {
  int ex = 0;
  int ey = 0;
  int ev = 0;
  int ew = 0;
  double mean = 0;  // weighted mean of y 2^-ey

  // The forward maps multiply by 2^-e (the exponents are kept within
  // [-1000, 1024], so that the factors are representable).
  double x_factor = 1;
  double y_factor = 1;
  double v_factor = 1;
  double w_factor = 1;

  double u(double x) const { return x * x_factor; }
  double v(double y) const { return (y * y_factor - mean) * v_factor; }
  double omega(double w) const { return w * w_factor; }

  // The inverse maps, for results: a value and a second derivative of the
  // internal curve in the caller's units; lambda, whose units are those of
  // w x^3; the residual sum of squares, in those of w y^2.
  double value(double v) const;
  double curvature(double a) const;
  double lam(double internal) const;
  double lam_internal(double lam) const;
  double rss(double internal) const;
};

Units units_of(const Data& data, double x_range);

// The basis on the breakpoints tau_0 < ... < tau_N in internal units: the
// knot vector repeats each end four times, so there are K = N + 3 functions
// and the spline reaches both ends with full freedom.
class Basis {
 public:
  explicit Basis(Doubles breakpoints);

  std::span<const double> breakpoints() const {
    return std::span<const double>(t_).subspan(3, t_.size() - 6);
  }
  std::size_t segments() const { return t_.size() - 7; }
  std::size_t size() const { return t_.size() - 4; }

  // The coefficients of S' are d_j = (c_{j+1} - c_j) / slope_step_j and those
  // of S'' (its values at the breakpoints, S'' being piecewise linear) are
  // a_j = (d_{j+1} - d_j) / curvature_step_j, with
  //   slope_step_j = (t_{j+4} - t_{j+1}) / 3,  curvature_step_j = (t_{j+4} - t_{j+2}) / 2.
  std::span<const double> slope_steps() const { return slope_step_; }
  std::span<const double> curvature_steps() const { return curvature_step_; }
  // Row j of the map c -> a: its three entries, on c_j, c_{j+1}, c_{j+2}.
  void curvature_row(std::size_t j, double out[3]) const {
    const double e = curvature_step_[j];
    const double s0 = slope_step_[j];
    const double s1 = slope_step_[j + 1];
    out[0] = 1 / (e * s0);
    out[1] = -(1 / s0 + 1 / s1) / e;
    out[2] = 1 / (e * s1);
  }

  // The four functions B_s .. B_{s+3} that do not vanish on segment s, at u
  // in that segment (de Boor's recurrence, all terms positive). The knot
  // spans it divides by are taken afresh: a table of them would cost more
  // memory per knot than the rest of the fit.
  void values(std::size_t segment, double u, double out[4]) const {
    const double* t = &t_[segment + 1];  // t_{i-2} .. t_{i+3}, i = segment + 3
    const double left1 = u - t[2];
    const double left2 = u - t[1];
    const double left3 = u - t[0];
    const double right1 = t[3] - u;
    const double right2 = t[4] - u;
    const double right3 = t[5] - u;
    // Order 2.
    const double inverse0 = 1 / (t[3] - t[2]);
    double n0 = right1 * inverse0;
    double n1 = left1 * inverse0;
    // Order 3.
    double term = n0 / (t[3] - t[1]);
    n0 = right1 * term;
    double saved = left2 * term;
    term = n1 / (t[4] - t[2]);
    n1 = saved + right2 * term;
    const double n2 = left1 * term;
    // Order 4.
    term = n0 / (t[3] - t[0]);
    out[0] = right1 * term;
    saved = left3 * term;
    term = n1 / (t[4] - t[1]);
    out[1] = saved + right2 * term;
    saved = left2 * term;
    term = n2 / (t[5] - t[2]);
    out[2] = saved + right3 * term;
    out[3] = left1 * term;
  }

  // The Greville abscissae (t_{j+1} + t_{j+2} + t_{j+3}) / 3: the coefficients
  // of the line S(u) = u, so that a line's coefficients are c_j = a + b xi_j.
  Doubles greville() const;

  // The penalty integral S''^2 = c^T P c in this basis, banded as the
  // normal matrix is.
  Band penalty_band() const;

  // The Gram matrix of the hat functions on the breakpoints: integral S''^2 =
  // a^T G1 a exactly. Diagonal and superdiagonal.
  void hat_gram(Doubles& diagonal, Doubles& upper) const;

 private:
  // The knot vector; the breakpoints are t_[3 .. 3 + N].
  Doubles t_;
  Doubles slope_step_;
  Doubles curvature_step_;
};

// G = B^T W B (banded, width 3), B^T W v and
// v^T W v, from one pass over sorted data.
struct NormalEquations {
  Band band;
  Doubles rhs;
  double vwv = 0;
};

// Calls visit(i, segment, u) for every point in order, with its abscissa in
// the fit's units and the segment of the breakpoints that holds it (the last
// segment holds the last breakpoint).
template <class Visit>
void for_each_point(const Basis& basis, const Data& data, const Units& units, Visit&& visit) {
  const std::span<const double> tau = basis.breakpoints();
  const std::size_t last = basis.segments() - 1;
  std::size_t segment = 0;
  for (std::size_t i = 0; i < data.size(); ++i) {
    const double u = units.u(data.x[i]);
    while (segment < last && u >= tau[segment + 1]) ++segment;
    visit(i, segment, u);
  }
}

// `weights` replaces the data's (scaled) weights when not empty: the
// reweighted passes of a robust fit.
NormalEquations assemble(const Basis& basis, const Data& data, const Units& units,
                         std::span<const double> weights);

// The residuals v_i - S(u_i) of the curve with coefficients c at every data
// point, in internal units.
void residuals(const Basis& basis, const Data& data, const Units& units,
               std::span<const double> c, std::span<double> out);

// S at each breakpoint (internal units), from the coefficients.
Doubles breakpoint_values(const Basis& basis, std::span<const double> c);

}  // namespace velarix::smoothing
