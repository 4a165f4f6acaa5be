// The slope d and curvature a of the curve at every knot: the estimates,
// limited to boxes that let every neighbouring piece keep its shape.
#pragma once

#include <span>

#include "memory.hpp"
#include "quintic/assembly.hpp"
#include "quintic/estimates.hpp"
#include "quintic/shape.hpp"
#include "samples.hpp"

namespace velarix::quintic {

struct KnotValues {
  UnfilledDoubles d;  // the estimates' arrays
  UnfilledDoubles a;
  // The convex and concave intervals whose single piece fails
  // keeps_bending with these values, in knot order.
  Vector<std::size_t> failing;
  // When asked for and none fails (data not periodic): every interval's
  // single piece, which is then the curve, and whether all keep their shape.
  Vector<QuinticPiece> pieces;
  bool has_pieces;
  bool shape_preserved;
};

// The knot stage of the fit, for given interval shapes:
//  - forced knots: beside a flat interval d = a = 0, so that the flat piece is
//    exactly constant; beside a straight stretch d = its secant and a = 0
//    where the other side can take that slope;
//  - the slope box: the sign of every non-flat neighbouring secant, strictly
//    between the two secants (by a margin) beside a convex or concave
//    interval, and a ratio limiter so that neither end of such an interval
//    takes more than twice the room of the other;
//  - the curvature box given d: the bending's sign beside a convex or concave
//    interval, and the end coefficients d +- h a / 4 of S' beside a monotone
//    one;
//  - on monotone intervals the middle coefficient of S' kept >= 0 by sharing
//    its budget between the two knots;
// and each convex or concave interval tested once both of its knots are
// final.
// `ends` says how the end knots are set: given slopes (estimated or
// clamped) are taken as they are; otherwise the end knots go through the
// boxes like every other knot, natural ones with curvature 0, and periodic
// ones as the one knot between the last interval and the first (both end
// knots then get the same numbers). The estimates' arrays become the
// result's. `write_pieces` asks for the pieces as well (see KnotValues).
// Long data run in chunks of knots, one thread each, with the numbers of a
// single pass.
KnotValues knot_values(const Samples& samples, const Classes& classes,
                       std::span<const Shape> shapes, Estimates estimates, const Ends& ends,
                       bool write_pieces = false);

// Where convex or concave intervals fail, the slopes of their knots are
// moved within their boxes toward a balance of each such interval's two end
// gaps set by the data's curvature there (see Balance), without taking the
// neighbouring intervals past their own balance; the failing list is then
// that of the new slopes. A knot beside a monotone interval moves only
// within that interval's budget. Sequential, and touches only the failing
// intervals' knots; periodic fits are left as they are.
void balance_failing(const Samples& samples, const Classes& classes,
                     std::span<const Shape> shapes, const Ends& ends, KnotValues& values);

}  // namespace velarix::quintic
