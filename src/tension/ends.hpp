// The end pieces of a tension spline with natural ends.
#pragma once

#include <span>

#include "memory.hpp"
#include "tension/piece.hpp"

namespace velarix::tension::ends {

// Makes S'' of the first piece at knots.front() and of the last piece at
// knots.back() exactly 0, where the slope system leaves it at rounding
// level: the gap between the end slope and the secant (d1 of the first
// piece, d2 of the last, with the first piece's yp0 following) is moved by
// the few ulps that make the piece's own formula cancel to zero. A piece
// without such a gap nearby keeps its rounding-level S''.
void zero_end_curvature(Vector<TensionPiece>& pieces, std::span<const double> knots);

}  // namespace velarix::tension::ends
