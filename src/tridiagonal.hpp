// The one solver of the tridiagonal systems that the methods set up.
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

// Solves the same system with partial pivoting, for systems that are not
// diagonally dominant, in place: the solution replaces `rhs`, and `lower`,
// `diag` and `upper` are overwritten by the factors. Gaussian elimination
// down the rows, i = 0..n-2, takes as pivot of column i the larger in
// magnitude of diag[i] and lower[i+1] (ties and NaN keep row i), so a row
// gains a second superdiagonal entry when the two rows are exchanged; it is
// kept in lower[i], which the elimination has consumed by then. The order
// of operations, which makes the results reproducible bit for bit:
//   kept row i:     l = lower[i+1] / diag[i];
//                   diag[i+1] = diag[i+1] - l * upper[i];
//                   rhs[i+1] = rhs[i+1] - l * rhs[i];  fill lower[i] = 0;
//   exchanged rows: l = diag[i] / lower[i+1];
//                   new row i+1: upper[i] - l * diag[i+1], -(l * upper[i+1]),
//                                rhs[i] - l * rhs[i+1];
//                   new row i: lower[i+1], diag[i+1], fill upper[i+1], rhs[i+1]
//                   (the fill of row n-2 is never read);
//   back substitution: x[n-1] = rhs[n-1] / diag[n-1], then for i = n-2 down
//                   to 0, x[i] = ((rhs[i] - upper[i] * x[i+1]) - fill[i] * x[i+2])
//                   / diag[i], the fill term absent for i = n-2.
// lower[0] and upper[n-1] are never read as matrix entries. Unequal lengths,
// an empty system or a pivot that is exactly zero (a singular matrix) throw
// InternalError.
void solve_pivoted(std::span<double> lower, std::span<double> diag, std::span<double> upper,
                   std::span<double> rhs);

// Solves the cyclic system of a periodic spline,
//   lower[i]*x[i-1] + diag[i]*x[i] + upper[i]*x[i+1] = rhs[i],  indices mod n,
// so that lower[0] is the corner entry of x[n-1] in row 0 and upper[n-1] that
// of x[0] in row n-1 (with n = 2 both entries of a row fall on the other
// unknown and add up; with n = 1 all three fall on x[0]). Gaussian
// elimination in row order without pivoting, for diagonally dominant systems:
// the rows 0..n-2 are reduced to x[i] + c[i] x[i+1] + v[i] x[n-1] = d[i]
// (`eliminated` receives c, `fill` v, the fill of the last column), the
// last row is reduced along with them to one equation in x[n-1], and one
// back substitution gives the rest. Against the plain solve this adds one
// division per row and one more stream through memory. The aliasing rules
// of `solve` hold (`eliminated` may be `upper`, `solution` may be `rhs`),
// and `fill` may be `lower`: a system that is not needed afterwards is
// solved in its own arrays. Unequal lengths, an empty system or an
// exact zero pivot throw InternalError.
void solve_cyclic(std::span<const double> lower, std::span<const double> diag,
                  std::span<const double> upper, std::span<const double> rhs,
                  std::span<double> eliminated, std::span<double> fill, std::span<double> solution);

// The same solve into new storage.
Doubles solve_cyclic(std::span<const double> lower, std::span<const double> diag,
                     std::span<const double> upper, std::span<const double> rhs);

}  // namespace velarix::tridiagonal
