// One piece of the rational cubic spline: a cubic over a quadratic on one
// interval, with two global shape parameters u, v and the interval's own
// convexity parameter w.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <limits>

#include "interpolator.hpp"

namespace velarix::rational_cubic {

// S(x) = P(t) / Q(t) with t = (x - x_left) / h, where
//   P(t) = p0 + p1 t + p2 t^2 + p3 t^3,
//   Q(t) = q0 + q1 t + q2 t^2.
//
// That power form keeps coefficients of size w |Y| for a curve of size |Y|,
// and its derivatives subtract products with Q' ~ w: the first derivative
// loses about w^2 ulps, the second w^3. The third loses a few times what
// the second does, in units of the sizes it is formed from (S''/h and
// S'/h^2 beside its own): on smooth data, where S''' is far below those,
// neither is accurate to its own size. A piece whose w is at least
// kChordFormFrom is therefore stored in the chord form instead, as the chord
// plus a correction in which w only ever multiplies, never cancels:
//   S = Y0 + t dY + g c / Q,  g = t (1 - t),  c = a + t (b - a),
//   Q = alpha + g w,  alpha = u + t (v - u),
//   a = u (h D0 - dY),  b = v (dY - h D1),  dY = Y1 - Y0,
// with the fields p0 = Y0, p1 = dY, p2 = a, p3 = b, q0 = u, q1 = v and q2 = w.
// q2 > 0 marks this form: the power form has q2 = -w <= 0.
struct RationalCubicPiece {
  double p0;
  double p1;
  double p2;
  double p3;
  double x_left;
  double h;
  double q0;
  double q1;
  double q2;

  // The piece through (x_left, y0) and (x_left + h, y1) with end derivatives
  // d0 and d1. Requires u, v > 0 and w >= 0, so that Q >= min(u, v) > 0 on
  // [0, 1]. With w = 0 and u = v it is the cubic Hermite polynomial; as w
  // grows it tends to the chord.
  static RationalCubicPiece from_interval(double y0, double y1, double d0, double d1, double x_left,
                                          double h, double u, double v, double w);

  // The same piece in the chord form at any w > 0 (w = 0 would read as the
  // power form): a piece whose values are large beside their change keeps
  // its slope to the rounding of dY there, where the power form's
  // derivatives lose about |Y| / |dY| ulps to cancellation.
  static RationalCubicPiece in_chord_form(double y0, double y1, double d0, double d1,
                                          double x_left, double h, double u, double v, double w);

  // From this w on a piece is built in the chord form. Below it the power
  // form loses up to about 2^13 ulps in S' (measured against extended
  // precision just below the threshold, 2^10 at w = 10), and it stays there
  // so that such pieces, the pieces of strictly convex data, keep their bits.
  static constexpr double kChordFormFrom = 32;
  bool chord_form() const { return q2 > 0; }

  // Every field, in declaration order, and the piece rebuilt from them: a
  // saved spline is restored from its fields, not refitted, so that it
  // evaluates to the same bits.
  static constexpr std::size_t field_count = 9;
  static constexpr std::array<const char*, field_count> field_names = {
      "p0", "p1", "p2", "p3", "x_left", "h", "q0", "q1", "q2"};
  std::array<double, field_count> fields() const {
    return {p0, p1, p2, p3, x_left, h, q0, q1, q2};
  }
  static RationalCubicPiece from_fields(const std::array<double, field_count>& f) {
    return {f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7], f[8]};
  }

  // A single evaluation runs the paired code in both lanes (in_both_lanes):
  // the operand order of a commutative operation is the compiler's choice,
  // and with two NaN operands it decides which NaN (and so which sign) comes
  // out.
  double value(double x) const { return in_both_lanes(value_pair, *this, x); }
  double first_derivative(double x) const { return in_both_lanes(first_derivative_pair, *this, x); }
  double second_derivative(double x) const { return in_both_lanes(second_derivative_pair, *this, x); }
  double third_derivative(double x) const { return in_both_lanes(third_derivative_pair, *this, x); }

  // Two abscissas, x[0] in a and x[1] in b. The divisions, which bound the
  // cost of an evaluation, then run two at a time. Not inlined, so that no
  // call site gets its own compilation of the formulas (see above).
  [[gnu::noinline]] static Pair value_pair(const RationalCubicPiece& a, const RationalCubicPiece& b,
                                           Pair x) {
    return paired(a, b, x, value_at, chord_value_at);
  }
  [[gnu::noinline]] static Pair first_derivative_pair(const RationalCubicPiece& a,
                                                      const RationalCubicPiece& b, Pair x) {
    return paired(a, b, x, first_derivative_at, chord_first_derivative_at);
  }
  [[gnu::noinline]] static Pair second_derivative_pair(const RationalCubicPiece& a,
                                                       const RationalCubicPiece& b, Pair x) {
    return paired(a, b, x, second_derivative_at, chord_second_derivative_at);
  }
  [[gnu::noinline]] static Pair third_derivative_pair(const RationalCubicPiece& a,
                                                      const RationalCubicPiece& b, Pair x) {
    return paired(a, b, x, third_derivative_at, chord_third_derivative_at);
  }

  // What the integral of a piece needs besides its fields: the partial
  // fractions of P/Q, worked out once. With Q = u (1 + a t)(1 - g t), the
  // poles sit at t = -1/a, left of the interval, and t = 1/g, right of it. A
  // pole within 0.7 interval widths of its end gets a logarithm; a farther
  // one would give a logarithm with a large coefficient that cancels against
  // the polynomial part, so its factor is expanded instead, in powers of
  // t - 1/2, where it converges fast.
  struct Primitive {
    enum class Kind : unsigned char { near_both, near_left, near_right, far_both };
    double x_left;
    double h;
    // The integral over t is t (poly[0] + t poly[1]) (the polynomial part and
    // the chord of the chord form) plus, for near_both,
    // c[0] log1p(c[1] t) + c[2] log1p(c[3] t); otherwise c[0] log1p(c[1] t)
    // (0 for far_both) plus the series of sum_j (c[2..5] in powers of
    // s = t - 1/2) times the expansion of the far factors, whose ratios are
    // c[6] (left) and c[7] (right).
    double poly[2];
    double c[8];
    // The series at t = 0, subtracted so that the integral starts at 0.
    double start;
    Kind kind;
  };
  Primitive primitive() const;
  // The integral of the piece from x_left to x.
  double antiderivative(const Primitive& primitive, double x) const;
  double antiderivative(double x) const { return antiderivative(primitive(), x); }
  // The n-fold integral from x_left (see RepeatedPiece), from the same
  // partial fractions: the polynomial part and the series to powers, each
  // pole's fraction to its logarithm times powers of its factor.
  double repeated_integral(const Primitive& primitive, int n, double x) const;

  friend bool operator==(const RationalCubicPiece&, const RationalCubicPiece&) = default;

 private:
  // The fields of two pieces, one per lane.
  struct Lanes {
    Lanes(const RationalCubicPiece& a, const RationalCubicPiece& b)
        : p0{a.p0, b.p0},
          p1{a.p1, b.p1},
          p2{a.p2, b.p2},
          p3{a.p3, b.p3},
          x_left{a.x_left, b.x_left},
          h{a.h, b.h},
          q0{a.q0, b.q0},
          q1{a.q1, b.q1},
          q2{a.q2, b.q2} {}
    Pair p0, p1, p2, p3, x_left, h, q0, q1, q2;
  };

  // P, Q and their t-derivatives at t = (x - x_left) / h, on the fields of
  // two pieces, one per lane. Each formula below uses what it needs; the
  // rest is never computed once the helper is inlined.
  struct Terms {
    Pair t, p, q, dp, dq;
  };
  static Terms terms(const Lanes& f, Pair x) {
    const Pair t = (x - f.x_left) / f.h;
    return {t, f.p0 + t * (f.p1 + t * (f.p2 + t * f.p3)), f.q0 + t * (f.q1 + t * f.q2),
            f.p1 + t * (2 * f.p2 + (3 * t) * f.p3), f.q1 + (2 * t) * f.q2};
  }

  // Per lane, the chord-form result where that lane's piece is in the chord
  // form, the power-form result elsewhere.
  static Pair blend(const Lanes& f, Pair chord, Pair power) {
    return Pair{f.q2[0] > 0 ? chord[0] : power[0], f.q2[1] > 0 ? chord[1] : power[1]};
  }

  // One result of the two pieces a and b at x[0] and x[1]: the power form's
  // in both lanes, or where either piece is in the chord form, each lane's
  // own form's (blend).
  template <class PowerForm, class ChordForm>
  static Pair paired(const RationalCubicPiece& a, const RationalCubicPiece& b, Pair x,
                     PowerForm power, ChordForm chord) {
    const Lanes f(a, b);
    if (!(a.chord_form() || b.chord_form())) [[likely]] return power(f, x);
    return blend(f, chord(f, x), power(f, x));
  }

  static Pair value_at(const Lanes& f, Pair x) {
    const Terms at = terms(f, x);
    return at.p / at.q;
  }

  static Pair first_derivative_at(const Lanes& f, Pair x) {
    const auto [t, p, q, dp, dq] = terms(f, x);
    // (P/Q)' = (P'Q - Q'P) / Q^2, then d/dx = (d/dt) / h.
    return ((dp * q - dq * p) / (q * q)) / f.h;
  }

  static Pair second_derivative_at(const Lanes& f, Pair x) {
    const auto [t, p, q, dp, dq] = terms(f, x);
    const Pair ddp = 2 * f.p2 + (6 * t) * f.p3;
    const Pair ddq = 2 * f.q2;
    // (P/Q)'' = (Q (P''Q - Q''P) - 2Q' (P'Q - Q'P)) / Q^3, then d^2/dx^2 = (d^2/dt^2) / h^2.
    const Pair numerator = q * (ddp * q - ddq * p) - (2 * dq) * (dp * q - dq * p);
    return (numerator / (q * (q * q))) / (f.h * f.h);
  }

  static Pair third_derivative_at(const Lanes& f, Pair x) {
    const auto [t, p, q, dp, dq] = terms(f, x);
    const Pair ddp = 2 * f.p2 + (6 * t) * f.p3;
    const Pair ddq = 2 * f.q2;
    // With D = P'Q - Q'P, D' = P''Q - Q''P and D'' = P'''Q + P''Q' - Q''P',
    // (P/Q)''' = (Q^2 D'' - 4 Q Q' D' + (6 Q'^2 - 2 Q Q'') D) / Q^4, then
    // d^3/dx^3 = (d^3/dt^3) / h^3.
    const Pair d = dp * q - dq * p;
    const Pair d1 = ddp * q - ddq * p;
    const Pair d2 = ((6 * f.p3) * q + ddp * dq) - ddq * dp;
    const Pair numerator = q * ((q * d2 - (4 * dq) * d1) - (2 * ddq) * d) + (6 * (dq * dq)) * d;
    return (numerator / ((q * q) * (q * q))) / (f.h * (f.h * f.h));
  }

  static constexpr double kInfinity = std::numeric_limits<double>::infinity();

  // The chord form (see above), lane by lane: dY = p1, a = p2, b = p3, u = q0,
  // v = q1, w = q2.
  struct Chord {
    Pair t, g, dg, c, alpha, q;
  };
  static Chord chord_terms(const Lanes& f, Pair x) {
    const Pair t = (x - f.x_left) / f.h;
    const Pair g = t * (1 - t);
    const Pair alpha = f.q0 + t * (f.q1 - f.q0);
    return {t, g, 1 - 2 * t, f.p2 + t * (f.p3 - f.p2), alpha, alpha + g * f.q2};
  }

  // a and b are finite whenever the data and slopes are, but b - a can
  // overflow for data near the largest doubles, and c = a + t (b - a) with it:
  // even at t = 0, where c = a, the product t (b - a) is then NaN. Such a lane
  // works with a and b halved, exactly, and doubles its correction back; c,
  // which lies between a and b, then stays finite. Other lanes scale by 1 and
  // keep their bits.
  static Pair chord_value_at(const Lanes& f, Pair x) {
    const Chord at = chord_terms(f, x);
    const Pair bend = f.p3 - f.p2;
    const Pair halve = {std::fabs(bend[0]) == kInfinity ? 0.5 : 1.0,
                        std::fabs(bend[1]) == kInfinity ? 0.5 : 1.0};
    const Pair a = f.p2 * halve;
    const Pair c = a + at.t * (f.p3 * halve - a);
    return (f.p0 + at.t * f.p1) + (at.g * c / at.q) / halve;
  }

  // S' = (dY + N1 / Q^2) / h, where N1 = (g c)' Q - Q' g c reduces to
  //   N1 = g' c alpha + g K + g^2 (b - a) w,  K = u b - v a:
  // the two products g' w g c of size w cancel exactly in the algebra and
  // are not computed.
  static Pair chord_first_derivative_at(const Lanes& f, Pair x) {
    const auto [t, g, dg, c, alpha, q] = chord_terms(f, x);
    const Pair k = f.q0 * f.p3 - f.q1 * f.p2;
    const Pair n1 = (dg * c * alpha + g * k) + (g * g) * (f.p3 - f.p2) * f.q2;
    return (f.p1 + n1 / (q * q)) / f.h;
  }

  // S'' = N2 / (Q^3 h^2), where N2 = N1' Q - 2 Q' N1, whose terms in w^2
  // cancel exactly in the algebra, reduces to
  //   N2 = 2 ([K (g' alpha - g alpha') - c alpha^2]
  //           + [g g' ((b - a) alpha + c alpha') - c alpha (1 - 3 g)
  //              - g^2 alpha' (b - a)] w),  alpha' = v - u.
  static Pair chord_second_derivative_at(const Lanes& f, Pair x) {
    const auto [t, g, dg, c, alpha, q] = chord_terms(f, x);
    const Pair k = f.q0 * f.p3 - f.q1 * f.p2;
    const Pair slope = f.q1 - f.q0;  // alpha'
    const Pair bend = f.p3 - f.p2;   // b - a
    const Pair constant = k * (dg * alpha - g * slope) - c * alpha * alpha;
    const Pair by_w =
        (g * dg * (bend * alpha + c * slope) - c * alpha * (1 - 3 * g)) - g * g * slope * bend;
    const Pair n2 = 2 * (constant + by_w * f.q2);
    return (n2 / (q * (q * q))) / (f.h * f.h);
  }

  // S''' = N3 / (Q^4 h^3), where N3 = N2' Q - 3 Q' N2 reduces, with s = 1 - t, to
  //   N3 = 6 (u v (v a - u b) + (a F - b G) w + (a u s^4 - b v t^4) w^2),
  //   F = u^2 s^4 + v^2 t^4 + 2 u v s^3 (1 + t),
  //   G = u^2 s^4 + v^2 t^4 + 2 u v t^3 (1 + s),
  // computed as
  //   N3 = 6 (u v (v a - u b) + 2 u v w (a s^3 (1 + t) - b t^3 (1 + s))
  //           + u s^4 w ((a w - b u) + a u) + v t^4 w ((a v - b w) - b v)).
  // Where a fit holds w at its bound, w is about b u / a (or a v / b), and
  // near that end the terms in w^2 and w cancel to a w - b u (or a v - b w):
  // those two are taken from exact products, and the rest cancels only as
  // the data do. Q is formed from alpha = u s + v t, two positive terms:
  // u + t (v - u) would carry the rounding of u into a small alpha near
  // t = 1 when u is much above v, and Q^4 four times over.
  static Pair chord_third_derivative_at(const Lanes& f, Pair x) {
    const Pair t = (x - f.x_left) / f.h;
    const Pair s = 1 - t;
    const Pair q = (f.q0 * s + f.q1 * t) + (t * s) * f.q2;
    const Pair uv = f.q0 * f.q1;
    const Pair s3 = s * s * s;
    const Pair t3 = t * t * t;
    const Pair w = f.q2;
    const Pair left = difference_of_products(f.p2, w, f.p3, f.q0) + f.p2 * f.q0;
    const Pair right = difference_of_products(f.p2, f.q1, f.p3, w) - f.p3 * f.q1;
    const Pair middle = 2 * uv * w * (f.p2 * s3 * (1 + t) - f.p3 * t3 * (1 + s));
    const Pair ends = f.q0 * (s3 * s) * w * left + f.q1 * (t3 * t) * w * right;
    const Pair n3 = 6 * ((uv * (f.q1 * f.p2 - f.q0 * f.p3) + middle) + ends);
    return (n3 / ((q * q) * (q * q))) / (f.h * (f.h * f.h));
  }

  // a b - c d lane by lane, within about an ulp of the result however much
  // the products cancel: the rounding error of c d is recovered exactly by a
  // fused multiply-add (Kahan's method).
  static Pair difference_of_products(Pair a, Pair b, Pair c, Pair d) {
    Pair result;
    for (int i = 0; i < 2; ++i) {
      const double cd = c[i] * d[i];
      const double error = std::fma(-c[i], d[i], cd);
      result[i] = std::fma(a[i], b[i], -cd) + error;
    }
    return result;
  }
};

static_assert(PairedPiece<RationalCubicPiece>);
static_assert(RepeatedPiece<RationalCubicPiece>);
static_assert(FieldList<RationalCubicPiece>);

}  // namespace velarix::rational_cubic
