// Symmetric banded matrices and their Cholesky factors: the normal equations
// of a smoothing fit couple each B-spline coefficient with its three
// neighbours on either side only (and a reduced system, whose variables are
// runs of coefficients, with a few more), so every solve and every trace it
// needs costs time and memory linear in the number of coefficients.
#pragma once

#include <cstddef>
#include <span>

#include "memory.hpp"

namespace velarix::smoothing {

// A symmetric matrix of `size` rows with entries only within `width` of the
// diagonal: entry (i, i + d), d = 0..width, at data[(width + 1) i + d].
struct Band {
  std::size_t size = 0;
  std::size_t width = 0;
  Doubles data;

  Band() = default;
  Band(std::size_t rows, std::size_t w) : size(rows), width(w), data((w + 1) * rows, 0.0) {}

  // (i, j) for i <= j <= i + width.
  double upper(std::size_t i, std::size_t j) const { return data[(width + 1) * i + (j - i)]; }
  double& upper(std::size_t i, std::size_t j) { return data[(width + 1) * i + (j - i)]; }
  double at(std::size_t i, std::size_t j) const {
    if (i > j) return at(j, i);
    return j - i <= width ? upper(i, j) : 0.0;
  }
  double trace() const;
};

// out = M x, for M symmetric banded (out and x apart).
void multiply(const Band& m, std::span<const double> x, std::span<double> out);
// out = q - G x - lam P x_p, summed in extended precision: the residual that
// refines a solve must be more accurate than the solve itself. (x_p is x or
// the part of x the penalty does not vanish on.)
void residual(const Band& g, const Band& p, double lam, std::span<const double> q,
              std::span<const double> x, std::span<const double> x_p, std::span<double> out);
// x^T M x.
double quadratic(const Band& m, std::span<const double> x);
// x^T M y for M's rows and columns from `offset` on (x and y that long).
double bilinear(const Band& m, std::size_t offset, std::span<const double> x,
                std::span<const double> y);

// The upper factor U of A = U^T U, for A = G + lam P on the rows and columns
// from `offset` on (both of G's width, P's at most that). Its storage is kept
// from one factorisation to the next.
class BandFactor {
 public:
  // False when a pivot is not positive and finite: A is not positive
  // definite to working precision.
  bool factor(const Band& g, const Band& p, double lam, std::size_t offset);

  std::size_t size() const { return u_.size; }
  // x = A^-1 x.
  void solve(std::span<double> x) const;
  // trace(A^-1 M) for M symmetric banded of A's width at most (from the same
  // offset), from the entries of A^-1 within the band: with A^-1 = U^-1 U^-T,
  // U A^-1 = U^-T is lower triangular with the diagonal 1 / U_ii, so from
  // the last row up
  //   (A^-1)_ij = (delta_ij / U_ii - sum_{k=i+1}^{i+w} U_ik (A^-1)_kj) / U_ii,  j = i..i+w,
  // needs only the entries within the band of the rows below.
  double trace_with(const Band& m, std::size_t offset) const;

  // U itself, for a factor formed elsewhere (see stacked.hpp), and x = U^-1 x.
  Band& rows() { return u_; }
  void solve_upper(std::span<double> x) const;

 private:
  Band u_;
  mutable Doubles window_;
};

}  // namespace velarix::smoothing
