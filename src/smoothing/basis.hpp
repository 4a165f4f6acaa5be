// The cubic B-spline basis of a smoothing fit and the one pass over the data
// that reduces them to the normal equations. Everything after that pass works
// on systems whose size is the number of basis functions, not of points.
#pragma once

#include <cstddef>
#include <span>

#include "memory.hpp"

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

  std::span<const double> breakpoints() const { return tau_; }
  std::size_t segments() const { return tau_.size() - 1; }
  std::size_t size() const { return tau_.size() + 2; }

  // The coefficients of S' are d_j = (c_{j+1} - c_j) / slope_step_j and those
  // of S'' (its values at the breakpoints, S'' being piecewise linear) are
  // a_j = (d_{j+1} - d_j) / curvature_step_j, with
  //   slope_step_j = (t_{j+4} - t_{j+1}) / 3,  curvature_step_j = (t_{j+4} - t_{j+2}) / 2.
  std::span<const double> slope_steps() const { return slope_step_; }
  std::span<const double> curvature_steps() const { return curvature_step_; }

  // The four functions B_s .. B_{s+3} that do not vanish on segment s, at u
  // in that segment (de Boor's recurrence, all terms positive).
  void values(std::size_t segment, double u, double out[4]) const {
    const Segment& g = segments_[segment];
    const double left1 = u - g.t[2];
    const double left2 = u - g.t[1];
    const double left3 = u - g.t[0];
    const double right1 = g.t[3] - u;
    const double right2 = g.t[4] - u;
    const double right3 = g.t[5] - u;
    // Order 2.
    double n0 = right1 * g.inverse[0];
    double n1 = left1 * g.inverse[0];
    // Order 3.
    double term = n0 * g.inverse[1];
    n0 = right1 * term;
    double saved = left2 * term;
    term = n1 * g.inverse[2];
    n1 = saved + right2 * term;
    const double n2 = left1 * term;
    // Order 4.
    term = n0 * g.inverse[3];
    out[0] = right1 * term;
    saved = left3 * term;
    term = n1 * g.inverse[4];
    out[1] = saved + right2 * term;
    saved = left2 * term;
    term = n2 * g.inverse[5];
    out[2] = saved + right3 * term;
    out[3] = left1 * term;
  }

  // The penalty integral S''^2 = c^T P c in this basis, banded as the
  // normal matrix is (P_{j,j+d} at [4 j + d]).
  Doubles penalty_band() const;

  // The Gram matrix of the hat functions on the breakpoints: integral S''^2 =
  // a^T G1 a exactly. Diagonal and superdiagonal.
  void hat_gram(Doubles& diagonal, Doubles& upper) const;

 private:
  Doubles tau_;
  // The six knots t_{i-2} .. t_{i+3} around segment s (i = s + 3) and the
  // reciprocals of the knot spans the recurrence divides by, which depend on
  // the segment only: t_{i+1} - t_i; t_{i+1} - t_{i-1}, t_{i+2} - t_i;
  // t_{i+1} - t_{i-2}, t_{i+2} - t_{i-1}, t_{i+3} - t_i.
  struct Segment {
    double t[6];
    double inverse[6];
  };

  Doubles t_;
  Vector<Segment> segments_;
  Doubles slope_step_;
  Doubles curvature_step_;
};

// G = B^T W B (banded: G_{j,j+d} at band[4 j + d], d = 0..3), B^T W v and
// v^T W v, from one pass over sorted data.
struct NormalEquations {
  Doubles band;
  Doubles rhs;
  double vwv = 0;
};

// `weights` replaces the data's (scaled) weights when not empty: the
// reweighted passes of a robust fit.
NormalEquations assemble(const Basis& basis, const Data& data, const Units& units,
                         std::span<const double> weights);

// The sum of the diagonal of a banded matrix.
double band_trace(std::span<const double> band);

// The residuals v_i - S(u_i) of the curve with coefficients c at every data
// point, in internal units.
void residuals(const Basis& basis, const Data& data, const Units& units,
               std::span<const double> c, std::span<double> out);

// S at each breakpoint (internal units), from the coefficients.
Doubles breakpoint_values(const Basis& basis, std::span<const double> c);

}  // namespace velarix::smoothing
