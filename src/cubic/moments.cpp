#include "cubic/moments.hpp"

#include "error.hpp"
#include "tridiagonal.hpp"

namespace velarix::cubic {

// On interval i the spline's end slopes are
//   S'(x_i+)     = delta_i - b_i M_i - a_i M_{i+1},
//   S'(x_{i+1}-) = delta_i + a_i M_i + b_i M_{i+1},
// with a_i = h_i / (k_i (k_i - 1)) and b_i = h_i / k_i. Every interior row
// equates the two one-sided slopes at its knot; row 0 and row n-1 set the
// end slopes, or M = 0 for natural ends, or (periodic) row 0 equates the
// slopes at x_0 and x_{n-1}, which are one knot: M_{n-1} is M_0, and the n - 1
// moments M_0..M_{n-2} solve a cyclic system whose corners are a_{m-1}. Since
// k_i >= 3, a_i <= b_i / 2 and every row is strictly diagonally dominant.
Doubles moment_system(const Samples& samples, std::span<const double> degrees, double left,
                      double right) {
  return moment_system(samples, degrees, EndRows{EndRows::Kind::slopes, left, right});
}

Doubles moment_system(const Samples& samples, std::span<const double> degrees,
                      const EndRows& ends) {
  const std::size_t n = samples.size();
  const std::size_t m = samples.intervals();
  if (degrees.size() < m) throw InternalError("moment system needs one degree per interval");
  const std::span<const double> h = samples.widths();
  const std::span<const double> delta = samples.secants();

  struct Coefficients {
    double a;
    double b;
  };
  const auto coefficients = [&](std::size_t i) {
    const double k = degrees[i];
    return Coefficients{h[i] / (k * (k - 1)), h[i] / k};
  };

  Doubles lower(n, 0.0);
  Doubles diag(n, 0.0);
  Doubles upper(n, 0.0);
  Doubles rhs(n, 0.0);
  const Coefficients first = coefficients(0);
  Coefficients before = first;
  for (std::size_t j = 1; j + 1 < n; ++j) {
    const Coefficients after = coefficients(j);
    lower[j] = before.a;
    diag[j] = before.b + after.b;
    upper[j] = after.a;
    rhs[j] = delta[j] - delta[j - 1];
    before = after;
  }
  if (ends.periodic()) {
    // `before` holds the last interval's coefficients.
    lower[0] = before.a;
    diag[0] = before.b + first.b;
    upper[0] = first.a;
    rhs[0] = delta[0] - delta[m - 1];
    const std::span<double> cycle(rhs.data(), m);
    tridiagonal::solve_cyclic(std::span(lower).first(m), std::span(diag).first(m),
                              std::span(upper).first(m), cycle, std::span(upper).first(m),
                              std::span(lower).first(m), cycle);
    rhs[n - 1] = rhs[0];
    return rhs;
  }
  if (ends.natural()) {
    // M_0 = M_{n-1} = 0: unit rows that the elimination passes through
    // exactly, so both end moments come out as zeros.
    diag[0] = 1;
    diag[n - 1] = 1;
  } else {
    diag[0] = first.b;
    upper[0] = first.a;
    rhs[0] = delta[0] - ends.left;
    lower[n - 1] = before.a;
    diag[n - 1] = before.b;
    rhs[n - 1] = ends.right - delta[m - 1];
  }
  // The system is not needed afterwards, so it is solved in its own arrays.
  tridiagonal::solve(lower, diag, upper, rhs, upper, rhs);
  return rhs;
}

}  // namespace velarix::cubic
