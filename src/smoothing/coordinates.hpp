// The coordinates in which a shape is a set of sign bounds. A shape
// constrains the coefficients of S' (monotone) or of S'' (convex or concave),
// not those of S, so the fit's bounds are on coordinates beta from which c
// follows by cumulative sums:
//
//   curvature coordinates (no shape, convex, concave, and the four
//   combinations): beta = (c_0, sigma d_anchor, m a_0, ..., m a_{K-3}), the
//   level, one end slope and the values of S'' at the breakpoints. A
//   curvature sign m is then a_k m >= 0 on each beta_{k+2}: exact, since
//   S'' is piecewise linear between those values. With a direction s too,
//   S' is monotone, so its sign is that of its smaller end: the left end
//   slope for increasing convex and decreasing concave, the right one
//   otherwise, held to s d >= 0 (sigma = s).
//
//   slope coordinates (increasing or decreasing alone): beta = (c_0, s d_0,
//   ..., s d_{K-2}), the coefficients of S' each held to s d_j >= 0. A
//   quadratic spline with non-negative coefficients is non-negative, so the
//   bound is sufficient, though not necessary.
//
// The solves themselves stay in the B-spline coefficients c, where the
// normal equations are banded: a bound held with equality ties neighbouring
// coefficients (d_j = 0 makes c_j = c_{j+1}; a run of a_j = 0 puts the
// coefficients it spans on one line), so the curves with a set of bounds
// held are c = Z z for a sparse Z whose columns cover runs of coefficients
// (a Reduction), and the reduced normal equations Z^T (G + lam P) Z stay
// banded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "memory.hpp"
#include "smoothing/banded.hpp"
#include "smoothing/basis.hpp"
#include "smoothing/shape.hpp"

namespace velarix::smoothing {

// The curve of some coordinates: the B-spline coefficients c of S, d of S'
// and a of S'' (S'' at the breakpoints), all in internal units.
struct Coefficients {
  Doubles c;
  Doubles d;
  Doubles a;
};

// c = Z z: column k of Z has the entries coef[start[k] .. start[k + 1]) on the
// coefficients from first[k] on, and the columns' first coefficients
// increase. The penalty vanishes on the curves of the null vectors: the
// constant (z = 1) always, the line u (z = the Greville abscissae of the
// columns' own coefficients, `line`) unless a bound held makes a stretch
// flat. An identity reduction (no bound held) stores no columns, and views
// the abscissae it was made from as its line.
struct Reduction {
  bool identity = true;
  std::size_t columns = 0;
  std::vector<std::size_t> first;
  std::vector<std::size_t> start;
  Doubles coef;
  std::size_t rank = 2;  // null vectors: 1 (the constant) or 2 (and the line)
  Doubles line;
  // The line of an identity reduction: the Greville abscissae themselves,
  // which outlive it (no copy as long as the coefficients).
  std::span<const double> identity_line;

  std::span<const double> line_values() const { return identity ? identity_line : line; }

  // The band width of Z^T M Z for M of width 3.
  std::size_t width() const;
  // Z z, and Z^T c.
  void expand(std::span<const double> z, std::span<double> c) const;
  void project(std::span<const double> c, std::span<double> z) const;
  // Z^T M Z.
  Band reduce(const Band& m) const;
};

class Coordinates {
 public:
  // `shape` is not automatic.
  Coordinates(const Basis& basis, Shape shape);

  std::size_t size() const { return bounded_.size(); }
  // 1 where beta_j >= 0 is required.
  std::span<const std::uint8_t> bounded() const { return bounded_; }
  std::size_t bounded_count() const;

  // c, d and a by cumulative sums from beta.
  Coefficients curve(std::span<const double> beta) const;
  // d and a of the coefficients c, and the coordinates beta of c.
  Coefficients curve_of(Doubles c) const;
  void beta_of(const Coefficients& curve, std::span<double> beta) const;
  // The rounding scale of each beta_j computed from c by differences.
  void beta_scales(double c_size, std::span<double> out) const;

  // The gradient with respect to beta of 1/2 c^T (G + lam P) c - b^T c at the
  // curve, from g = G c - b and the curve's a: the data's part by the
  // transpose of the cumulative sums, the penalty's from its form in a
  // (1/2 a^T G1 a), which vanishes on lines exactly.
  void gradient(std::span<const double> g, const Coefficients& curve, double lam,
                std::span<double> out) const;
  // The same transpose on the magnitudes |g|: the scale of the gradient's
  // rounding.
  void gradient_scales(std::span<const double> g, std::span<double> out) const;

  // The curves with beta_j = 0 for every j marked in `held`.
  Reduction reduction(std::span<const std::uint8_t> held, std::span<const double> greville) const;

 private:
  enum class Kind { curvature_left, curvature_right, slopes };

  // out = T^T g for c = T beta.
  void transpose(std::span<const double> g, std::span<double> out) const;

  const Basis& basis_;
  Kind kind_;
  int sign_;         // s for slope coordinates, the sign of S'' otherwise
  int anchor_sign_;  // sigma
  Vector<std::uint8_t> bounded_;
  Doubles g1_diagonal_;
  Doubles g1_upper_;
};

}  // namespace velarix::smoothing
