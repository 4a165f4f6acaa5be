// What the data ask of each interval and each knot: the shape the quintic
// must keep on every interval, and the knots whose slope and curvature the
// data fix outright.
#pragma once

#include <cstddef>
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

// How the fit sets the end knots: through the slope boxes like every other
// knot (boxed), to given slopes, through the boxes with S'' = 0 (natural),
// or as one knot between the last interval and the first (periodic, whose
// data end where they start).
struct Ends {
  enum class Kind : std::uint8_t { boxed, given, natural, periodic };
  Kind kind = Kind::boxed;
  double left = 0;  // the given slopes
  double right = 0;

  bool given() const { return kind == Kind::given; }
  bool natural() const { return kind == Kind::natural; }
  bool periodic() const { return kind == Kind::periodic; }
};

// Interval or knot index i of periodic data, taken modulo m (the last
// interval's index for -1 as std::size_t); i itself on other data.
inline std::size_t wrapped(std::size_t i, std::size_t m, bool periodic) {
  return periodic ? (i + m) % m : i;
}

// The bending the curve must follow: +1 convex, -1 concave, 0 none.
// In arithmetic (the shape itself, but 0 for flat), so that the knot loop
// does not branch on it: on rough data the shapes follow no pattern.
inline int orientation(Shape shape) {
  const int v = static_cast<int>(shape);
  return v - 2 * static_cast<int>(v == static_cast<int>(Shape::flat));
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

// On periodic data (`periodic`) the end knots are one knot, between the last
// interval and the first: both take the bend of the secants there, and a
// straight stretch may run across it.
Classes classify(const Samples& samples, bool periodic = false);

// Whether the secants beside interior knot k turn by more than their own
// rounding: 1e-12 of their size and the secants' inherited rounding, two ulps
// of the values over each width. Below that the knot is collinear.
int bend_at(const Samples& samples, std::size_t k);

}  // namespace velarix::quintic
