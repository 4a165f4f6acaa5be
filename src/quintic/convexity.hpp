// Convex and concave intervals: the exact test that a quintic piece keeps
// its bending, and the knot inserted where one piece cannot.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>

#include "memory.hpp"
#include "quintic/piece.hpp"
#include "quintic/shape.hpp"
#include "samples.hpp"

namespace velarix::quintic {

// A piece's gaps and scaled curvatures oriented by its bending k (+1 convex,
// -1 concave), so that the wanted shape is convex: p0 = k (s - d0),
// p1 = k (d1 - s), A = k h a. The piece's S'' times h then has the Bernstein
// coefficients
//   A0, 12 p0 - 8 p1 + A1 - 2 A0, 12 p1 - 8 p0 + A0 - 2 A1, A1.
struct Bend {
  double p0;
  double p1;
  double big0;
  double big1;
};

inline Bend oriented(int bending, double h, const Hermite& e) {
  const double k = bending;
  return {k * e.p0, k * e.p1, k * (h * e.a0), k * (h * e.a1)};
}

// fmin and fmax with the C library's rules, inline: the smaller (larger) of
// two numbers, the first of two that compare equal (so +0 and -0 keep their
// order), and the number beside a NaN. The library's are calls, which cost
// more than the comparison itself in the repair's inner arithmetic. The two
// comparisons are joined without a short cut, which would be a branch.
inline double least(double x, double y) { return ((x <= y) | (y != y)) ? x : y; }
inline double greatest(double x, double y) { return ((x >= y) | (y != y)) ? x : y; }

// A coefficient or minimum this far below 0, relative to the size of the
// terms it is made of, is the rounding of those terms: the evaluated S'' or
// S' carries as much.
inline constexpr double kRounding = 1e-14;

// Beyond this a Bernstein coefficient of S'' times h, up to 20 times the
// sum of the terms, may overflow.
inline constexpr double kLargeScale = 0x1p1018;

// The minimum over [0, 1] of the cubic with Bernstein coefficients e0..e3.
double cubic_minimum(double e0, double e1, double e2, double e3);

// The Bernstein coefficients e0..e3 of S'' h of a piece (as in Bend), the
// sum of the sizes of the terms they are made of, and the floor below which
// a coefficient is more than their rounding.
struct Bernstein {
  double e0;
  double e1;
  double e2;
  double e3;
  double scale;
  double floor;
};

inline Bernstein bernstein(const Bend& b) {
  const double scale = std::fabs(b.p0) + std::fabs(b.p1) + std::fabs(b.big0) + std::fabs(b.big1);
  return {b.big0, (12 * b.p0 - 8 * b.p1) + (b.big1 - 2 * b.big0),
          (12 * b.p1 - 8 * b.p0) + (b.big0 - 2 * b.big1), b.big1, scale, -kRounding * scale};
}

// Whether a piece whose coefficients are all finite and below kLargeScale
// dips, by its coefficients alone, well below the floor: an end coefficient
// below it, or the value at 1/3 or 2/3 of the way from an end
// (27 q(1/3) = 8 e0 + 12 e1 + 6 e2 + e3, and symmetrically). Most pieces that
// fail do so near an end, so the value at 1/8 of the way from either end
// (512 q(1/8) = 343 e0 + 147 e1 + 21 e2 + e3) is tested too, against a
// floor kCertain times lower: there the exact minimum lies as far below the
// floor as the rounding of these sums, and of the minimum's own arithmetic,
// could ever move it, so the test decides as the minimum would, without its
// square root and divisions.
inline constexpr double kCertain = 1e5;
inline bool dips(const Bernstein& c) {
  const auto [e0, e1, e2, e3, scale, floor] = c;
  return (e0 < floor) | (e3 < floor) | (8 * e0 + 12 * e1 + 6 * e2 + e3 < 27 * floor) |
         (e0 + 6 * e1 + 12 * e2 + 8 * e3 < 27 * floor) |
         (343 * e0 + 147 * e1 + 21 * e2 + e3 < 512 * kCertain * floor) |
         (e0 + 21 * e1 + 147 * e2 + 343 * e3 < 512 * kCertain * floor);
}

// The exact test, for coefficients that are finite and below kLargeScale.
bool minimum_keeps_bending(const Bernstein& c);

// The test below past its first decision: pieces near the largest double,
// and those whose coefficients dip below the floor.
bool keeps_bending_closely(const Bend& b, const Bernstein& c);

// Whether S'' >= 0 on the whole piece, to the rounding of its coefficients:
// the exact minimum of the cubic S'' on [0, 1], not only its Bernstein
// coefficients (which are sufficient, not necessary, and decide at once
// for most pieces: that much is inline, where the fit asks it of every
// convex and concave interval).
inline bool all_above_floor(const Bernstein& c) {
  return (c.e0 >= c.floor) & (c.e3 >= c.floor) & (c.e1 >= c.floor) & (c.e2 >= c.floor);
}
inline bool keeps_bending(const Bend& b) {
  const Bernstein c = bernstein(b);
  // Below kLargeScale (so finite, and not NaN) with all four coefficients
  // above the floor: the piece bends as it should.
  if (c.scale <= kLargeScale && all_above_floor(c)) return true;
  return keeps_bending_closely(b, c);
}

// The same test, negated, for the knot insertion, whose pieces mostly failed
// once and still fail about half the time: the coefficients' own tests are
// combined without branches, which on such pieces go either way at random,
// so that only the pieces left open by them take a branch to the exact
// minimum.
[[gnu::always_inline]] inline bool fails_bending(const Bend& b) {
  const Bernstein c = bernstein(b);
  const bool passes = all_above_floor(c);
  const bool fails = dips(c);
  if (!(c.scale <= kLargeScale)) [[unlikely]] return !keeps_bending_closely(b, c);
  if (passes | fails) return !passes;
  return !minimum_keeps_bending(c);
}

// Whether S' keeps the sign sg on the piece: the Bernstein coefficients of
// S', d0, d0 + h a0 / 4, 5 s - 2 d0 - 2 d1 - h a0 / 4 + h a1 / 4,
// d1 - h a1 / 4, d1, all of that sign (to rounding).
// Inline: the fit asks it of every monotone interval.
inline bool keeps_sign(double sg, double h, const Hermite& e) {
  const double s = e.s;
  const double d0 = sg * (s - e.p0);
  const double d1 = sg * (s + e.p1);
  const double q0 = sg * (h * e.a0) / 4;
  const double q1 = sg * (h * e.a1) / 4;
  const double middle = (5 * (sg * s) - 2 * d0 - 2 * d1) - q0 + q1;
  const double scale = std::fabs(s) + std::fabs(d0) + std::fabs(d1) + std::fabs(q0) + std::fabs(q1);
  const double floor = -kRounding * scale;
  return std::isfinite(scale) && d0 >= floor && d1 >= floor && d0 + q0 >= floor &&
         d1 - q1 >= floor && middle >= floor;
}

// The Hermite data of interval i of a fit with knot slopes d and curvatures
// a.
inline Hermite hermite(const Samples& samples, std::span<const double> d,
                       std::span<const double> a, std::size_t i) {
  const std::span<const double> y = samples.y();
  const double s = samples.secants()[i];
  return {y[i], y[i + 1], s, s - d[i], d[i + 1] - s, a[i], a[i + 1]};
}

// Those of `candidates` (convex or concave intervals) whose single piece
// fails keeps_bending.
Vector<std::size_t> failing(const Samples& samples, std::span<const Shape> shapes,
                            std::span<const double> d, std::span<const double> a,
                            std::span<const std::size_t> candidates);

// What becomes of each interval once knots are inserted.
enum Mark : std::uint8_t {
  kKept = 0,          // one piece, which keeps its shape
  kSplit = 1,         // two pieces, about an inserted knot
  kNotKept = 2,  // one piece, which cannot bend as its data do: kept
                 // monotone only without insertion, or with end slopes
                 // given outside the secants
};

// What is known of a failing interval's bending test with the values the
// repair leaves (see repair_curvatures).
enum Known : std::uint8_t {
  kUntested = 0,  // to be tested
  kPasses = 1,
  kFails = 2,
};

// Marks the convex and concave intervals that get a knot inserted, and caps
// the curvatures of their knots so that both halves keep the bending. A cap
// changes the neighbouring interval, which is tested again, so the caps
// cascade until nothing changes; each interval is split at most once and a
// curvature only ever shrinks, so the cascade ends. `failing` holds every
// interval that fails keeps_bending (in knot order); every other one passes
// and is tested again only if a cap changes it. On periodic data (`ends`)
// the end knots are one knot, between the last interval and the first.
// Caps only shrink a curvature, so a natural end's 0 stays. `known` (empty,
// or one entry per failing interval) says what the repair left known of
// their tests, which stands until a cap reaches one of their knots.
Vector<std::uint8_t> insert_knots(const Samples& samples, std::span<const Shape> shapes,
                                  std::span<const double> d, std::span<double> a,
                                  std::span<const std::size_t> failing, const Ends& ends,
                                  std::span<const std::uint8_t> known = {});

// The share of a half's slope change that lies between its outer end and
// its secant: each half's gaps are in the ratio 0.58 : 0.42 (outer end
// first). At 3 : 2 one Bernstein coefficient of a half's S'' would be
// exactly 0 and the rounding of the new knot's value could make it
// negative; 0.58 keeps 0.4 of the gap in hand.
inline constexpr double kOuterShare = 0.58;
// A half keeps its bending when its outer end's scaled curvature lambda A
// is at most this many times that end's gap (see insert_knots).
inline constexpr double kCapRatio = 12 * kOuterShare - 8 * (1 - kOuterShare);  // 3.6 / 2

// The two halves of a split interval [x0, x1] with bending k: the knot
// where the end tangents meet, x0 + lambda h with lambda = p1 / (p0 + p1),
// with half the smaller end curvature and the slope for which both halves'
// gaps are in the ratio kOuterShare (the secant s for the exact lambda; the
// knot's own rounding moves it by as little). The gaps are taken from the
// halves' secants as their rounded values give them, so that the halves
// meet with one slope. None when the gaps are not both positive or the knot
// falls on an end.
struct Halves {
  double x;
  Hermite left;
  Hermite right;
};
std::optional<Halves> split(int bending, double x0, double x1, const Hermite& ends);
// The knot split inserts, where it does.
std::optional<double> split_point(int bending, double x0, double x1, const Hermite& ends);

}  // namespace velarix::quintic
