// The coordinates in which a shape is a set of sign bounds. A shape
// constrains the coefficients of S' (monotone) or of S'' (convex or concave),
// not those of S, so the fit works in coordinates beta from which c follows
// by cumulative sums:
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
// In both the penalty integral S''^2 only involves the coordinates past the
// first one or two, so its null space (the lines) is spanned exactly by
// coordinates and a large lambda cannot blur it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "memory.hpp"
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

class Coordinates {
 public:
  // `shape` is not automatic.
  Coordinates(const Basis& basis, Shape shape);

  std::size_t size() const { return bounded_.size(); }
  // 1 where beta_j >= 0 is required.
  std::span<const std::uint8_t> bounded() const { return bounded_; }
  std::size_t bounded_count() const;

  // c, d and a by cumulative sums from beta. A direction's bound gives
  // s d_j >= 0 for every j exactly in floating point: each d is its
  // anchor plus or minus terms of one sign, and c adds terms of one sign.
  Coefficients curve(std::span<const double> beta) const;

  // c = T beta, row-major K x K.
  const Doubles& transform() const { return transform_; }
  // The penalty in these coordinates, row-major K x K; zero beyond
  // penalty_band() off the diagonal.
  const Doubles& penalty() const { return penalty_; }
  std::size_t penalty_band() const { return kind_ == Kind::slopes ? 2 : 1; }

 private:
  enum class Kind { curvature_left, curvature_right, slopes };

  void build_penalty(const Basis& basis);

  const Basis& basis_;
  Kind kind_;
  int sign_;         // s for slope coordinates, the sign of S'' otherwise
  int anchor_sign_;  // sigma
  Vector<std::uint8_t> bounded_;
  Doubles transform_;
  Doubles penalty_;
};

}  // namespace velarix::smoothing
