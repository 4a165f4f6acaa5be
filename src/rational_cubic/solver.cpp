#include "rational_cubic/solver.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "cancel.hpp"
#include "memory.hpp"
#include "rational_cubic/newton.hpp"
#include "tridiagonal.hpp"

namespace velarix::rational_cubic::solver {

std::string_view method_name(Method method) {
  return method == Method::newton ? "newton" : "sweep";
}

std::optional<Method> method_named(std::string_view name) {
  if (name == "sweep") return Method::sweep;
  if (name == "newton") return Method::newton;
  return std::nullopt;
}

namespace {

// A derivative carries rounding errors of a few ulps of |s| + |d| from the
// tridiagonal solve, so a gap of that size has no sign the data decide:
// inside a straight stretch of the data every gap is such noise. Counting
// it as no gap gives the stretch the cap (the chord) on every sweep, where
// the ratio of two noise gaps would be an arbitrary target that changes
// from sweep to sweep and keeps the solve from settling. (Secants of large
// values over long intervals carry a noise of their own, ulps of |y| / h;
// intervals between two knots straight to that rounding take the margin,
// see convexity_target.) The rule changes a target only where a gap lies
// within 16 ulps of its secant, which strictly convex data do not produce,
// so their solves keep their bits.
constexpr double kGapNoise = 16 * 0x1p-53;

// Where the data are straight to their rounding, the rounding the secants
// inherit from the values bounds the gaps as well, and it is far larger than
// the derivative's own when the values are large beside the widths (a long
// table of a line). A gap within this many times the larger rounding of the
// knot's secants is noise there: the derivative is solved from the
// neighbouring secants and carries their rounding besides the gap's own.
// The solve needs only where that noise is (the straight knots); the
// natural ends' check and the verdict of a fitted curve compare slopes with
// secants within it.
constexpr double kGapRounding = 8;

// Neighbouring secants within this many times the sum of their roundings are
// equal as far as the data tell.
constexpr double kStraightSafety = 4;

// The second test is strict so that an infinite gap (from an infinite end
// slope) still leaves room.
bool no_room(double gap, double secant, double derivative) {
  return gap <= 0 || gap < kGapNoise * (std::fabs(secant) + std::fabs(derivative));
}

// The unit roundoff of doubles, 2^-53.
constexpr double kRoundoff = 0x1p-53;

}  // namespace

double secant_rounding(double x0, double x1, double y0, double y1, double h, double secant) {
  const double slope = std::fabs(secant);
  const double values = (std::fabs(y0) + std::fabs(y1)) + slope * (std::fabs(x0) + std::fabs(x1));
  return kRoundoff * (values / h + 3 * slope);
}

Doubles secant_rounding(const Samples& samples) {
  const std::span<const double> x = samples.x();
  const std::span<const double> y = samples.y();
  const std::span<const double> h = samples.widths();
  const std::span<const double> s = samples.secants();
  Doubles rounding(s.size());
  for (std::size_t k = 0; k < s.size(); ++k) {
    rounding[k] = secant_rounding(x[k], x[k + 1], y[k], y[k + 1], h[k], s[k]);
  }
  return rounding;
}

double slope_noise(double rounding, double secant, double slope) {
  return std::max(kGapRounding * rounding, kGapNoise * (std::fabs(secant) + std::fabs(slope)));
}

bool straight_at(std::span<const double> secants, std::span<const double> rounding,
                 std::size_t k) {
  return std::fabs(secants[k] - secants[k - 1]) <=
         kStraightSafety * (rounding[k - 1] + rounding[k]);
}

Doubles gap_noise(const Samples& samples) {
  const std::span<const double> s = samples.secants();
  const Doubles rounding = secant_rounding(samples);
  const std::size_t n = samples.size();
  Doubles noise(n, 0.0);
  for (std::size_t k = 1; k + 1 < n; ++k) {
    if (straight_at(s, rounding, k)) {
      noise[k] = kGapRounding * std::max(rounding[k - 1], rounding[k]);
    }
  }
  if (n > 2) {
    if (noise[1] > 0) noise[0] = kGapRounding * rounding[0];
    if (noise[n - 2] > 0) noise[n - 1] = kGapRounding * rounding[n - 2];
  }
  return noise;
}

namespace {

// A straight interval this many intervals or fewer from a bend takes the cap.
constexpr std::size_t kBendReach = 1;

// Whether a knot within kBendReach intervals of interval i bends.
bool near_bend(std::span<const double> noise, std::size_t i) {
  const std::size_t first = i > kBendReach ? i - kBendReach : 0;
  const std::size_t last = std::min(i + 1 + kBendReach, noise.size() - 1);
  for (std::size_t k = first; k <= last; ++k) {
    if (!(noise[k] > 0)) return true;
  }
  return false;
}

}  // namespace

bool straight_interval(std::span<const double> noise, std::size_t i) {
  return noise[i] > 0 && noise[i + 1] > 0 && !near_bend(noise, i);
}

// The smallest w that keeps interval i convex for the knot derivatives d, plus
// the margin, capped at w_cap. A derivative on the wrong side of the secant,
// or within its rounding of it (gapL or gapR <= kGapNoise (|s| + |d|)),
// leaves no finite bound, so such an interval gets the cap, which is as near
// the chord as the pieces go.
//
// The numerator of the piece's S'' has the Bernstein coefficients
//   u^2 ((A + w) gapL - v gapR),  u^2 v gapL,  u v^2 gapR,  v^2 ((A + w) gapR - u gapL)
// (A = u + v), so the bound v gapR / gapL keeps S'' >= 0 at the left knot
// and u gapL / gapR at the right one, each with room A to spare. A natural
// end pins S'' at its knot to 0, which no w could raise, and leaves the
// rest of the piece convex for any w >= 0 (the last coefficient is then
// gapR ((A + w) - u v / (A + w)) > 0): its bound is left out.
//
// Between two knots where the data are straight to their rounding both gaps
// are rounding noise of either sign, and no bound read from them means
// anything. The cap would take them for curvature all the same: S'' at a
// knot of the chord form is about 2 w gap / h, so the noise of the values,
// ulps of |y| over h, would come out as w_cap times their own curvature.
// Such an interval keeps the least w, the margin, whatever the derivatives:
// the pieces there are nearly the cubic spline's, whose S'' is the data's
// second differences, the rounding of the values over h^2, and a constant
// target also leaves nothing for the sweeps to chase. An interval from a
// straight knot to a bend takes the cap, whatever its gaps: a piece convex
// at its bend and straight at its other knot is the chord, which no finite
// w reaches (read from the gaps, its target would climb sweep after sweep).
// Its slope at the straight knot still differs from the secant by the
// bend's gap over the cap, which a stretch at the margin would carry on as
// a wave of that size, far above the rounding; the straight intervals
// within kBendReach of a bend take the cap as well, each cutting what
// reaches the next by the cap again. Data with no straight knot have no
// noise and keep their bits.
double convexity_target(std::span<const double> secants, std::span<const double> noise,
                        std::span<const double> d, std::size_t i, double u, double v,
                        double margin, double w_cap, bool natural_ends) {
  if (straight_interval(noise, i)) return margin < w_cap ? margin : w_cap;
  if (noise[i] > 0 || noise[i + 1] > 0) return w_cap;  // straight beside a bend
  const double gap_left = secants[i] - d[i];
  const double gap_right = d[i + 1] - secants[i];
  if (no_room(gap_left, secants[i], d[i]) || no_room(gap_right, secants[i], d[i + 1])) {
    return w_cap;
  }
  const bool free_left = natural_ends && i == 0;
  const bool free_right = natural_ends && i + 1 == secants.size();
  // max(v gapR / gapL, u gapL / gapR, 0); a NaN ratio (inf / inf from an
  // overflowing derivative) is left out, so the target is never NaN.
  const double ratio_right = free_left ? 0 : v * gap_right / gap_left;
  const double ratio_left = free_right ? 0 : u * gap_left / gap_right;
  double bound = 0;
  if (ratio_right > bound) bound = ratio_right;
  if (ratio_left > bound) bound = ratio_left;
  const double target = margin + bound;
  return target < w_cap ? target : w_cap;
}

namespace {

// The rows of the derivative system. Only the diagonal and the right-hand
// side depend on w, so the sweeps of one solve keep these arrays and rewrite
// just those two: every entry is the same product of the same operands that
// a fresh system would hold.
class DerivativeSystem {
 public:
  DerivativeSystem(const Samples& samples, const EndRows& ends, double u, double v)
      : h_(samples.widths()),
        s_(samples.secants()),
        u_(u),
        v_(v),
        natural_(ends.natural()),
        lower_(samples.size()),
        diag_(samples.size()),
        upper_(samples.size()),
        rhs_(samples.size()),
        eliminated_(samples.size()),
        derivatives_(samples.size()) {
    const std::size_t n = diag_.size();
    diag_[0] = 1;
    rhs_[0] = ends.left;
    diag_[n - 1] = 1;
    rhs_[n - 1] = ends.right;
    if (natural_) {
      // S'' of the end piece at its outer knot, set to 0 (see `solve`).
      upper_[0] = v;
      lower_[n - 1] = u;
    }
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
    if (natural_) {
      // S'' of the first piece at x[0] and of the last at x[n-1], up to a
      // positive factor (the two ends of the row above, each on its own):
      //   (A + w[0]) d[0] + v d[1] = (C + w[0]) s[0],
      //   u d[n-2] + (A + w[m-1]) d[n-1] = (B + w[m-1]) s[m-1].
      const std::size_t m = n - 1;
      diag_[0] = a + w[0];
      rhs_[0] = (c + w[0]) * s_[0];
      diag_[n - 1] = a + w[m - 1];
      rhs_[n - 1] = (b + w[m - 1]) * s_[m - 1];
    }
    tridiagonal::solve(lower_, diag_, upper_, rhs_, eliminated_, derivatives_);
    return derivatives_;
  }

 private:
  std::span<const double> h_;
  std::span<const double> s_;
  double u_;
  double v_;
  bool natural_;
  Doubles lower_;
  Doubles diag_;
  Doubles upper_;
  Doubles rhs_;
  // The solver's own storage, reused by every sweep.
  Doubles eliminated_;
  Doubles derivatives_;
};

// ---------------------------------------------------------------- stall rule
//
// The change C of a sweep cannot fall below its rounding floor: the targets
// are computed from derivatives that carry rounding errors of relative size
// 2^-53, and interval i amplifies them by
//   kappa_i = (t_i - margin) (|s_i| + |d_i| + |d_i+1|) (1/gapL + 1/gapR),
// the sensitivity of its target t_i to its two derivatives, so the floor is
// about 0.5 to 2 relaxation 2^-53 max kappa_i. On long smooth data kappa
// grows with n and the floor rises above tol (1 + W): a solve that is as
// accurate as doubles allow would never meet the tolerance. The rule that
// accepts such a solve, applied after every sweep k that fails the
// tolerance test:
//   - keep the smallest change so far, C_best, and the sweep k_best where it
//     was made;
//   - at every sweep k that is a multiple of K = 20, the solve has converged
//     when a snapshot of w exists (taken K sweeps earlier) and
//       k - k_best >= K              (no new smallest change for K sweeps),
//       max |w - snapshot| <= 4 C_best  (w no longer drifts: a slow
//                                     contraction moves it by about K C),
//       C_best <= 8 relaxation 2^-53 kappa  (the change is rounding noise),
//       C_best <= 1e-6 (W + 1)       (and small in any case),
//     with kappa the largest kappa_i over the intervals whose gaps are both
//     > 0 and whose target is below w_cap, from the derivatives of sweep k;
//     otherwise w becomes the new snapshot.
// A solve that meets the tolerance before this rule fires is untouched.

constexpr std::uint64_t kStallWindow = 20;
// w may move by a few times the noise of one sweep within a window.
constexpr double kStallDrift = 4;
// The floor lies within 0.5 to 2 relaxation 2^-53 kappa; 8 leaves room.
constexpr double kFloorFactor = 8;
// Whatever the floor, a change above this relative size is never accepted.
constexpr double kStallCeiling = 1e-6;

// max kappa_i, each summed in the fixed order (|s| + |d_i|) + |d_i+1|.
double rounding_sensitivity(std::span<const double> s, std::span<const double> noise,
                            std::span<const double> d, double u, double v, double margin,
                            double w_cap, bool natural_ends) {
  double kappa = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const double gap_left = s[i] - d[i];
    const double gap_right = d[i + 1] - s[i];
    if (!(gap_left > 0 && gap_right > 0)) continue;
    const double target = convexity_target(s, noise, d, i, u, v, margin, w_cap, natural_ends);
    if (!(target < w_cap)) continue;
    const double size = (std::fabs(s[i]) + std::fabs(d[i])) + std::fabs(d[i + 1]);
    const double k = (target - margin) * size * (1 / gap_left + 1 / gap_right);
    if (k > kappa) kappa = k;
  }
  return kappa;
}

double largest_difference(std::span<const double> a, std::span<const double> b) {
  double largest = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const double difference = std::fabs(a[i] - b[i]);
    if (difference > largest) largest = difference;
  }
  return largest;
}

// The stall rule over the sweeps of one solve. `from_newton` says that the
// sweeps start from a converged Newton result: Newton's last steps already
// showed that w no longer moves, which is what the windows establish for a
// cold start, so the first sweep accepts a change within the floor bound at
// once.
class StallRule {
 public:
  StallRule(const Samples& samples, std::span<const double> noise, const SolveSettings& settings,
            bool natural_ends, bool from_newton)
      : s_(samples.secants()),
        noise_(noise),
        c_(settings),
        natural_ends_(natural_ends),
        from_newton_(from_newton) {}

  // Called after sweep k failed the tolerance test, with its change, its
  // largest w, the new w and the derivatives the sweep used.
  bool settled(std::uint64_t k, double change, double largest, std::span<const double> w,
               std::span<const double> d) {
    if (change < best_change_) {
      best_change_ = change;
      best_sweep_ = k;
    }
    if (from_newton_ && k == 1) return at_floor(change, largest, d);
    if (k % kStallWindow != 0) return false;
    const bool settled = !snapshot_.empty() && k - best_sweep_ >= kStallWindow &&
                         largest_difference(w, snapshot_) <= kStallDrift * best_change_ &&
                         at_floor(best_change_, largest, d);
    snapshot_.assign(w.begin(), w.end());  // allocated at the first window only
    return settled;
  }

 private:
  bool at_floor(double change, double largest, std::span<const double> d) const {
    return change <= kStallCeiling * (largest + 1) &&
           change <= kFloorFactor * c_.relaxation * kRoundoff *
                         rounding_sensitivity(s_, noise_, d, c_.u, c_.v, c_.margin, c_.w_cap,
                                              natural_ends_);
  }

  std::span<const double> s_;
  std::span<const double> noise_;
  SolveSettings c_;
  bool natural_ends_;
  bool from_newton_;
  Doubles snapshot_;
  double best_change_ = std::numeric_limits<double>::infinity();  // C_best
  std::uint64_t best_sweep_ = 0;                                  // k_best
};

// The relaxed sweeps from `w`, with the stall rule; `solves_before` counts
// the Newton steps made before them.
Result<Output> sweep(const Samples& samples, std::span<const double> noise,
                     const SolveSettings& settings, DerivativeSystem& system, bool natural_ends,
                     Doubles w, bool from_newton, std::uint64_t solves_before) {
  const double u = settings.u;
  const double v = settings.v;
  const double margin = settings.margin;
  const double w_cap = settings.w_cap;
  const std::span<const double> s = samples.secants();
  const std::size_t m = samples.intervals();
  const double relaxation = settings.relaxation;
  const double keep = 1 - relaxation;
  StallRule stall(samples, noise, settings, natural_ends, from_newton);
  double last_change = std::numeric_limits<double>::quiet_NaN();
  for (std::uint64_t k = 0;;) {
    // A stopped fit returns anything: fit_in_scale discards it.
    if (k == settings.max_iter || cancel::requested()) {
      return NoConvergence{settings.max_iter, last_change};
    }
    const std::span<const double> d = system.solve(w);
    double largest = 0;  // W
    double change = 0;   // C
    for (std::size_t i = 0; i < m; ++i) {
      const double target = convexity_target(s, noise, d, i, u, v, margin, w_cap, natural_ends);
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
    if (change <= settings.tol * (largest + 1) || stall.settled(k, change, largest, w, d)) {
      // Derivatives recomputed from the final w, so the two agree exactly.
      const std::span<const double> derivatives = system.solve(w);
      return Output{Doubles(derivatives.begin(), derivatives.end()), std::move(w),
                    solves_before + k};
    }
  }
}

}  // namespace

Doubles solve_derivatives(const Samples& samples, std::span<const double> w, double left,
                          double right, double u, double v) {
  return solve_derivatives(samples, w, EndRows{EndRows::Kind::slopes, left, right}, u, v);
}

Doubles solve_derivatives(const Samples& samples, std::span<const double> w, const EndRows& ends,
                          double u, double v) {
  if (w.size() + 1 != samples.size()) {
    throw InternalError("one convexity parameter per interval expected");
  }
  if (ends.periodic()) throw InternalError("the rational cubic has no periodic system");
  DerivativeSystem system(samples, ends, u, v);
  const std::span<const double> d = system.solve(w);
  return Doubles(d.begin(), d.end());
}

Result<Output> solve(const Samples& samples, const SolveSettings& settings, double left,
                     double right) {
  return solve(samples, settings, EndRows{EndRows::Kind::slopes, left, right});
}

Result<Output> solve(const Samples& samples, const SolveSettings& settings, const EndRows& ends) {
  const double u = settings.u;
  const double v = settings.v;
  const double w_cap = settings.w_cap;
  if (!(w_cap >= 0)) throw InternalError("convexity cap must be >= 0");
  if (ends.periodic()) throw InternalError("the rational cubic has no periodic system");
  const bool natural = ends.natural();
  const std::size_t m = samples.intervals();

  const Doubles noise = gap_noise(samples);
  if (m == 1) {
    // With natural ends the one piece has S'' = 0 at both knots: the chord.
    const double s = samples.secants()[0];
    Doubles d = natural ? Doubles{s, s} : Doubles{ends.left, ends.right};
    Doubles w{
        convexity_target(samples.secants(), noise, d, 0, u, v, settings.margin, w_cap, natural)};
    return Output{std::move(d), std::move(w), 0};
  }

  // The sweeps' system is set up after Newton has released its arrays, so
  // that on long data it takes over their pages instead of fresh ones. The
  // Newton steps hold the end slopes fixed, so natural ends are reached by
  // the sweeps alone.
  std::uint64_t steps = 0;
  Doubles w;
  bool settled = false;
  if (settings.method == Method::newton && !natural) {
    NewtonResult newton = newton_solve(samples, noise, settings, ends.left, ends.right);
    steps = newton.steps;
    settled = newton.converged;
    if (settled) w = std::move(newton.w);
  }
  if (!settled) w.assign(m, 0.0);
  DerivativeSystem system(samples, ends, u, v);
  return sweep(samples, noise, settings, system, natural, std::move(w), settled, steps);
}

}  // namespace velarix::rational_cubic::solver
