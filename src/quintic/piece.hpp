// One interval of the shape-preserving quintic: the quintic Hermite
// interpolant of value, slope and curvature at both ends.
//
// The piece is the chord plus a correction that vanishes at both ends,
//   S(x) = y0 + t dy + h Q(t),  t = (x - x0) / h,  dy = y1 - y0,
//   Q(t) = -p0 t + A0/2 t^2 + (6 p0 - 4 p1 - 3/2 A0 + 1/2 A1) t^3
//          + (-8 p0 + 7 p1 + 3/2 A0 - A1) t^4 + (3 p0 - 3 p1 - 1/2 A0 + 1/2 A1) t^5,
// written with the gaps between the end slopes and the secant s = dy / h,
// p0 = s - d0 and p1 = d1 - s, and the scaled curvatures A = h a. In the
// plain Hermite form the cubic and higher coefficients are differences such
// as 10 dy - 6 h d0 - 4 h d1, which cancel down to the rounding of dy when the
// slopes are close to the secant; here dy has cancelled in the algebra, so
// the curvature, whose sign is the shape of the piece, is exact to the
// rounding of the gaps themselves.
//
// Each half of the interval is evaluated in powers of the distance to its own
// end, tau = (x - x_e) / h (the middle itself, where the distances tie,
// about the left end): the value at a knot is then y itself, and the
// slope and curvature there are those of the knot up to a rounding, so the
// curve is C² across breakpoints to rounding. (Powers of t about the left end
// alone would lose y1 by an ulp and the curvature at the right end by up to
// the cancellation of the five coefficients.) A flat interval (equal values,
// zero gaps and curvatures) has every coefficient but the value exactly 0, so
// it is exactly that constant.
//
// The piece keeps the eight numbers that define it, one cache line, and
// forms the coefficients of the half it evaluates from them.
#pragma once

#include <array>
#include <cstddef>
#include <type_traits>

#include "interpolator.hpp"
#include "memory.hpp"

namespace velarix::quintic {

// What defines a piece besides its interval: the two values, the secant
// (y1 - y0) / h the gaps are measured from, the two gaps and the two
// curvatures.
struct Hermite {
  double y0;
  double y1;
  double s;
  double p0;
  double p1;
  double a0;
  double a1;
};

class QuinticPiece {
 public:
  // Uninitialized, for an array of pieces that the fit's threads fill in
  // place (see memory::filled_in_place).
  QuinticPiece() = default;

  // A gap equal to the secant (a zero end slope, at a data extremum or
  // beside a flat) scales to the rise itself, so that the slope there is
  // exactly 0 (h s would miss the rise by its rounding, and the curve would
  // pass the extremum's value by as much).
  QuinticPiece(double x0, double x1, const Hermite& e) : x_{x0, x1}, y_{e.y0, e.y1} {
    const double h = x1 - x0;
    const double dy = e.y1 - e.y0;
    gap_[0] = e.p0 == e.s ? dy : h * e.p0;
    gap_[1] = e.p1 == -e.s ? -dy : h * e.p1;
    bend_[0] = h * (h * e.a0);
    bend_[1] = h * (h * e.a1);
  }

  // Every field (x0, x1, y0, y1, h p0, h p1, h^2 a0, h^2 a1), and the piece
  // rebuilt from them: a saved spline is restored from its fields, not
  // refitted, so that it evaluates to the same bits.
  static constexpr std::size_t field_count = 8;
  static constexpr std::array<const char*, field_count> field_names = {
      "x0", "x1", "y0", "y1", "gap0", "gap1", "bend0", "bend1"};
  std::array<double, field_count> fields() const {
    return {x_[0], x_[1], y_[0], y_[1], gap_[0], gap_[1], bend_[0], bend_[1]};
  }
  static QuinticPiece from_fields(const std::array<double, field_count>& f) {
    return QuinticPiece(f);
  }

  // A single evaluation runs the paired code in both lanes (in_both_lanes).
  double value(double x) const { return in_both_lanes(value_pair, *this, x); }
  double first_derivative(double x) const { return in_both_lanes(first_derivative_pair, *this, x); }
  double second_derivative(double x) const { return in_both_lanes(second_derivative_pair, *this, x); }
  double third_derivative(double x) const { return in_both_lanes(third_derivative_pair, *this, x); }

  // Two abscissas, x[0] in a and x[1] in b: the two evaluations run on the
  // two lanes at once.
  [[gnu::noinline]] static Pair value_pair(const QuinticPiece& a, const QuinticPiece& b, Pair x);
  [[gnu::noinline]] static Pair first_derivative_pair(const QuinticPiece& a,
                                                      const QuinticPiece& b, Pair x);
  [[gnu::noinline]] static Pair second_derivative_pair(const QuinticPiece& a,
                                                       const QuinticPiece& b, Pair x);
  [[gnu::noinline]] static Pair third_derivative_pair(const QuinticPiece& a,
                                                      const QuinticPiece& b, Pair x);

  // The integral from x0 to x. The half about x0 integrates its powers of
  // tau from x0; the half about x1 subtracts the integral from x to x1 from
  // the whole piece's, which needs nothing beyond the fields.
  struct Primitive {};
  Primitive primitive() const { return {}; }
  double antiderivative(const Primitive&, double x) const { return antiderivative(x); }
  double antiderivative(double x) const;
  // The n-fold integral from x0 (see RepeatedPiece): the half about x0 from
  // its powers of tau, the half about x1 from its own and the Taylor terms
  // of the integrals over the whole piece.
  double repeated_integral(const Primitive&, int n, double x) const;

  double x0() const { return x_[0]; }
  double x1() const { return x_[1]; }

 private:
  struct Lanes;

  explicit QuinticPiece(const std::array<double, field_count>& f)
      : x_{f[0], f[1]}, y_{f[2], f[3]}, gap_{f[4], f[5]}, bend_{f[6], f[7]} {}

  double x_[2];
  double y_[2];
  // h p0 and h p1.
  double gap_[2];
  // h A0 = h^2 a0 and h A1 = h^2 a1.
  double bend_[2];
};

static_assert(sizeof(QuinticPiece) == 64);
static_assert(std::is_trivially_default_constructible_v<QuinticPiece>);
static_assert(PairedPiece<QuinticPiece>);
static_assert(RepeatedPiece<QuinticPiece>);

}  // namespace velarix::quintic

template <>
inline constexpr bool velarix::memory::filled_in_place<velarix::quintic::QuinticPiece> = true;
