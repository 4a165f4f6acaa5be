// The one solver of the tridiagonal systems that all three methods set up.
#pragma once

#include <span>

#include "memory.hpp"

namespace velarix::tridiagonal {

// Solves lower[i]*s[i-1] + diag[i]*s[i] + upper[i]*s[i+1] = rhs[i] for
// i = 0..n-1 by forward elimination and back substitution, without pivoting
// (every caller's system is diagonally dominant). lower[0] and upper[n-1] are
// never read. Unequal lengths, an empty system or an exact zero pivot are
// broken invariants and throw InternalError.
Doubles solve(std::span<const double> lower, std::span<const double> diag,
              std::span<const double> upper, std::span<const double> rhs);

// The same solve into storage of the caller's: `eliminated` receives the
// eliminated upper diagonal and `solution` the result, both n entries. Each
// entry of upper and rhs is read before the entry of the same index in these
// two is written, so `eliminated` may be `upper` and `solution` may be `rhs`:
// a system that is not needed afterwards is solved in its own arrays.
void solve(std::span<const double> lower, std::span<const double> diag,
           std::span<const double> upper, std::span<const double> rhs, std::span<double> eliminated,
           std::span<double> solution);

}  // namespace velarix::tridiagonal
