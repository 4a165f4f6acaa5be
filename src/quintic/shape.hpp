// What the data ask of each interval and each knot: the shape the quintic
// must keep on every interval, and the knots whose slope and curvature the
// data fix outright.
#pragma once

#include <cstdint>
#include <span>

#include "memory.hpp"
#include "samples.hpp"

namespace velarix::quintic {

// The shape an interval must keep. Convex and concave intervals are monotone
// too wherever their end slopes have the secant's sign.
enum class Shape : std::int8_t {
  concave = -1,
  monotone = 0,  // monotone only: the data turn within one knot of it
  convex = 1,
  flat = 2,      // equal values: the piece is that constant
};

// The bending the curve must follow: +1 convex, -1 concave, 0 none.
inline int orientation(Shape shape) {
  return shape == Shape::convex ? 1 : shape == Shape::concave ? -1 : 0;
}

// Per knot: the sign of the change of secant slope there (0 where the change
// is within the rounding of the secants: collinear knots), the end knots
// taking their neighbour's. Per interval: its shape, and whether it belongs
// to a straight stretch, a run of collinear knots that the curve must follow
// as a line to keep the bending on both sides of it.
struct Classes {
  Vector<std::int8_t> bend;
  Vector<Shape> shape;
  Vector<std::uint8_t> straight;
};

Classes classify(const Samples& samples);

// Whether the secants beside interior knot k turn by more than their own
// rounding: 1e-12 of their size and the secants' inherited rounding, two ulps
// of the values over each width. Below that the knot is collinear.
int bend_at(const Samples& samples, std::size_t k);

}  // namespace velarix::quintic
