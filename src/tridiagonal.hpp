// The one solver of the tridiagonal systems that all three methods set up.
#pragma once

#include <span>
#include <vector>

namespace velarix::tridiagonal {

// Solves lower[i]*s[i-1] + diag[i]*s[i] + upper[i]*s[i+1] = rhs[i] for
// i = 0..n-1 by forward elimination and back substitution, without pivoting
// (every caller's system is diagonally dominant). lower[0] and upper[n-1] are
// never read. Unequal lengths, an empty system or an exact zero pivot are
// broken invariants and throw InternalError.
std::vector<double> solve(std::span<const double> lower, std::span<const double> diag,
                          std::span<const double> upper, std::span<const double> rhs);

}  // namespace velarix::tridiagonal
