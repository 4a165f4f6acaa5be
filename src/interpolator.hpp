// The three interfaces every method implements: a piece of a spline, a fitted
// spline, and a configuration that fits data.
#pragma once

#include <array>
#include <concepts>
#include <span>
#include <string>
#include <utility>

#include "error.hpp"

namespace velarix {

// The highest derivative every piece gives in closed form (third_derivative).
inline constexpr int highest_derivative = 3;

// One piece of a spline over one interval. Each operation takes an absolute
// abscissa inside the piece's interval; the piece maps it to its own local
// parameter. Beyond the signatures, every piece keeps two promises that the
// shared layers rely on and the typed suite `PieceContract` checks for every
// method:
//   - at its left knot it returns the knot's value exactly (the spline is
//     evaluated there from the right, and a knot's value must be the data's
//     to the bit), so a piece is written around y0 + t (...) rather than as a
//     blend whose terms cancel at t = 0;
//   - its fields and results stay finite for data whose values reach near
//     the largest double (fitted in scale, see scaled_fit.hpp): no
//     intermediate squares or sums of values that overflow first.
template <class P>
concept SplinePiece = std::copyable<P> && requires(const P& piece, double x) {
  { piece.value(x) } -> std::same_as<double>;
  { piece.first_derivative(x) } -> std::same_as<double>;
  { piece.second_derivative(x) } -> std::same_as<double>;
  { piece.third_derivative(x) } -> std::same_as<double>;
};

// A piece that also integrates in closed form. `primitive()` computes once
// whatever the integral needs beyond the piece's own fields (the spline keeps
// one per piece when it first integrates); `antiderivative(primitive, x)` is
// the integral from the piece's left knot to x, and `antiderivative(x)` the
// same without a kept primitive. Both give the same bits.
template <class P>
concept IntegrablePiece =
    SplinePiece<P> && requires(const P& piece, const typename P::Primitive& primitive, double x) {
      { piece.primitive() } -> std::same_as<typename P::Primitive>;
      { piece.antiderivative(primitive, x) } -> std::same_as<double>;
      { piece.antiderivative(x) } -> std::same_as<double>;
    };

// A piece that integrates repeatedly in closed form too:
// `repeated_integral(primitive, n, x)` is the n-fold integral from the
// piece's left knot, int_x0^x (x - t)^(n-1) / (n-1)! S(t) dt, for n from 1
// (the antiderivative itself, to the same bits) to highest_antiderivative
// (repeated.hpp). Like the antiderivative it is the piece's own formula at
// any x, beyond its knots too.
template <class P>
concept RepeatedPiece =
    IntegrablePiece<P> &&
    requires(const P& piece, const typename P::Primitive& primitive, int n, double x) {
      { piece.repeated_integral(primitive, n, x) } -> std::same_as<double>;
    };

// A piece that lists its own fields: `fields()` gives them in the order of
// `field_names`, one name each. A saved state stores them; Python shows them
// by name.
template <class P>
concept FieldList = requires(const P& piece) {
  { piece.fields() } -> std::same_as<std::array<double, P::field_count>>;
  requires P::field_names.size() == P::field_count;
};

// Two doubles operated on lane by lane (a GCC vector extension): every
// arithmetic operator acts on each lane alone, with the same IEEE rounding,
// so a lane holds exactly the bits the expression gives on doubles.
using Pair = double __attribute__((vector_size(16)));

// One abscissa through a piece's paired code (`paired(a, b, x)` evaluates
// x[0] in a and x[1] in b), run in both lanes: one compiled function for the
// single and the paired paths keeps every result, NaN included, the same
// bits on both.
template <class Piece>
double in_both_lanes(Pair (*paired)(const Piece&, const Piece&, Pair), const Piece& piece,
                     double x) {
  return paired(piece, piece, Pair{x, x})[0];
}

// A piece whose four evaluations can also run on two abscissas at once, each
// in its own piece, giving in each lane the bits of the single evaluation.
template <class P>
concept PairedPiece = SplinePiece<P> && requires(const P& piece, Pair xs) {
  { P::value_pair(piece, piece, xs) } -> std::same_as<Pair>;
  { P::first_derivative_pair(piece, piece, xs) } -> std::same_as<Pair>;
  { P::second_derivative_pair(piece, piece, xs) } -> std::same_as<Pair>;
  { P::third_derivative_pair(piece, piece, xs) } -> std::same_as<Pair>;
};

// A fitted spline: pure, never failing evaluation, and its closed domain
// [x0, xn].
template <class S>
concept Interpolator1d = requires(const S& spline, double x) {
  { spline.value(x) } -> std::same_as<double>;
  { spline.first_derivative(x) } -> std::same_as<double>;
  { spline.second_derivative(x) } -> std::same_as<double>;
  { spline.third_derivative(x) } -> std::same_as<double>;
  { spline.domain() } -> std::same_as<std::pair<double, double>>;
};

// A configuration: fits data to a new spline of its `Spline` type, or reports
// an Error. The configuration itself is not changed.
template <class F>
concept Fit = Interpolator1d<typename F::Spline> &&
              requires(const F& config, std::span<const double> data) {
                { config.fit(data, data) } -> std::same_as<Result<typename F::Spline>>;
                { config.debug_text() } -> std::same_as<std::string>;
              };

}  // namespace velarix
