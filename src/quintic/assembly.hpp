// The curve's pieces, one interval at a time, each checked against the shape
// its data ask for. The knot stage writes them itself while no interval has
// failed its test (on smooth data, all of them), when the data it has just
// read are still in the caches; otherwise the fit assembles them afterwards.
#pragma once

#include <cmath>
#include <limits>
#include <new>

#include "memory.hpp"
#include "quintic/convexity.hpp"
#include "quintic/piece.hpp"
#include "quintic/shape.hpp"

namespace velarix::quintic {

// Whether a single piece keeps the shape of its interval: a flat one is
// exactly constant, a monotone one keeps its secant's sign, a convex or
// concave one its bending (`bends`, known from the fit's own test on the
// same numbers) with end slopes of the secant's sign (S' then runs
// monotonically between them).
inline bool keeps_shape(Shape shape, double s, double h, const Hermite& e, bool bends) {
  if (shape == Shape::flat) return e.p0 == 0 && e.p1 == 0 && e.a0 == 0 && e.a1 == 0;
  // The rise's sign: a secant that underflows to 0 keeps none.
  const double sg = e.y1 > e.y0 ? 1.0 : -1.0;
  if (shape == Shape::monotone) return keeps_sign(sg, h, e);
  return bends && sg * (s - e.p0) >= 0 && sg * (s + e.p1) >= 0;
}

// Whether a piece as built keeps the shape, tested in units of its width:
// its rise for the secant and its stored gaps and curvatures (h p, h^2 a).
// A secant below the normal range keeps few bits of dy / h, and the tests in
// slopes measure the gaps from it: the piece, built from dy itself, may then
// bend or turn back where those tests see none.
inline bool built_keeps_shape(Shape shape, const QuinticPiece& piece) {
  const auto f = piece.fields();
  const Hermite e{f[2], f[3], f[3] - f[2], f[4], f[5], f[6], f[7]};
  const int k = orientation(shape);
  const bool bends = k != 0 && keeps_bending(oriented(k, 1.0, e));
  return keeps_shape(shape, e.s, 1.0, e, bends);
}

inline bool normal_secant(double s) { return std::fabs(s) >= std::numeric_limits<double>::min(); }

// Writes the single piece of an interval [x0, x1] of shape `shape` and
// secant s with ends e (`bends` as for keeps_shape) at `at`, in an array
// filled in place, and says whether it keeps that shape. (The callers keep
// the verdicts in a local: as a member beside the pieces it went through
// memory at every piece.)
inline bool store_piece(QuinticPiece* at, double x0, double x1, const Hermite& e, Shape shape,
                        double s, double h, bool bends) {
  ::new (static_cast<void*>(at)) QuinticPiece(x0, x1, e);
  if (!keeps_shape(shape, s, h, e, bends)) return false;
  return normal_secant(s) || built_keeps_shape(shape, *at);
}

}  // namespace velarix::quintic
