#include "tridiagonal.hpp"

#include <string>

#include "error.hpp"

namespace velarix::tridiagonal {
namespace {

[[noreturn]] void zero_pivot(std::size_t row) {
  throw InternalError("zero pivot at row " + std::to_string(row));
}

}  // namespace

std::vector<double> solve(std::span<const double> lower, std::span<const double> diag,
                          std::span<const double> upper, std::span<const double> rhs) {
  const std::size_t n = diag.size();
  if (lower.size() != n || upper.size() != n || rhs.size() != n) {
    throw InternalError("tridiagonal slices must have equal length");
  }
  if (n == 0) throw InternalError("tridiagonal system has no rows");

  std::vector<double> c(n);  // c'
  std::vector<double> d(n);  // d'
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

  std::vector<double> s(n);
  s[n - 1] = d[n - 1];
  for (std::size_t i = n - 1; i-- > 0;) s[i] = d[i] - c[i] * s[i + 1];
  return s;
}

}  // namespace velarix::tridiagonal
