#include "smoothing/active_set.hpp"

#include <algorithm>
#include <cmath>

#include "cancel.hpp"

namespace velarix::smoothing {
namespace {

// A bound joins the free set only when its gradient is beyond the rounding
// of the sum that computes it, relative to that sum's terms.
constexpr double kJoinTolerance = 1e-12;

// Each step leaves or joins one variable (a step at a tie may leave several);
// a solve that has not settled after this many is stopped where it stands,
// which is feasible, so the shape holds either way.
std::size_t step_cap(std::size_t k) { return 4 * k + 50; }

bool usable_pivot(double pivot) { return pivot > 0 && pivot <= 1.7e308; }

}  // namespace

// L_rc = (Q_rc - sum_{k<c} L_rk L_ck) / L_cc, L_rr = sqrt(Q_rr - sum_{k<r} L_rk^2).
bool Factor::factor(std::span<const double> q_matrix, std::span<const std::size_t> variables) {
  index_.clear();
  for (const std::size_t j : variables) {
    if (!append(q_matrix, j)) return false;
  }
  return true;
}

bool Factor::append(std::span<const double> q_matrix, std::size_t j) {
  const std::size_t m = index_.size();
  const std::size_t k = capacity_;
  double* row = &entry(m, 0);
  double pivot = q_matrix[j * k + j];
  for (std::size_t c = 0; c < m; ++c) {
    const double* other = &entry(c, 0);
    double sum = q_matrix[j * k + index_[c]];
    for (std::size_t p = 0; p < c; ++p) sum -= row[p] * other[p];
    row[c] = sum / other[c];
    pivot -= row[c] * row[c];
  }
  if (!usable_pivot(pivot)) return false;
  row[m] = std::sqrt(pivot);
  index_.push_back(j);
  return true;
}

// Without row p, rows p.. reach one column past the diagonal. A rotation of
// columns c and c + 1 (which leaves L L^T unchanged) clears the entry (c,
// c + 1), for c = p .. m - 2 in turn; the last column is then zero.
void Factor::remove(std::size_t p) {
  const std::size_t m = index_.size();
  for (std::size_t r = p + 1; r < m; ++r) std::copy_n(&entry(r, 0), r + 1, &entry(r - 1, 0));
  for (std::size_t c = p; c + 1 < m; ++c) {
    const double a = entry(c, c);
    const double b = entry(c, c + 1);
    const double r = std::hypot(a, b);
    const double cosine = a / r;
    const double sine = b / r;
    for (std::size_t i = c; i + 1 < m; ++i) {
      const double x = entry(i, c);
      const double y = entry(i, c + 1);
      entry(i, c) = cosine * x + sine * y;
      entry(i, c + 1) = cosine * y - sine * x;
    }
    entry(c, c + 1) = 0;
  }
  index_.erase(index_.begin() + static_cast<std::ptrdiff_t>(p));
}

void Factor::solve(std::span<double> x) const {
  const std::size_t m = index_.size();
  for (std::size_t r = 0; r < m; ++r) {
    const double* row = &l_[r * capacity_];
    double sum = x[r];
    for (std::size_t c = 0; c < r; ++c) sum -= row[c] * x[c];
    x[r] = sum / row[r];
  }
  for (std::size_t r = m; r-- > 0;) {
    double sum = x[r];
    for (std::size_t c = r + 1; c < m; ++c) sum -= l_[c * capacity_ + r] * x[c];
    x[r] = sum / l_[r * capacity_ + r];
  }
}

namespace {

// The free variables' solution with the others at 0.
void free_solution(const Factor& factor, std::span<const double> q, Doubles& z, Doubles& work) {
  const std::span<const std::size_t> index = factor.index();
  work.resize(index.size());
  for (std::size_t p = 0; p < index.size(); ++p) work[p] = q[index[p]];
  factor.solve(work);
  std::fill(z.begin(), z.end(), 0.0);
  for (std::size_t p = 0; p < index.size(); ++p) z[index[p]] = work[p];
}

// The step towards z as far as the first bound met; the variables that meet
// their bound leave the free set. Returns false when z itself is feasible.
// The variable that sets the step always leaves, even when the step
// leaves it a tiny positive value (a subnormal beta gives a step that
// rounds to 0 and would otherwise be taken again and again).
bool step_to_bounds(std::span<const std::uint8_t> bounded, const Doubles& z, ActiveSet& state,
                    Factor& factor) {
  double alpha = 1;
  std::size_t blocking = z.size();
  for (const std::size_t j : factor.index()) {
    if (!bounded[j] || !(z[j] < 0)) continue;
    const double ratio = state.beta[j] / (state.beta[j] - z[j]);
    if (blocking == z.size() || ratio < alpha) {
      alpha = std::min(ratio, 1.0);
      blocking = j;
    }
  }
  if (blocking == z.size()) return false;
  for (const std::size_t j : factor.index()) state.beta[j] += alpha * (z[j] - state.beta[j]);
  // Positions in descending order, so that each removal leaves the earlier
  // positions in place.
  for (std::size_t p = factor.size(); p-- > 0;) {
    const std::size_t j = factor.index()[p];
    if (!bounded[j] || (state.beta[j] > 0 && j != blocking)) continue;
    state.beta[j] = 0;
    state.free[j] = 0;
    factor.remove(p);
  }
  return true;
}

// The bounded variable whose gradient most wants it to grow, per unit of its
// own curvature; none (size) when every bound is optimal.
std::size_t joining(std::span<const double> q_matrix, std::span<const double> q,
                    std::span<const std::uint8_t> bounded, const ActiveSet& state) {
  const std::size_t k = q.size();
  std::size_t best = k;
  double best_score = 0;
  for (std::size_t j = 0; j < k; ++j) {
    if (!bounded[j] || state.free[j]) continue;
    const double* row = &q_matrix[j * k];
    double gradient = q[j];
    double scale = std::fabs(q[j]);
    for (std::size_t i = 0; i < k; ++i) {
      const double term = row[i] * state.beta[i];
      gradient -= term;
      scale += std::fabs(term);
    }
    if (!(gradient > kJoinTolerance * scale)) continue;
    const double score = gradient / std::sqrt(row[j]);
    if (score > best_score) {
      best_score = score;
      best = j;
    }
  }
  return best;
}

}  // namespace

bool solve_bounded(std::span<const double> q_matrix, std::span<const double> q,
                   std::span<const std::uint8_t> bounded, ActiveSet& state, Factor& factor) {
  const std::size_t k = q.size();
  if (state.beta.size() != k) {
    state.beta.assign(k, 0.0);
    state.free.assign(k, 1);
  }
  std::vector<std::size_t> variables;
  for (std::size_t j = 0; j < k; ++j) {
    if (!bounded[j]) state.free[j] = 1;
    if (state.free[j]) variables.push_back(j);
  }
  if (!factor.factor(q_matrix, variables)) return false;
  Doubles z(k);
  Doubles work;
  state.steps = 0;
  const std::size_t cap = step_cap(k);
  while (state.steps < cap) {
    // A stopped fit's result is discarded (see cancel.hpp).
    if (cancel::requested()) return false;
    free_solution(factor, q, z, work);
    if (step_to_bounds(bounded, z, state, factor)) {
      ++state.steps;
      continue;
    }
    state.beta = z;
    const std::size_t j = joining(q_matrix, q, bounded, state);
    if (j == k) break;
    if (!factor.append(q_matrix, j)) return false;
    state.free[j] = 1;
    ++state.steps;
  }
  return true;
}

}  // namespace velarix::smoothing
