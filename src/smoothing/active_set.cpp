#include "smoothing/active_set.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "cancel.hpp"

namespace velarix::smoothing {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
// GCV needs residual freedom to judge by: fits using more than this share of
// the points are near interpolation, where RSS and n - edf both vanish and
// their ratio says nothing.
constexpr double kAdmissibleShare = 0.8;
// A coordinate or a gradient counts as of the wrong sign only beyond the
// rounding of the differences and sums that compute it.
constexpr double kSignTolerance = 1e-10;
// A held bound is released only when its gradient is negative beyond this
// share of the gradient's scale. The gradient is G c - b at a solution that
// is itself only as accurate as the banded system is conditioned (with a
// knot at every point, about 1e8 from the penalty's scale to the data's),
// so below this the sign is noise, and releasing on it made the iteration
// trade the same few dozen bounds back and forth. A bound kept held whose
// multiplier is that small moves the objective by nothing measurable.
constexpr double kMultiplierTolerance = 1e-6;
// The iteration moves every bound that asks to move for this many rounds,
// then one bound a round (which settles the rare cycle of the first), and
// stops after the second many; a stopped solve is made feasible, so the
// shape holds either way.
constexpr std::size_t kJointRounds = 30;
constexpr std::size_t kRounds = 230;
// Refinements of each banded solve (see ReducedSystem::solve).
constexpr int kRefinements = 1;

}  // namespace

ReducedSystem::ReducedSystem(const Reduction& z, const NormalEquations& normal,
                             const Band& penalty)
    : z_(z), line_(z.line_values()), vwv_(normal.vwv), rank_(z.rank) {
  if (z.identity) {
    g_ = &normal.band;
    p_ = &penalty;
    q_ = normal.rhs;
  } else {
    g_own_ = z.reduce(normal.band);
    p_own_ = z.reduce(penalty);
    q_own_.resize(z.columns);
    z.project(normal.rhs, q_own_);
    g_ = &g_own_;
    p_ = &p_own_;
    q_ = q_own_;
  }
}

// multiply() adds the entries left of the diagonal first, row after row
// above, then the row's own sum from the diagonal on.
double ReducedSystem::null_column(std::size_t a, std::size_t i) const {
  const Band& g = *g_;
  const std::size_t n = g.size;
  const std::size_t w = g.width;
  if (w == 3 && i >= 3 && i + 3 < n) {
    // The rows inside a band of the cubic basis's own width, spelt out (the
    // same sums in the same order).
    const double* d = g.data.data();
    const double* row = d + 4 * i;
    if (a == 0) {
      const double out = (d[4 * (i - 3) + 3] + d[4 * (i - 2) + 2]) + d[4 * (i - 1) + 1];
      return out + (((row[0] + row[1]) + row[2]) + row[3]);
    }
    const double* x = line_.data();
    const double out = (d[4 * (i - 3) + 3] * x[i - 3] + d[4 * (i - 2) + 2] * x[i - 2]) +
                       d[4 * (i - 1) + 1] * x[i - 1];
    return out + (((row[0] * x[i] + row[1] * x[i + 1]) + row[2] * x[i + 2]) + row[3] * x[i + 3]);
  }
  double out = 0;
  for (std::size_t k = i > w ? i - w : 0; k < i; ++k) {
    out += g.data[(w + 1) * k + (i - k)] * null_vector(a, k);
  }
  const double* row = &g.data[(w + 1) * i];
  double sum = row[0] * null_vector(a, i);
  for (std::size_t d = 1; d <= w && i + d < n; ++d) sum += row[d] * null_vector(a, i + d);
  return out + sum;
}

namespace {

// x = S^-1 b for the 1x1 or 2x2 symmetric S.
void solve_small(const double s[2][2], std::size_t r, const double b[2], double x[2]) {
  if (r == 1) {
    x[0] = b[0] / s[0][0];
    return;
  }
  const double det = s[0][0] * s[1][1] - s[0][1] * s[1][0];
  x[0] = (s[1][1] * b[0] - s[0][1] * b[1]) / det;
  x[1] = (s[0][0] * b[1] - s[1][0] * b[0]) / det;
}

// x^T M y for x_i = fx(i), y_i = fy(i), summed as bilinear() sums.
template <class X, class Y>
double bilinear_of(const Band& m, X&& fx, Y&& fy) {
  const std::size_t n = m.size;
  const std::size_t w = m.width;
  double sum = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double* row = &m.data[(w + 1) * i];
    double right = row[0] * fy(i);
    double left = 0;
    for (std::size_t d = 1; d <= w && i + d < n; ++d) {
      right += row[d] * fy(i + d);
      left += row[d] * fx(i + d);
    }
    sum += fx(i) * right + fy(i) * left;
  }
  return sum;
}

}  // namespace

// With C = (G N) below the first r rows, A = N^T G N, Y = H~^-1 C and
// v = H~^-1 q~: S = A - C^T Y, alpha = S^-1 (N^T q - C^T v), z~ = v - Y alpha.
// Refinement follows: the residual of the banded system, summed in extended
// precision and solved with the same factor, takes back what the factor's
// rounding lost (at a large lambda, a good share of the digits). The penalty
// meets only z~ there, as in the solve: lam P applied to N alpha would
// return the rounding of lam P times the line instead of zero. The columns
// G N are summed afresh where they are read: stored, they would cost two
// arrays as long as the coefficients.
bool ReducedSystem::solve(double lam, Workspace& work, std::span<double> z) const {
  const std::size_t m = z_.columns;
  const std::size_t r = rank_;
  const std::size_t n = m - r;
  if (!work.factor.factor(*g_, *p_, lam, r)) return false;
  work.y.resize(r * n);
  for (std::size_t a = 0; a < r; ++a) {
    double* ya = work.y.data() + a * n;
    for (std::size_t i = 0; i < n; ++i) ya[i] = null_column(a, r + i);
    work.factor.solve(std::span<double>(ya, n));
  }
  // S = A - C^T Y subtracts nearly equal terms where G alone is nearly
  // singular along the null vectors (a knot at every point leaves G two
  // coefficients short). The same S is w_a^T H w_b for w_a = N_a - (0, y_a),
  // which H maps into the first r rows, that is w^T G w + lam y^T P~ y: sums
  // of positive semidefinite forms.
  for (std::size_t a = 0; a < r; ++a) {
    const std::span<const double> ya(work.y.data() + a * n, n);
    const auto wa = [&](std::size_t i) { return i < r ? null_vector(a, i) : null_vector(a, i) - ya[i - r]; };
    for (std::size_t b = 0; b <= a; ++b) {
      const std::span<const double> yb(work.y.data() + b * n, n);
      const auto wb = [&](std::size_t i) { return i < r ? null_vector(b, i) : null_vector(b, i) - yb[i - r]; };
      work.s[a][b] = work.s[b][a] = bilinear_of(*g_, wa, wb) + lam * bilinear(*p_, r, ya, yb);
    }
  }
  work.tail.resize(m);
  work.rhs.assign(q_.begin(), q_.end());
  if (!solve_with(work, z, false)) return false;
  for (int pass = 0; pass < kRefinements; ++pass) {
    residual(*g_, *p_, lam, q_, z, work.tail, work.rhs);
    if (!solve_with(work, z, true)) return false;
  }
  return true;
}

// The bordered solve of (G + lam P) z = rhs with the factor and S in `work`;
// work.tail is z's part (0, ..., 0, z~) off the null vectors. The solve of
// the banded block runs in place in rhs's rows past the first r, once the
// null vectors' products with the whole of it are taken.
bool ReducedSystem::solve_with(Workspace& work, std::span<double> z, bool add) const {
  const std::size_t m = z_.columns;
  const std::size_t r = rank_;
  const std::size_t n = m - r;
  double small_rhs[2] = {};
  for (std::size_t a = 0; a < r; ++a) {
    double nr = 0;
    for (std::size_t i = 0; i < m; ++i) nr += null_vector(a, i) * work.rhs[i];
    small_rhs[a] = nr;
  }
  const std::span<double> v = std::span<double>(work.rhs).subspan(r, n);
  work.factor.solve(v);
  for (std::size_t a = 0; a < r; ++a) {
    double cv = 0;
    for (std::size_t i = 0; i < n; ++i) cv += null_column(a, r + i) * v[i];
    small_rhs[a] -= cv;
  }
  double alpha[2] = {};
  if (r > 0) solve_small(work.s, r, small_rhs, alpha);
  if (!(std::isfinite(alpha[0]) && std::isfinite(alpha[1]))) return false;
  const std::span<double> tail(work.tail);
  for (std::size_t i = 0; i < m; ++i) {
    double step = (r > 0 ? alpha[0] : 0.0) + (r == 2 ? alpha[1] * line_[i] : 0.0);
    if (i >= r) {
      double sum = v[i - r];
      for (std::size_t a = 0; a < r; ++a) sum -= work.y[a * n + i - r] * alpha[a];
      step += sum;
      tail[i] = add ? tail[i] + sum : sum;
    } else if (!add) {
      tail[i] = 0;
    }
    z[i] = add ? z[i] + step : step;
  }
  return true;
}

// The hat matrix's trace is trace(H^-1 G) = m - lam trace(H^-1 P) for
// H = G + lam P. The penalty vanishes on the null vectors, so only the z~
// block of H^-1 meets it, and by the block inverse through S that block is
// H~^-1 + Y S^-1 Y^T:
//   trace = m - lam (tr(H~^-1 P~) + tr(S^-1 Y^T P~ Y)).
// Every term is a trace of a positive semidefinite product. The form in G
// instead, tr(H~^-1 G~) + 2 r - tr(S^-1 (A - Y^T G~ Y)), subtracts nearly
// equal terms where G alone is nearly singular along the null vectors (a
// knot at every point leaves G two coefficients short), and its rounding
// then moved the score enough to move the chosen lambda.
double ReducedSystem::edf(double lam, const Workspace& work) const {
  const std::size_t r = rank_;
  const std::size_t n = z_.columns - r;
  double inverse[2][2] = {};
  if (r == 1) {
    inverse[0][0] = 1 / work.s[0][0];
  } else if (r == 2) {
    const double det = work.s[0][0] * work.s[1][1] - work.s[0][1] * work.s[1][0];
    inverse[0][0] = work.s[1][1] / det;
    inverse[1][1] = work.s[0][0] / det;
    inverse[0][1] = inverse[1][0] = -work.s[0][1] / det;
  }
  double penalised = work.factor.trace_with(*p_, r);
  for (std::size_t a = 0; a < r; ++a) {
    for (std::size_t b = 0; b < r; ++b) {
      const std::span<const double> ya(work.y.data() + a * n, n);
      const std::span<const double> yb(work.y.data() + b * n, n);
      penalised += inverse[a][b] * bilinear(*p_, r, ya, yb);
    }
  }
  return static_cast<double>(z_.columns) - lam * penalised;
}

// v^T W v - 2 z^T q + z^T G z.
double ReducedSystem::rss(std::span<const double> z) const {
  double zq = 0;
  for (std::size_t i = 0; i < z.size(); ++i) zq += z[i] * q_[i];
  return vwv_ - 2 * zq + quadratic(*g_, z);
}

namespace {

double score_rss(const NormalEquations& score, std::span<const double> c) {
  double cb = 0;
  for (std::size_t i = 0; i < c.size(); ++i) cb += c[i] * score.rhs[i];
  return score.vwv - 2 * cb + quadratic(score.band, c);
}

// The bounds to move, by the coordinates beta and the gradient along them:
// a free bound below zero is held, a held one whose gradient is negative
// (the objective falls as its coordinate grows) is released. In the joint
// rounds all move; later only the one furthest beyond its tolerance.
bool move_bounds(std::span<const std::uint8_t> bounded, std::span<const double> beta,
                 std::span<const double> beta_scale, std::span<const double> gradient,
                 std::span<const double> gradient_scale, bool joint,
                 Vector<std::uint8_t>& held) {
  bool moved = false;
  std::size_t worst = bounded.size();
  double worst_ratio = 1;
  for (std::size_t j = 0; j < bounded.size(); ++j) {
    if (!bounded[j]) continue;
    const double ratio = held[j] ? -gradient[j] / (kMultiplierTolerance * gradient_scale[j] + 1e-300)
                                 : -beta[j] / (kSignTolerance * beta_scale[j]);
    if (!(ratio > 1)) continue;
    if (joint) {
      held[j] = !held[j];
      moved = true;
    } else if (ratio > worst_ratio) {
      worst_ratio = ratio;
      worst = j;
    }
  }
  if (!joint && worst < bounded.size()) {
    held[worst] = !held[worst];
    moved = true;
  }
  return moved;
}

}  // namespace

std::optional<Solution> solve_at(const Programme& programme, double lam,
                                 std::span<const std::uint8_t> start, Workspace& work) {
  const Coordinates& coordinates = *programme.coordinates;
  const std::span<const std::uint8_t> bounded = coordinates.bounded();
  const std::size_t k = coordinates.size();
  const bool shaped = coordinates.bounded_count() > 0;
  Solution solution;
  solution.lam = lam;
  solution.held.assign(k, 0);
  if (shaped && start.size() == k) {
    for (std::size_t j = 0; j < k; ++j) solution.held[j] = start[j] && bounded[j];
  }
  if (!shaped && programme.stacked) {
    // The trace of the hat matrix is tr(H^-1 G) itself: H^-1 comes from R,
    // and G carries no rounding beyond its own entries.
    Doubles c(k);
    if (!factor_stacked(*programme.basis, *programme.stacked, lam, work.factor, c)) {
      return std::nullopt;
    }
    solution.edf = std::min(work.factor.trace_with(programme.fit->band, 0), static_cast<double>(k));
    if (!(solution.edf >= 0)) return std::nullopt;  // the trace lost to rounding
    solution.rss = std::max(score_rss(programme.score ? *programme.score : *programme.fit, c), 0.0);
    solution.c = std::move(c);
    const double n = programme.points;
    solution.gcv = solution.edf <= kAdmissibleShare * n
                       ? n * solution.rss / ((n - solution.edf) * (n - solution.edf))
                       : kInfinity;
    return solution;
  }
  // The scratch of the bounds' moves, only with a shape.
  const std::size_t scratch = shaped ? k : 0;
  Doubles beta(scratch), beta_scale(scratch), gradient(scratch), gradient_scale(scratch),
      g(scratch);
  for (std::size_t round = 0;; ++round) {
    // A stopped fit's result is discarded (see cancel.hpp).
    if (cancel::requested()) return std::nullopt;
    const Reduction z = coordinates.reduction(solution.held, programme.greville);
    const ReducedSystem system(z, *programme.fit, *programme.penalty);
    // With no bound held the reduced coordinates are c itself.
    Doubles reduced(z.identity ? 0 : z.columns);
    Doubles c(k);
    if (!system.solve(lam, work, z.identity ? std::span<double>(c) : std::span<double>(reduced))) {
      return std::nullopt;
    }
    if (!z.identity) z.expand(reduced, c);
    bool settled = !shaped;
    if (shaped && round < kRounds) {
      const Coefficients curve = coordinates.curve_of(c);
      coordinates.beta_of(curve, beta);
      double size = 0;
      for (const double v : curve.c) size = std::max(size, std::fabs(v));
      coordinates.beta_scales(size, beta_scale);
      // g = G c - b and its rounding scale |G| |c| + |b|.
      const NormalEquations& fit = *programme.fit;
      multiply(fit.band, curve.c, g);
      for (std::size_t i = 0; i < k; ++i) g[i] -= fit.rhs[i];
      coordinates.gradient(g, curve, lam, gradient);
      Doubles magnitude(k);
      for (std::size_t i = 0; i < k; ++i) magnitude[i] = std::fabs(curve.c[i]);
      multiply(fit.band, magnitude, g);
      for (std::size_t i = 0; i < k; ++i) g[i] += std::fabs(fit.rhs[i]);
      coordinates.gradient_scales(g, gradient_scale);
      settled = !move_bounds(bounded, beta, beta_scale, gradient, gradient_scale,
                             round < kJointRounds, solution.held);
      c = curve.c;
    }
    if (!settled && round >= kRounds) {
      // Not settled: the nearest feasible curve, by the bounds' coordinates
      // clamped to them.
      coordinates.beta_of(coordinates.curve_of(c), beta);
      for (std::size_t j = 0; j < k; ++j) {
        if (bounded[j] && (solution.held[j] || beta[j] < 0)) beta[j] = 0;
      }
      c = coordinates.curve(beta).c;
    }
    if (settled || round >= kRounds) {
      solution.edf = std::min(system.edf(lam, work), static_cast<double>(z.columns));
      // The trace as m - lam tr(...) cancels at a lambda far above the
      // data's scale; a trace below zero is its rounding, not the fit's
      // freedom, and this lambda cannot be served.
      if (!(solution.edf >= 0)) return std::nullopt;
      const NormalEquations* score = programme.score;
      if (!score && !settled) score = programme.fit;
      solution.rss = std::max(
          score ? score_rss(*score, c) : system.rss(z.identity ? c : reduced), 0.0);
      solution.c = std::move(c);
      break;
    }
  }
  solution.active = 0;
  for (const std::uint8_t h : solution.held) solution.active += h;
  const double n = programme.points;
  solution.gcv = solution.edf <= kAdmissibleShare * n
                     ? n * solution.rss / ((n - solution.edf) * (n - solution.edf))
                     : kInfinity;
  return solution;
}

}  // namespace velarix::smoothing
