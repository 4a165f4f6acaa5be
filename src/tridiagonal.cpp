#include "tridiagonal.hpp"

#include <cmath>
#include <string>

#include "error.hpp"

namespace velarix::tridiagonal {
namespace {

[[noreturn]] void zero_pivot(std::size_t row) {
  throw InternalError("zero pivot at row " + std::to_string(row));
}

}  // namespace

Doubles solve(std::span<const double> lower, std::span<const double> diag,
              std::span<const double> upper, std::span<const double> rhs) {
  Doubles eliminated(diag.size());
  Doubles solution(diag.size());
  solve(lower, diag, upper, rhs, eliminated, solution);
  return solution;
}

void solve(std::span<const double> lower, std::span<const double> diag,
           std::span<const double> upper, std::span<const double> rhs, std::span<double> eliminated,
           std::span<double> solution) {
  const std::size_t n = diag.size();
  if (lower.size() != n || upper.size() != n || rhs.size() != n || eliminated.size() != n ||
      solution.size() != n) {
    throw InternalError("tridiagonal slices must have equal length");
  }
  if (n == 0) throw InternalError("tridiagonal system has no rows");

  // c' goes to `eliminated`, d' to `solution`, which back substitution then
  // overwrites from the end: s[i] needs only d'[i] and s[i + 1].
  double* c = eliminated.data();
  double* d = solution.data();
  // The pivot tests are exact: a tiny or NaN pivot passes and propagates.
  if (diag[0] == 0) zero_pivot(0);
  c[0] = upper[0] / diag[0];
  d[0] = rhs[0] / diag[0];
  for (std::size_t i = 1; i < n; ++i) {
    const double pivot = diag[i] - lower[i] * c[i - 1];
    if (pivot == 0) zero_pivot(i);
    c[i] = upper[i] / pivot;
    d[i] = (rhs[i] - lower[i] * d[i - 1]) / pivot;
  }
  for (std::size_t i = n - 1; i-- > 0;) d[i] = d[i] - c[i] * d[i + 1];
}

void solve_pivoted(std::span<double> lower, std::span<double> diag, std::span<double> upper,
                   std::span<double> rhs) {
  const std::size_t n = diag.size();
  if (lower.size() != n || upper.size() != n || rhs.size() != n) {
    throw InternalError("tridiagonal slices must have equal length");
  }
  if (n == 0) throw InternalError("tridiagonal system has no rows");

  double* fill = lower.data();  // lower[i] is free once row i+1 has been eliminated
  for (std::size_t i = 0; i + 1 < n; ++i) {
    const double below = lower[i + 1];
    if (!(std::fabs(below) > std::fabs(diag[i]))) {
      if (diag[i] == 0) zero_pivot(i);  // both candidates vanish: singular
      const double l = below / diag[i];
      diag[i + 1] = diag[i + 1] - l * upper[i];
      rhs[i + 1] = rhs[i + 1] - l * rhs[i];
      fill[i] = 0;
    } else {
      const double l = diag[i] / below;
      const double next_diag = upper[i] - l * diag[i + 1];
      const double next_upper = -(l * upper[i + 1]);
      const double next_rhs = rhs[i] - l * rhs[i + 1];
      diag[i] = below;
      upper[i] = diag[i + 1];
      fill[i] = upper[i + 1];
      rhs[i] = rhs[i + 1];
      diag[i + 1] = next_diag;
      upper[i + 1] = next_upper;
      rhs[i + 1] = next_rhs;
    }
  }
  if (diag[n - 1] == 0) zero_pivot(n - 1);
  double* x = rhs.data();
  x[n - 1] = x[n - 1] / diag[n - 1];
  if (n < 2) return;
  x[n - 2] = (x[n - 2] - upper[n - 2] * x[n - 1]) / diag[n - 2];
  for (std::size_t i = n - 2; i-- > 0;) {
    x[i] = ((x[i] - upper[i] * x[i + 1]) - fill[i] * x[i + 2]) / diag[i];
  }
}

Doubles solve_cyclic(std::span<const double> lower, std::span<const double> diag,
                     std::span<const double> upper, std::span<const double> rhs) {
  Doubles eliminated(diag.size());
  Doubles fill(diag.size());
  Doubles solution(diag.size());
  solve_cyclic(lower, diag, upper, rhs, eliminated, fill, solution);
  return solution;
}

void solve_cyclic(std::span<const double> lower, std::span<const double> diag,
                  std::span<const double> upper, std::span<const double> rhs,
                  std::span<double> eliminated, std::span<double> fill,
                  std::span<double> solution) {
  const std::size_t n = diag.size();
  if (lower.size() != n || upper.size() != n || rhs.size() != n || eliminated.size() != n ||
      fill.size() != n || solution.size() != n) {
    throw InternalError("tridiagonal slices must have equal length");
  }
  if (n == 0) throw InternalError("tridiagonal system has no rows");
  if (n == 1) {
    const double pivot = (lower[0] + diag[0]) + upper[0];
    if (pivot == 0) zero_pivot(0);
    solution[0] = rhs[0] / pivot;
    return;
  }

  const std::size_t last = n - 1;
  double* c = eliminated.data();
  double* v = fill.data();
  double* d = solution.data();
  // The last row as the elimination reduces it: f is its entry in the column
  // about to be eliminated (the corner upper[last] at first), beta its entry
  // in its own column and rho its right-hand side. Read before anything is
  // written, since `solution` may be `rhs`.
  double f = upper[last];
  double beta = diag[last];
  double rho = rhs[last];
  if (diag[0] == 0) zero_pivot(0);
  if (n == 2) {
    // Both entries of each row beside its diagonal fall on the other unknown.
    v[0] = (lower[0] + upper[0]) / diag[0];
    c[0] = 0;
    d[0] = rhs[0] / diag[0];
    const double g = lower[1] + f;
    rho = rho - g * d[0];
    beta = beta - g * v[0];
  } else {
    // Row 0's corner lower[0] starts the fill of the last column.
    c[0] = upper[0] / diag[0];
    v[0] = lower[0] / diag[0];
    d[0] = rhs[0] / diag[0];
    rho = rho - f * d[0];
    beta = beta - f * v[0];
    f = -(f * c[0]);
    std::size_t i = 1;
    for (; i + 1 < last; ++i) {
      // Read once: `fill` may be `lower`, and v[i] overwrites it.
      const double a = lower[i];
      const double pivot = diag[i] - a * c[i - 1];
      if (pivot == 0) zero_pivot(i);
      c[i] = upper[i] / pivot;
      v[i] = -(a * v[i - 1]) / pivot;
      d[i] = (rhs[i] - a * d[i - 1]) / pivot;
      rho = rho - f * d[i];
      beta = beta - f * v[i];
      f = -(f * c[i]);
    }
    // Row last - 1: its upper entry lies in the last column, with the fill.
    const double a = lower[i];
    const double pivot = diag[i] - a * c[i - 1];
    if (pivot == 0) zero_pivot(i);
    v[i] = (upper[i] - a * v[i - 1]) / pivot;
    c[i] = 0;
    d[i] = (rhs[i] - a * d[i - 1]) / pivot;
    // The last row's own lower entry joins the fill that reached its column.
    const double g = lower[last] + f;
    rho = rho - g * d[i];
    beta = beta - g * v[i];
  }
  if (beta == 0) zero_pivot(last);
  const double x_last = rho / beta;
  d[last] = x_last;
  d[last - 1] = d[last - 1] - v[last - 1] * x_last;
  for (std::size_t i = last - 1; i-- > 0;) d[i] = (d[i] - v[i] * x_last) - c[i] * d[i + 1];
}

}  // namespace velarix::tridiagonal
