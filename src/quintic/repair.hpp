// Other curvatures for the knots of a convex or concave interval whose
// piece cannot bend as its data do, before any knot is inserted for it.
#pragma once

#include <cstddef>
#include <span>

#include "memory.hpp"
#include "quintic/shape.hpp"
#include "samples.hpp"

namespace velarix::quintic {

// For each of the `failing` convex or concave intervals (in knot order) that
// still fails keeps_bending: the curvatures (a0, a1) nearest to its knots'
// own for which the piece's S'' has non-negative Bernstein coefficients
// (oriented), within what the knots' other intervals allow (0 beside a flat,
// the sign of S' beside a monotone one). Kept only if the piece then passes
// and no neighbouring piece that kept its shape before loses it; the slopes
// are not changed. A natural end keeps its curvature 0; periodic data's end
// knots are one knot, whose other interval is across the wrap.
//
// Returns, for each failing interval, whether its piece passes or fails
// keeps_bending with the values the repair leaves (Known), where the repair
// has found that out; none on periodic data.
Vector<std::uint8_t> repair_curvatures(const Samples& samples, std::span<const Shape> shapes,
                       std::span<const double> d, std::span<double> a,
                       std::span<const std::size_t> failing, const Ends& ends);

}  // namespace velarix::quintic
