#include "rational_cubic/newton.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <span>
#include <utility>

#include "tridiagonal.hpp"

namespace velarix::rational_cubic::solver {
namespace {

// Newton converges in a handful of steps when it converges at all; beyond
// this it is cycling or creeping, and the sweeps from the start are surer.
constexpr std::uint64_t kMaxSteps = 60;
// A step may shrink a positive gap to this fraction of its value, no
// further: a gap that reached 0 would leave the branch of the convexity
// condition that the step was computed on.
constexpr double kGapKept = 0.05;
// A step that shrank less than fourfold has stopped converging quadratically;
// below this relative size that means it is rounding noise.
constexpr double kStallRatio = 0.25;
constexpr double kStallCeiling = 1e-6;

// The linearised convexity condition of one interval, solved for the change
// of its parameter: delta w = e + f delta d[i] + g delta d[i+1].
struct Elimination {
  double e, f, g;
};

class Newton {
 public:
  Newton(const Samples& samples, std::span<const double> noise, const SolveSettings& settings,
         double left, double right)
      : h_(samples.widths()),
        s_(samples.secants()),
        noise_(noise),
        c_(settings),
        d_(samples.size()),
        w_(samples.intervals()),
        lower_(samples.size()),
        diag_(samples.size()),
        upper_(samples.size()),
        step_(samples.size()),
        e_(samples.intervals()),
        f_(samples.intervals()),
        g_(samples.intervals()) {
    const std::size_t n = d_.size();
    d_[0] = left;
    d_[n - 1] = right;
    // Interior slopes from the two neighbouring secants, weighted by the
    // opposite widths (exact on a parabola).
    for (std::size_t k = 1; k + 1 < n; ++k) {
      d_[k] = (h_[k] * s_[k - 1] + h_[k - 1] * s_[k]) / (h_[k - 1] + h_[k]);
    }
    for (std::size_t i = 0; i < w_.size(); ++i) {
      w_[i] = clip(convexity_target(s_, noise_, d_, i, c_.u, c_.v, c_.margin, c_.w_cap));
    }
  }

  NewtonResult run() && {
    double previous = std::numeric_limits<double>::infinity();
    for (std::uint64_t step = 1; step <= kMaxSteps; ++step) {
      build_step_system();
      tridiagonal::solve_pivoted(lower_, diag_, upper_, step_);
      const double alpha = step_length();
      double largest = 0;
      const double moved = apply(alpha, largest);
      if (!std::isfinite(moved)) return {Doubles(), step, false};
      if (alpha == 1) {
        const double scale = largest + 1;
        // Converged when this step, or the next as quadratic convergence
        // predicts it (moved^2 / previous), is within the tolerance, or
        // when the steps have stopped shrinking at the rounding floor.
        if (moved <= c_.tol * scale ||
            (step > 1 && moved * (moved / previous) <= c_.tol * scale) ||
            (moved > kStallRatio * previous && moved <= kStallCeiling * scale)) {
          return {std::move(w_), step, true};
        }
      }
      previous = moved;
    }
    return {Doubles(), kMaxSteps, false};
  }

 private:
  double clip(double w) const {
    if (w < c_.margin) w = c_.margin;
    if (w > c_.w_cap) w = c_.w_cap;
    return w;
  }

  // The condition in product form, free of the divisions of T: with
  // excess = w - margin, the right ratio is active when v gapR^2 >= u gapL^2,
  // and the condition reads excess gapL - v gapR = 0; otherwise
  // excess gapR - u gapL = 0 (gapL = s - d[i], gapR = d[i+1] - s). An
  // interval with a gap <= 0 or a target at the cap has the condition
  // w = w_cap.
  Elimination eliminate(std::size_t i) const {
    // A straight interval's target is the margin, whatever the derivatives.
    if (straight_interval(noise_, i)) {
      return {convexity_target(s_, noise_, d_, i, c_.u, c_.v, c_.margin, c_.w_cap) - w_[i], 0, 0};
    }
    const double gap_left = s_[i] - d_[i];
    const double gap_right = d_[i + 1] - s_[i];
    const double target = convexity_target(s_, noise_, d_, i, c_.u, c_.v, c_.margin, c_.w_cap);
    if (!(gap_left > 0 && gap_right > 0 && target < c_.w_cap)) return {c_.w_cap - w_[i], 0, 0};
    const double excess = w_[i] - c_.margin;
    if (c_.v * gap_right * gap_right >= c_.u * gap_left * gap_left) {
      // residual excess gapL - v gapR; d/dw = gapL, d/dd[i] = -excess, d/dd[i+1] = -v
      const double residual = excess * gap_left - c_.v * gap_right;
      const double by_w = 1 / gap_left;
      return {-residual * by_w, excess * by_w, c_.v * by_w};
    }
    // residual excess gapR - u gapL; d/dw = gapR, d/dd[i] = u, d/dd[i+1] = excess
    const double residual = excess * gap_right - c_.u * gap_left;
    const double by_w = 1 / gap_right;
    return {-residual * by_w, -c_.u * by_w, -excess * by_w};
  }

  // The C2 rows linearised in (delta d, delta w), with delta w eliminated
  // through the convexity rows: row k of the reduced system is tridiagonal
  // because its two parameters w[k-1], w[k] depend only on d[k-1..k+1].
  // The end rows keep d[0] and d[n-1] fixed.
  void build_step_system() {
    const std::size_t n = d_.size();
    for (std::size_t i = 0; i < w_.size(); ++i) {
      const Elimination el = eliminate(i);
      e_[i] = el.e;
      f_[i] = el.f;
      g_[i] = el.g;
    }
    const double u = c_.u;
    const double v = c_.v;
    const double a = u + v;
    const double b = (u + u) + v;
    const double c = u + (v + v);
    lower_[0] = upper_[0] = step_[0] = 0;
    diag_[0] = 1;
    lower_[n - 1] = upper_[n - 1] = step_[n - 1] = 0;
    diag_[n - 1] = 1;
    for (std::size_t k = 1; k + 1 < n; ++k) {
      const double f = u * h_[k];
      const double g = v * h_[k - 1];
      const double lower = u * f;
      const double upper = v * g;
      const double diag = f * (a + w_[k - 1]) + g * (a + w_[k]);
      const double rhs = (f * (b + w_[k - 1])) * s_[k - 1] + (g * (c + w_[k])) * s_[k];
      const double residual = ((lower * d_[k - 1] + diag * d_[k]) + upper * d_[k + 1]) - rhs;
      // d(row)/dw[k-1] = F (d[k] - s[k-1]), d(row)/dw[k] = G (d[k] - s[k]).
      const double by_before = f * (d_[k] - s_[k - 1]);
      const double by_after = g * (d_[k] - s_[k]);
      lower_[k] = lower + by_before * f_[k - 1];
      diag_[k] = (diag + by_before * g_[k - 1]) + by_after * f_[k];
      upper_[k] = upper + by_after * g_[k];
      step_[k] = (-residual - by_before * e_[k - 1]) - by_after * e_[k];
    }
  }

  // The largest fraction of the step that keeps every positive gap of a
  // free interval (one whose condition is in product form) at kGapKept of
  // its value or more. The gaps of an interval held at the cap are left
  // free to change sign: its condition does not depend on them, and inside
  // a straight stretch they are rounding noise that would stall the step.
  double step_length() const {
    double alpha = 1;
    for (std::size_t i = 0; i < w_.size(); ++i) {
      if (f_[i] == 0 && g_[i] == 0) continue;  // held at the cap or the margin
      const double gap_left = s_[i] - d_[i];
      const double gap_right = d_[i + 1] - s_[i];
      // gapL changes by -delta d[i], gapR by +delta d[i+1].
      // Divides only where the current alpha would shrink a gap too far.
      const double keep_left = (1 - kGapKept) * gap_left;
      const double keep_right = (1 - kGapKept) * gap_right;
      if (gap_left > 0 && alpha * step_[i] > keep_left) alpha = keep_left / step_[i];
      if (gap_right > 0 && alpha * -step_[i + 1] > keep_right) alpha = keep_right / -step_[i + 1];
    }
    return alpha;
  }

  // Takes alpha times the step; returns the largest change of w and sets
  // `largest` to the largest new w (NaN when a value is not finite).
  double apply(double alpha, double& largest) {
    double moved = 0;
    for (std::size_t i = 0; i < w_.size(); ++i) {
      const double delta = (e_[i] + f_[i] * step_[i]) + g_[i] * step_[i + 1];
      const double next = clip(w_[i] + alpha * delta);
      if (!std::isfinite(next)) return std::numeric_limits<double>::quiet_NaN();
      moved = std::max(moved, std::fabs(next - w_[i]));
      largest = std::max(largest, next);
      w_[i] = next;
    }
    for (std::size_t k = 0; k < d_.size(); ++k) {
      d_[k] = d_[k] + alpha * step_[k];
      if (!std::isfinite(d_[k])) return std::numeric_limits<double>::quiet_NaN();
    }
    return moved;
  }

  std::span<const double> h_;
  std::span<const double> s_;
  std::span<const double> noise_;
  SolveSettings c_;
  Doubles d_;
  Doubles w_;
  Doubles lower_;
  Doubles diag_;
  Doubles upper_;
  Doubles step_;  // right-hand side, then the step in d
  // The elimination of every interval, one array per coefficient (arrays
  // of n doubles are the sizes the allocator keeps for reuse).
  Doubles e_;
  Doubles f_;
  Doubles g_;
};

}  // namespace

NewtonResult newton_solve(const Samples& samples, std::span<const double> noise,
                          const SolveSettings& settings, double left, double right) {
  return Newton(samples, noise, settings, left, right).run();
}

}  // namespace velarix::rational_cubic::solver
