#include "smoothing/search.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "cancel.hpp"

namespace velarix::smoothing {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// GCV needs residual freedom to judge by: fits using more than this share of
// the points are near interpolation, where RSS and n - edf both vanish and
// their ratio says nothing.
constexpr double kAdmissibleShare = 0.8;

// The grid, in log10(lambda / lam_scale). At 0 the fit bends on the scale of
// one segment; its curve turns into the least-squares line once it bends on
// the scale of the whole range, (segments)^4 further up. The grid spans both,
// with margins, in steps of half a decade.
constexpr double kGridBelow = -4;
constexpr double kGridAbove = 3;
constexpr double kGridStep = 0.5;
// The bracketing search stops when log10(lambda) is known this closely; the
// score is flat to a few parts in a thousand there.
constexpr double kSearchTolerance = 0.01;

// The effective degrees of freedom tr(Q_FF^-1 G_FF), the trace of the hat
// matrix, as tr(X G_FF X^T) with X = L^-1: a sum of quadratic forms of the
// positive semidefinite G, each row's non-negative up to rounding. The
// equal m - lambda tr(Q^-1 P) cancels to nothing where the penalty
// dominates, and crowded knots (whose penalty grows with gap^-3) left it
// negative.
double hat_trace(const Factor& factor, const Doubles& gram, std::size_t k) {
  const std::size_t m = factor.size();
  Doubles x(m * m, 0.0);
  for (std::size_t col = 0; col < m; ++col) {
    // Cubic in the knots: a stop asked for meanwhile is answered here (the
    // caller discards what a stopped fit computed).
    if (cancel::requested()) return 0;
    x[col * m + col] = 1 / factor.at(col, col);
    for (std::size_t r = col + 1; r < m; ++r) {
      double sum = 0;
      for (std::size_t p = col; p < r; ++p) sum -= factor.at(r, p) * x[p * m + col];
      x[r * m + col] = sum / factor.at(r, r);
    }
  }
  const std::span<const std::size_t> index = factor.index();
  double trace = 0;
  for (std::size_t r = 0; r < m; ++r) {
    if (cancel::requested()) return 0;
    const double* row = &x[r * m];
    double form = 0;
    for (std::size_t a = 0; a <= r; ++a) {
      if (row[a] == 0) continue;
      const double* g = &gram[index[a] * k];
      double ga = 0;
      for (std::size_t b = 0; b <= r; ++b) ga += g[index[b]] * row[b];
      form += row[a] * ga;
    }
    trace += std::max(form, 0.0);
  }
  return trace;
}

double quadratic_form(const Doubles& matrix, const Doubles& v, std::size_t band) {
  const std::size_t k = v.size();
  double sum = 0;
  for (std::size_t i = 0; i < k; ++i) {
    if (v[i] == 0) continue;
    for (std::size_t j = (i > band ? i - band : 0); j < k && j <= i + band; ++j) {
      sum += v[i] * matrix[i * k + j] * v[j];
    }
  }
  return sum;
}

// v^T W v - 2 beta^T q + beta^T G beta, with the weights of `system`.
double residual_squares(const Projected& system, const Doubles& beta) {
  const std::size_t k = beta.size();
  double sum = system.vwv;
  for (std::size_t i = 0; i < k; ++i) {
    if (beta[i] == 0) continue;
    double row = 0;
    for (std::size_t j = 0; j < k; ++j) row += system.gram[i * k + j] * beta[j];
    sum += beta[i] * (row - 2 * system.q[i]);
  }
  return sum;
}

}  // namespace

Projected project(const Coordinates& coordinates, const NormalEquations& normal) {
  const std::size_t k = coordinates.size();
  const Doubles& t = coordinates.transform();
  // G T with G banded (|i - j| <= 3), then T^T (G T).
  Doubles gt(k * k, 0.0);
  for (std::size_t i = 0; i < k; ++i) {
    for (std::size_t j = (i > 3 ? i - 3 : 0); j < k && j <= i + 3; ++j) {
      const double g = i <= j ? normal.band[4 * i + (j - i)] : normal.band[4 * j + (i - j)];
      if (g == 0) continue;
      for (std::size_t col = 0; col < k; ++col) gt[i * k + col] += g * t[j * k + col];
    }
  }
  Projected out{Doubles(k * k, 0.0), Doubles(k, 0.0), normal.vwv};
  for (std::size_t row = 0; row < k; ++row) {
    const double* t_row = &t[row * k];
    const double* gt_row = &gt[row * k];
    for (std::size_t i = 0; i < k; ++i) {
      if (t_row[i] == 0) continue;
      out.q[i] += t_row[i] * normal.rhs[row];
      for (std::size_t j = 0; j < k; ++j) out.gram[i * k + j] += t_row[i] * gt_row[j];
    }
  }
  return out;
}

// With the free set's solution, beta^T G beta = beta^T q - lambda beta^T P beta,
// so RSS = v^T W v - beta^T q - lambda beta^T P beta needs no pass over the data.
std::optional<Solution> solve_at(const Programme& programme, double lam, ActiveSet start) {
  const Coordinates& coordinates = *programme.coordinates;
  const std::size_t k = coordinates.size();
  Doubles q_matrix = programme.fit.gram;
  const Doubles& penalty = coordinates.penalty();
  for (std::size_t i = 0; i < k * k; ++i) q_matrix[i] += lam * penalty[i];
  Factor factor(k);
  Solution solution;
  solution.state = std::move(start);
  if (!solve_bounded(q_matrix, programme.fit.q, coordinates.bounded(), solution.state, factor)) {
    return std::nullopt;
  }
  const Doubles& beta = solution.state.beta;
  solution.lam = lam;
  solution.edf = std::min(hat_trace(factor, programme.fit.gram, k), static_cast<double>(factor.size()));
  if (programme.score) {
    solution.rss = std::max(residual_squares(*programme.score, beta), 0.0);
  } else {
    double fitted = 0;
    for (std::size_t j = 0; j < k; ++j) fitted += beta[j] * programme.fit.q[j];
    const double roughness = quadratic_form(penalty, beta, coordinates.penalty_band());
    solution.rss = std::max(programme.fit.vwv - fitted - lam * roughness, 0.0);
  }
  const double n = programme.points;
  solution.gcv = solution.edf <= kAdmissibleShare * n
                     ? n * solution.rss / ((n - solution.edf) * (n - solution.edf))
                     : kInfinity;
  solution.active = factor.size() < k ? k - factor.size() : 0;
  return solution;
}

namespace {

// Minimises f on [a, b] from a point x inside with known f(x): Brent's
// method, parabolic steps safeguarded by golden sections.
template <class F>
void brent(F&& f, double a, double b, double x, double fx, double tol) {
  constexpr double kGolden = 0.3819660112501051;
  double w = x, v = x, fw = fx, fv = fx;
  double d = 0, e = 0;
  for (int iteration = 0; iteration < 100; ++iteration) {
    if (cancel::requested()) return;  // the stopped fit is discarded
    const double middle = 0.5 * (a + b);
    if (std::fabs(x - middle) <= 2 * tol - 0.5 * (b - a)) return;
    bool golden = true;
    if (std::fabs(e) > tol) {
      double r = (x - w) * (fx - fv);
      double q = (x - v) * (fx - fw);
      double p = (x - v) * q - (x - w) * r;
      q = 2 * (q - r);
      if (q > 0) p = -p;
      q = std::fabs(q);
      const double previous = e;
      e = d;
      if (std::fabs(p) < std::fabs(0.5 * q * previous) && p > q * (a - x) && p < q * (b - x)) {
        d = p / q;
        const double u = x + d;
        if (u - a < 2 * tol || b - u < 2 * tol) d = x < middle ? tol : -tol;
        golden = false;
      }
    }
    if (golden) {
      e = (x < middle ? b : a) - x;
      d = kGolden * e;
    }
    const double u = x + (std::fabs(d) >= tol ? d : (d > 0 ? tol : -tol));
    const double fu = f(u);
    if (fu <= fx) {
      (u < x ? b : a) = x;
      v = w, fv = fw, w = x, fw = fx, x = u, fx = fu;
    } else {
      (u < x ? a : b) = u;
      if (fu <= fw || w == x) {
        v = w, fv = fw, w = u, fw = fu;
      } else if (fu <= fv || v == x || v == w) {
        v = u, fv = fu;
      }
    }
  }
}

}  // namespace

std::optional<Solution> choose_lambda(const Programme& programme, ActiveSet start,
                                      double lowest) {
  const double segments = static_cast<double>(programme.coordinates->size() - 3);
  const double top = 4 * std::log10(segments) + kGridAbove;
  const double bottom = lowest > 0 ? std::log10(lowest / programme.lam_scale) : kGridBelow;
  const auto lam_at = [&](double u) { return programme.lam_scale * std::pow(10.0, u); };
  std::optional<Solution> best;
  double best_u = 0;
  std::size_t best_index = 0;
  // The grid's points stay where they are and it stops at the first one at
  // or below the bottom: a bottom that moves by a rounding (with the data's
  // units) then moves no point of the search. The score of a shape jumps
  // where the active set changes, and a search started from points a
  // rounding apart can settle in different dips of it.
  std::vector<double> grid;
  for (int k = 0;; ++k) {
    grid.push_back(top - kGridStep * k);
    if (grid.back() <= bottom) break;
  }
  ActiveSet state = std::move(start);
  for (std::size_t i = 0; i < grid.size(); ++i) {
    if (cancel::requested()) return std::nullopt;  // the stopped fit is discarded
    std::optional<Solution> solution = solve_at(programme, lam_at(grid[i]), state);
    if (!solution) continue;
    state = solution->state;
    if (!best || solution->gcv < best->gcv) {
      best = std::move(solution);
      best_u = grid[i];
      best_index = i;
    }
  }
  if (!best || !(best->gcv < kInfinity)) return best;
  // The bracket: the grid neighbours of the best point (grid descends).
  const double hi = grid[best_index > 0 ? best_index - 1 : best_index];
  const double lo = grid[best_index + 1 < grid.size() ? best_index + 1 : best_index];
  state = best->state;
  auto score = [&](double u) {
    std::optional<Solution> solution = solve_at(programme, lam_at(u), state);
    if (!solution) return kInfinity;
    state = solution->state;
    const double gcv = solution->gcv;
    if (gcv < best->gcv) best = std::move(solution);
    return gcv;
  };
  brent(score, lo, hi, best_u, best->gcv, kSearchTolerance);
  return best;
}

}  // namespace velarix::smoothing
