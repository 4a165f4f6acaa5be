// One smoothing fit at one lambda: the penalised least-squares curve with
// some of the shape's bounds held, and the search for the bounds to hold.
//
// With a set of bounds held, the curves are c = Z z (a Reduction) and the
// fit solves the banded Z^T (G + lam P) Z z = Z^T b. The penalty vanishes on
// lines, so at a large lambda the matrix is nearly singular along them, and
// the rounding of lam P, however small relative to lam P, swamps what the
// data say about the line. The solve therefore borders the null vectors N
// of the penalty (the constant, and the line unless a stretch is flat): in
// the coordinates z = N alpha + (0, ..., 0, z~), with as many leading zeros
// as null vectors, the penalty only acts on z~ (its block is Z^T P Z without
// those first rows and columns, P never meets N), and alpha is solved from
// the 1x1 or 2x2 Schur complement of the banded block.
//
// The bounds to hold are found by the primal-dual active-set iteration:
// hold the bounds whose coordinate the last solve left negative, release
// those whose gradient wants the coordinate to grow, until nothing moves;
// a solve at a nearby lambda starts from the bounds it held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "memory.hpp"
#include "smoothing/banded.hpp"
#include "smoothing/basis.hpp"
#include "smoothing/coordinates.hpp"
#include "smoothing/stacked.hpp"

namespace velarix::smoothing {

// Everything a solve needs besides lambda, in internal units.
struct Programme {
  const Basis* basis;
  const Coordinates* coordinates;
  const NormalEquations* fit;
  // When set, the residual sum of squares of the GCV score is taken with
  // these weights instead of the fit's (the robust score, see smoothing.cpp).
  const NormalEquations* score;
  const Band* penalty;
  std::span<const double> greville;
  double points;     // the number of points with positive weight
  double lam_scale;  // trace(G) / trace(P)
  // When set (the factor of the fit's weighted data), the solves of an
  // unconstrained fit rotate the penalty's rows into it instead of
  // factoring G + lam P (see stacked.hpp).
  const DataFactor* stacked = nullptr;
};

struct Solution {
  Vector<std::uint8_t> held;  // the bounds held with equality
  Doubles c;                  // the B-spline coefficients
  double lam = 0;             // internal units
  double edf = 0;
  double rss = 0;
  double gcv = 0;  // infinite where the fit is inadmissible
  std::size_t active = 0;
};

// The scratch of the solves, kept from one to the next: the factor, the
// solves Y against the null vectors' columns, and z's part off the null
// vectors with the right-hand side of the solve in progress (each as long
// as the columns).
struct Workspace {
  BandFactor factor;
  Doubles y;
  Doubles tail;
  Doubles rhs;
  double s[2][2] = {};
};

// The normal equations on the curves of a reduction.
class ReducedSystem {
 public:
  ReducedSystem(const Reduction& z, const NormalEquations& normal, const Band& penalty);

  // z at lam; false when the banded block cannot be factored.
  bool solve(double lam, Workspace& work, std::span<double> z) const;
  // The trace of the hat matrix of the last solve in `work`.
  double edf(double lam, const Workspace& work) const;
  // The weighted residual sum of squares of z.
  double rss(std::span<const double> z) const;

 private:
  // Solves with work.rhs (consumed) into z and work.tail, or adds the
  // solution to them when `add`.
  bool solve_with(Workspace& work, std::span<double> z, bool add) const;
  // (G N_a)_i, N_0 the constant and N_1 the line, summed as multiply() sums.
  double null_column(std::size_t a, std::size_t i) const;
  double null_vector(std::size_t a, std::size_t i) const { return a == 0 ? 1.0 : line_[i]; }

  const Reduction& z_;
  Band g_own_;
  Band p_own_;
  Doubles q_own_;
  const Band* g_;
  const Band* p_;
  std::span<const double> q_;
  std::span<const double> line_;
  double vwv_;
  std::size_t rank_;
};

// The fit at lam, holding at first the bounds marked in `start` (empty: none).
// Nothing when a factorisation fails.
std::optional<Solution> solve_at(const Programme& programme, double lam,
                                 std::span<const std::uint8_t> start, Workspace& work);

}  // namespace velarix::smoothing
