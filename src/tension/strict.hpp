// Tensions that keep the shape of the data, verified rather than hoped for.
//
// The requirements come from the data alone: an interval whose secant is 0
// must stay flat; one whose knots both bend the same way (by the change of
// the secants) must keep that curvature; one whose neighbours' secants do not
// turn against its own must be monotone; and beside a data extremum the curve
// may pass the extremum value by a bounded overshoot when the knot slope
// points over it. Each pass checks every requirement on the current knot
// slopes, raises the tensions that fall short (all from the same slopes) and
// solves for the slopes once; the passes end when everything holds after a
// solve, at the pass cap, or when nothing can be raised any more.
#pragma once

#include <cstdint>
#include <span>

#include "boundary.hpp"
#include "memory.hpp"
#include "samples.hpp"
#include "tension/policy.hpp"

namespace velarix::tension::strict {

// The largest tension ever chosen. Beyond it the curvature layers at the
// knots (width h / sigma) would come too close to the spacing of doubles.
inline constexpr double sigma_cap = 1e9;
// A flat interval may deviate by this fraction of the data range.
inline constexpr double flat_tolerance = 1e-12;
// Beside a data extremum, the curve may pass the extremum value by this
// fraction of the data range.
inline constexpr double overshoot_tolerance = 1e-3;

// What the checks read: the data (knots, values, widths, secants), the knot
// slopes and the tension of every interval, and what the end rows of the
// slope system hold. Fixed end slopes cannot move; natural ends move with
// the end intervals' tensions; periodic ends make x[0] and x[n-1] one knot,
// between the last interval and the first, judged as any interior knot.
struct Curve {
  std::span<const double> x;
  std::span<const double> y;
  std::span<const double> h;
  std::span<const double> s;
  std::span<const double> yp;
  std::span<const double> sigma;
  EndRows::Kind ends = EndRows::Kind::slopes;
};

// The largest tension interval [x0, x1] may take: 1e9, or less where 5e-7 h
// is fewer ulps of its knots' distances from the first knot `origin`, so
// that the layer where the curvature turns stays much wider than the
// spacing of the abscissae counted from there (and less where h times the
// tension would overflow).
double tension_cap(double x0, double x1, double origin);

// True when every requirement holds for the slopes and tensions of `curve`.
bool holds(const Curve& curve);

// The strict tensions and slopes for the end rows `ends`, in at most
// max_iter passes, and whether every requirement held after the last.
Selection fit(const Samples& samples, const EndRows& ends, std::uint64_t max_iter);

}  // namespace velarix::tension::strict
