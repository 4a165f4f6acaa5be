#include "rational_cubic/solver.hpp"

#include <cmath>
#include <limits>
#include <utility>

#include "memory.hpp"
#include "tridiagonal.hpp"

namespace velarix::rational_cubic::solver {
namespace {

// The smallest w that keeps interval i convex for the knot derivatives d, plus
// the margin, capped at w_cap. A derivative on the wrong side of the secant
// (gapL <= 0 or gapR <= 0) leaves no finite bound, so such an interval gets the
// cap, which is as near the chord as the pieces go.
double convexity_target(std::span<const double> secants, std::span<const double> d, std::size_t i,
                        double u, double v, double margin, double w_cap) {
  const double gap_left = secants[i] - d[i];
  const double gap_right = d[i + 1] - secants[i];
  if (gap_left <= 0 || gap_right <= 0) return w_cap;
  // max(v gapR / gapL, u gapL / gapR, 0); a NaN ratio (inf / inf from an
  // overflowing derivative) is left out, so the target is never NaN.
  const double ratio_right = v * gap_right / gap_left;
  const double ratio_left = u * gap_left / gap_right;
  double bound = 0;
  if (ratio_right > bound) bound = ratio_right;
  if (ratio_left > bound) bound = ratio_left;
  const double target = margin + bound;
  return target < w_cap ? target : w_cap;
}

// The rows of the derivative system. Only the diagonal and the right-hand
// side depend on w, so the sweeps of one solve keep these arrays and rewrite
// just those two: every entry is the same product of the same operands that
// a fresh system would hold.
class DerivativeSystem {
 public:
  DerivativeSystem(const Samples& samples, double left, double right, double u, double v)
      : h_(samples.widths()),
        s_(samples.secants()),
        u_(u),
        v_(v),
        lower_(samples.size()),
        diag_(samples.size()),
        upper_(samples.size()),
        rhs_(samples.size()),
        eliminated_(samples.size()),
        derivatives_(samples.size()) {
    const std::size_t n = diag_.size();
    diag_[0] = 1;
    rhs_[0] = left;
    diag_[n - 1] = 1;
    rhs_[n - 1] = right;
    for (std::size_t k = 1; k + 1 < n; ++k) {
      lower_[k] = u * (u * h_[k]);
      upper_[k] = v * (v * h_[k - 1]);
    }
  }

  // The knot derivatives for w, valid until the next call.
  std::span<const double> solve(std::span<const double> w) {
    const std::size_t n = diag_.size();
    if (w.size() + 1 != n) throw InternalError("one convexity parameter per interval expected");
    const double u = u_;
    const double v = v_;
    const double a = u + v;
    const double b = (u + u) + v;
    const double c = u + (v + v);
    // Row k equates S'' of pieces k-1 and k at x[k], scaled to
    //   u F d[k-1] + (F (A + w[k-1]) + G (A + w[k])) d[k] + v G d[k+1]
    //     = F (B + w[k-1]) s[k-1] + G (C + w[k]) s[k],
    // with F = u h[k], G = v h[k-1]; it is strictly diagonally dominant for
    // u, v > 0 and w >= 0, so no pivot vanishes.
    for (std::size_t k = 1; k + 1 < n; ++k) {
      const double f = u * h_[k];
      const double g = v * h_[k - 1];
      diag_[k] = f * (a + w[k - 1]) + g * (a + w[k]);
      rhs_[k] = (f * (b + w[k - 1])) * s_[k - 1] + (g * (c + w[k])) * s_[k];
    }
    tridiagonal::solve(lower_, diag_, upper_, rhs_, eliminated_, derivatives_);
    return derivatives_;
  }

 private:
  std::span<const double> h_;
  std::span<const double> s_;
  double u_;
  double v_;
  Doubles lower_;
  Doubles diag_;
  Doubles upper_;
  Doubles rhs_;
  // The solver's own storage, reused by every sweep.
  Doubles eliminated_;
  Doubles derivatives_;
};

}  // namespace

Doubles solve_derivatives(const Samples& samples, std::span<const double> w, double left,
                          double right, double u, double v) {
  if (w.size() + 1 != samples.size()) {
    throw InternalError("one convexity parameter per interval expected");
  }
  DerivativeSystem system(samples, left, right, u, v);
  const std::span<const double> d = system.solve(w);
  return Doubles(d.begin(), d.end());
}

Result<Output> solve(const Samples& samples, const SolveSettings& settings, double left,
                     double right) {
  const double u = settings.u;
  const double v = settings.v;
  const double margin = settings.margin;
  const double w_cap = settings.w_cap;
  if (!(w_cap >= 0)) throw InternalError("convexity cap must be >= 0");
  const std::span<const double> s = samples.secants();
  const std::size_t m = samples.intervals();

  if (m == 1) {
    Doubles d{left, right};
    Doubles w{convexity_target(s, d, 0, u, v, margin, w_cap)};
    return Output{std::move(d), std::move(w), 0};
  }

  const double relaxation = settings.relaxation;
  const double keep = 1 - relaxation;
  Doubles w(m, 0.0);
  DerivativeSystem system(samples, left, right, u, v);
  double last_change = std::numeric_limits<double>::quiet_NaN();
  for (std::uint64_t k = 0;;) {
    if (k == settings.max_iter) return NoConvergence{settings.max_iter, last_change};
    const std::span<const double> d = system.solve(w);
    double largest = 0;  // W
    double change = 0;   // C
    for (std::size_t i = 0; i < m; ++i) {
      const double target = convexity_target(s, d, i, u, v, margin, w_cap);
      double next = relaxation * target + w[i] * keep;
      if (next < 0) next = 0;
      if (next > w_cap) next = w_cap;
      // Both maxima skip NaN: the comparisons are false for it.
      if (next > largest) largest = next;
      const double step = std::fabs(next - w[i]);
      if (step > change) change = step;
      w[i] = next;
    }
    ++k;
    last_change = change;
    if (change <= settings.tol * (largest + 1)) {
      // Derivatives recomputed from the final w, so the two agree exactly.
      const std::span<const double> derivatives = system.solve(w);
      return Output{Doubles(derivatives.begin(), derivatives.end()), std::move(w), k};
    }
  }
}

}  // namespace velarix::rational_cubic::solver
