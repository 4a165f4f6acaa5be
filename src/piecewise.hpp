// The container every fitted spline is built on: sorted knots and one piece
// per interval, with the clamped interval lookup. This is the only place that
// clamps, locates and dispatches to a piece. The search and its bucket index
// are in piecewise/lookup.hpp, the tables the integrals keep in
// piecewise/integral_table.hpp, the extrapolation modes and the periodic
// continuation in piecewise/continuation.hpp.
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <utility>

#include "error.hpp"
#include "extrapolation.hpp"
#include "interpolator.hpp"
#include "memory.hpp"
#include "period.hpp"
#include "piecewise/continuation.hpp"
#include "piecewise/integral_table.hpp"
#include "piecewise/lookup.hpp"
#include "repeated.hpp"
#include "scale.hpp"

namespace velarix {

// Which of the four evaluations a call asks for.
enum class Derivative { value, first, second, third };

using piecewise::ascending;
using piecewise::CarriedSum;
using piecewise::forward_steps;
using piecewise::IntegralTable;
using piecewise::LazyIntegrals;
using piecewise::locate;
using piecewise::overlap;
using piecewise::writes_ahead_of_reads;
using piecewise::RepeatedTable;

// The knots and pieces are held in the coordinates of the fit (see Scale):
// knots(), pieces(), clamp() and interval() work in those, while the
// evaluations, integrals and domain() take and give the caller's units. With
// the identity scale, the usual case, the two are the same and the scaled
// paths are never entered.
template <SplinePiece P>
class Piecewise : public piecewise::Continuation<Piecewise<P>> {
 public:
  // Knots must be sorted; there is one piece per interval.
  Piecewise(Doubles knots, Vector<P> pieces, Scale scale = {})
      : knots_(std::move(knots)), pieces_(std::move(pieces)), scale_(scale) {
    if (pieces_.empty() || knots_.size() != pieces_.size() + 1 ||
        !(knots_.front() <= knots_.back())) {
      throw InternalError("piecewise curve needs sorted knots and one piece per interval");
    }
    last_piece_ = pieces_.size() - 1;
    index_ = piecewise::BucketIndex(knots_);
  }

  std::span<const double> knots() const { return knots_; }
  std::span<const P> pieces() const { return pieces_; }
  const Scale& scale() const { return scale_; }
  void set_scale(Scale scale) { scale_ = scale; }
  // A curve fitted with periodic ends repeats with period last - first
  // knot: outside the knots every evaluation is that at the abscissa's
  // image in the period (wrap_into_period), and the antiderivative and the
  // integrals add one integral over the knots per whole period crossed.
  bool periodic() const { return periodic_; }
  void set_periodic(bool periodic) { periodic_ = periodic; }
  std::pair<double, double> domain() const {
    return {scale_.x_out(knots_.front()), scale_.x_out(knots_.back())};
  }

  // Nothing is extrapolated: x is clamped to the domain first, so outside it
  // the value and every derivative are those at the nearer end, or for a
  // periodic curve those at its image in the period. A NaN x stays NaN and
  // is handed to piece 0 (whose result is NaN, see apply); an infinite x
  // has no image in a period and becomes NaN there.
  double clamp(double x) const { return clamp(x, knots_.front(), knots_.back()); }

  // The piece that evaluates a clamped abscissa: an interior knot belongs to
  // the piece on its right, the last knot to the last piece.
  std::size_t interval(double clamped) const {
    const std::size_t count = index_.count_at_most(knots_, clamped);
    const std::size_t i = count == 0 ? 0 : count - 1;
    return std::min(i, last_piece_);
  }

  template <Derivative D>
  double evaluate(double x) const {
    if (scale_.identity()) return evaluate_here<D>(x);
    return scale_.out(evaluate_here<D>(scale_.x_in(x)), static_cast<int>(D));
  }

  // The same at an abscissa of the curve's own coordinates (those of
  // knots()), in those coordinates: what a check of the fit itself reads, so
  // that its verdict does not depend on the scale the fit was made in.
  template <Derivative D>
  double evaluate_in_curve(double x) const {
    return evaluate_here<D>(x);
  }

  // The interval of a clamped abscissa, found by stepping forward from
  // `hint`, an interval of an earlier query; it equals interval(clamped) for
  // every input. knots[i] <= c < knots[i + 1] (or i the last interval with
  // knots[i] <= c) makes i + 1 exactly the count locate returns, since the
  // knots are sorted; a NaN fails the first test and is searched.
  std::size_t interval_from(std::size_t hint, double clamped) const {
    const double* k = knots_.data();
    const std::size_t last = pieces_.size() - 1;
    std::size_t i = hint;
    if (!(k[i] <= clamped)) return interval(clamped);
    for (std::size_t step = 0; i < last && k[i + 1] <= clamped; ++step) {
      if (step == forward_steps) return interval(clamped);
      ++i;
    }
    return i;
  }

  // One evaluation per element, as if in index order: each element is read
  // before the element of the same index is written, so `out` may alias
  // `xs`. Ascending queries (the usual grid or sorted sample) start each
  // lookup from the previous interval; any other order takes the search.
  template <Derivative D>
  void evaluate(std::span<const double> xs, std::span<double> out) const {
    if (out.size() != xs.size()) throw InternalError("batch output of the wrong length");
    if (scale_.identity()) return evaluate_here<D>(xs, out);
    in_scaled_blocks(xs, out, [this](double* block, std::size_t count) {
      evaluate_here<D>({block, count}, {block, count});
      for (std::size_t k = 0; k < count; ++k) {
        block[k] = scale_.out(block[k], static_cast<int>(D));
      }
    }, [this](double x) { return evaluate<D>(x); });
  }

  double value(double x) const { return evaluate<Derivative::value>(x); }
  double first_derivative(double x) const { return evaluate<Derivative::first>(x); }
  double second_derivative(double x) const { return evaluate<Derivative::second>(x); }
  double third_derivative(double x) const { return evaluate<Derivative::third>(x); }

  // The integral of the curve from the first knot to x. Outside the domain
  // the held end value integrates as a constant, as `value` holds it: left of
  // the first knot the result is (x - x0) S(x0), negative; right of the last
  // one it is the whole integral plus (x - xn) S(xn). A periodic curve gives
  // k P + A(x') for x = x' + k (xn - x0), x' in the period and P = A(xn).
  double antiderivative(double x) const
    requires IntegrablePiece<P>
  {
    if (scale_.identity()) return antiderivative_here(x);
    return scale_.integral_out(antiderivative_here(scale_.x_in(x)));
  }

  // The integral from a to b, summed over what lies between them alone: the
  // held end values beyond the knots, the partial pieces at both ends from
  // their own primitives and the whole pieces between (see whole_pieces).
  // Nothing of the integral before a enters a short span, so one far from
  // the first knot is as accurate as one near it (a difference of
  // antiderivatives would carry the rounding of the whole sum before a).
  // Exchanging a and b negates the result exactly; a NaN limit gives NaN,
  // equal limits 0 (infinite ones too: nothing lies between them). A
  // periodic curve sums whole periods exactly: with a = a' + j p and
  // b = b' + k p, the integral is (k - j) P + the integral from a' to b',
  // P that over the knots.
  double integral(double a, double b) const
    requires IntegrablePiece<P>
  {
    if (scale_.identity()) return integral_here(a, b);
    return scale_.integral_out(integral_here(scale_.x_in(a), scale_.x_in(b)));
  }

  // The evaluations with a mode for the abscissas outside the knots (see
  // Extrapolation), in the same order and aliasing rules as the held ones
  // above; hold is exactly those. An abscissa inside the knots, or NaN, is
  // evaluated as there.
  template <Derivative D>
  double evaluate(double x, Extrapolation mode) const {
    return this->template extrapolated<static_cast<int>(D)>(x, mode);
  }
  template <Derivative D>
  void evaluate(std::span<const double> xs, std::span<double> out, Extrapolation mode) const {
    this->template extrapolated<static_cast<int>(D)>(xs, out, mode);
  }
  double antiderivative(double x, Extrapolation mode) const
    requires IntegrablePiece<P>
  {
    return this->template extrapolated<-1>(x, mode);
  }
  void antiderivative(std::span<const double> xs, std::span<double> out,
                      Extrapolation mode) const
    requires IntegrablePiece<P>
  {
    this->template extrapolated<-1>(xs, out, mode);
  }

  // The n-th antiderivative from the first knot, for n from 1 (the one
  // above, to the same bits) to highest_antiderivative, with the mode for
  // abscissas outside the knots: each mode's continuation of the curve
  // integrated n times (see repeated_here). The batch takes the elements one
  // by one in index order, so that it agrees with the scalar on every bit.
  double antiderivative(int n, double x, Extrapolation mode) const
    requires RepeatedPiece<P>
  {
    if (n == 1) return antiderivative(x, mode);
    return scale_.out(repeated_here(n, scale_.x_in(x), mode), -n);
  }
  void antiderivative(int n, std::span<const double> xs, std::span<double> out,
                      Extrapolation mode) const
    requires RepeatedPiece<P>
  {
    if (out.size() != xs.size()) throw InternalError("batch output of the wrong length");
    if (n == 1) return antiderivative(xs, out, mode);
    for (std::size_t j = 0; j < xs.size(); ++j) out[j] = antiderivative(n, xs[j], mode);
  }

  // antiderivative(x) for each element, in index order; `out` may alias `xs`
  // as in `evaluate`, and the blocks are located first, as there, so that
  // the cache misses of shuffled queries into a large curve overlap.
  void antiderivative(std::span<const double> xs, std::span<double> out) const
    requires IntegrablePiece<P>
  {
    if (out.size() != xs.size()) throw InternalError("batch output of the wrong length");
    if (scale_.identity()) return antiderivative_here(xs, out);
    in_scaled_blocks(xs, out, [this](double* block, std::size_t count) {
      antiderivative_here({block, count}, {block, count});
      for (std::size_t k = 0; k < count; ++k) block[k] = scale_.integral_out(block[k]);
    }, [this](double x) { return antiderivative(x); });
  }

 private:
  friend class piecewise::Continuation<Piecewise>;
  using Table = IntegralTable<P>;

  // The quantity of order `Order` (-1 the antiderivative) as the plain
  // evaluation gives it, in the caller's units.
  template <int Order>
  double held(double x) const {
    if constexpr (Order < 0) {
      return antiderivative(x);
    } else {
      return evaluate<static_cast<Derivative>(Order)>(x);
    }
  }
  template <int Order>
  void held(std::span<const double> xs, std::span<double> out) const {
    if constexpr (Order < 0) {
      antiderivative(xs, out);
    } else {
      evaluate<static_cast<Derivative>(Order)>(xs, out);
    }
  }

  // The end piece's own formula at x beyond its knot, in the curve's
  // coordinates and scaled back as the plain evaluation is; the
  // antiderivative adds the piece's integral from its left knot to the sum
  // before that knot, as inside it.
  template <int Order>
  double extended(double x) const {
    const double here = scale_.x_in(x);
    const std::size_t i = here < knots_.front() ? 0 : last_piece_;
    if constexpr (Order < 0) {
      const auto& entry = integrals().entries[i];
      const double local = pieces_[i].antiderivative(entry.primitive, here);
      return scale_.integral_out(entry.before.hi + (entry.before.lo + local));
    } else {
      return scale_.out(apply<static_cast<Derivative>(Order)>(pieces_[i], here), Order);
    }
  }

  // The evaluations in the curve's own coordinates.
  template <Derivative D>
  double evaluate_here(double x) const {
    const double clamped = clamp(x);
    return apply<D>(pieces_[interval(clamped)], clamped);
  }

  // One evaluation per element, in index order as `evaluate` describes.
  template <Derivative D>
  void evaluate_here(std::span<const double> xs, std::span<double> out) const {
    const double* in = xs.data();
    double* result = out.data();
    const std::size_t count = xs.size();
    if (writes_ahead_of_reads(xs, out)) {
      for (std::size_t j = 0; j < count; ++j) result[j] = evaluate_here<D>(in[j]);
    } else if (ascending(xs)) {
      std::size_t hint = 0;
      const auto from_hint = [&](double clamped) { return hint = interval_from(hint, clamped); };
      for (std::size_t j = 0; j < count; j += lookup_block) {
        evaluate_block<D>(in + j, result + j, std::min(lookup_block, count - j), from_hint);
      }
    } else {
      const auto search = [this](double clamped) { return interval(clamped); };
      for (std::size_t j = 0; j < count; j += lookup_block) {
        evaluate_block<D>(in + j, result + j, std::min(lookup_block, count - j), search);
      }
    }
  }

  double antiderivative_here(double x) const
    requires IntegrablePiece<P>
  {
    return antiderivative_in(integrals(), interval(clamp(x)), x);
  }

  // integral(a, b) in the curve's own coordinates.
  double integral_here(double a, double b) const
    requires IntegrablePiece<P>
  {
    if (b < a) return -integral_here(b, a);
    if (!(a <= b)) return a + b;
    if (a == b) return 0;
    const double front = knots_.front();
    const double back = knots_.back();
    if (periodic_ && !(front <= a && b <= back)) return periodic_integral(a, b);
    const auto at = [this](double knot) { return evaluate_here<Derivative::value>(knot); };
    const double left = a < front ? held(std::min(b, front) - a, at(front)) : 0;
    const double right = b > back ? held(b - std::max(a, back), at(back)) : 0;
    return (left + integral_inside(clamp(a), clamp(b))) + right;
  }

  void antiderivative_here(std::span<const double> xs, std::span<double> out) const
    requires IntegrablePiece<P>
  {
    const Table& table = integrals();
    const double* in = xs.data();
    double* result = out.data();
    const std::size_t count = xs.size();
    if (writes_ahead_of_reads(xs, out)) {
      for (std::size_t j = 0; j < count; ++j) {
        result[j] = antiderivative_in(table, interval(clamp(in[j])), in[j]);
      }
    } else if (ascending(xs)) {
      std::size_t hint = 0;
      const auto from_hint = [&](double clamped) { return hint = interval_from(hint, clamped); };
      for (std::size_t j = 0; j < count; j += lookup_block) {
        antiderivative_block(table, in + j, result + j, std::min(lookup_block, count - j),
                             from_hint);
      }
    } else {
      const auto search = [this](double clamped) { return interval(clamped); };
      for (std::size_t j = 0; j < count; j += lookup_block) {
        antiderivative_block(table, in + j, result + j, std::min(lookup_block, count - j), search);
      }
    }
  }

  const RepeatedTable& repeated_table() const
    requires RepeatedPiece<P>
  {
    return repeated_.get([this] { return build_repeated(); });
  }

  // F_m at every knot, in knot order: F_1 as antiderivative gives it, the
  // deeper ones continued across each piece, F_m(x_(k+1)) = sum_(j < m)
  // F_(m-j)(x_k) h^j / j! + I_m(x_(k+1)).
  RepeatedTable build_repeated() const
    requires RepeatedPiece<P>
  {
    const Table& table = integrals();
    RepeatedTable out;
    out.at.assign(knots_.size(), {});
    for (std::size_t k = 0; k < pieces_.size(); ++k) {
      const auto& here = out.at[k];
      auto& next = out.at[k + 1];
      const double h = knots_[k + 1] - knots_[k];
      const auto& entry = table.entries[k];
      if (k + 1 < pieces_.size()) {
        const CarriedSum& before = table.entries[k + 1].before;
        next[0] = before.hi + before.lo;
      } else {
        next[0] = table.whole;
      }
      for (int m = 2; m <= highest_antiderivative; ++m) {
        next[m - 1] = continued_from(here, m, h) +
                      pieces_[k].repeated_integral(entry.primitive, m, knots_[k + 1]);
      }
    }
    return out;
  }

  // sum_(j < n) F_(n-j) dx^j / j! from the antiderivatives F at a point.
  static double continued_from(const std::array<double, highest_antiderivative>& at, int n,
                               double dx) {
    double values[highest_antiderivative] = {};
    for (int j = 0; j < n; ++j) values[j] = at[n - 1 - j];
    return taylor(values, n, dx);
  }

  // F_n at x in the curve's coordinates, by the mode outside the knots: the
  // end value held (hold, constant) or continued with the end slope (linear)
  // integrates to S(e) dx^n / n! (+ S'(e) dx^(n+1) / (n+1)!) after the
  // Taylor terms of the antiderivatives at the end; extend integrates the end
  // piece's own formula; periodic sums whole periods in closed form.
  double repeated_here(int n, double x, Extrapolation mode) const
    requires RepeatedPiece<P>
  {
    const double front = knots_.front();
    const double back = knots_.back();
    if (front <= x && x <= back) return repeated_inside(n, interval(x), x);
    if (x != x || mode == Extrapolation::nan) return std::numeric_limits<double>::quiet_NaN();
    if (mode == Extrapolation::periodic || (mode == Extrapolation::hold && periodic_)) {
      return repeated_periodic(n, x);
    }
    const RepeatedTable& table = repeated_table();
    const bool left = x < front;
    const std::size_t i = left ? 0 : last_piece_;
    if (mode == Extrapolation::extend) {
      const double start = left ? 0 : continued_from(table.at[i], n, x - knots_[i]);
      const double local = pieces_[i].repeated_integral(integrals().entries[i].primitive, n, x);
      // The piece's own term outgrows the Taylor polynomial of degree n - 1:
      // where both overflow, with opposite signs, its limit is the curve's.
      const double sum = start + local;
      return sum == sum || local != local ? sum : local;
    }
    const double end = left ? front : back;
    const double dx = x - end;
    const double value = evaluate_here<Derivative::value>(end);
    const double slope = mode == Extrapolation::linear ? evaluate_here<Derivative::first>(end) : 0;
    const double start = left ? 0 : continued_from(table.at.back(), n, dx);
    const double power = std::pow(dx, n) * inverse_factorial[n];
    const double held = times(value, power);
    const double sum = mode != Extrapolation::linear
                           ? start + held
                           : start + (held + times(slope, power * (dx / (n + 1))));
    if (sum == sum) return sum;
    return continued_limit(left ? nullptr : &table.at.back(), n, value, slope, dx);
  }

  // The continuation's limit where its terms overflow (an infinite dx, or
  // one whose powers exceed the doubles), whose sum would be inf - inf: that
  // of its term of the highest power with a coefficient not 0 (0 if none
  // is). `at` holds the antiderivatives at the end; none at the first knot,
  // where they are 0.
  static double continued_limit(const std::array<double, highest_antiderivative>* at, int n,
                                double value, double slope, double dx) {
    double coefficient[highest_antiderivative + 2] = {};
    for (int j = 0; j < n && at != nullptr; ++j) coefficient[j] = (*at)[n - 1 - j];
    coefficient[n] = value;
    coefficient[n + 1] = slope;
    for (int m = n + 1; m >= 0; --m) {
      if (coefficient[m] == 0) continue;
      const bool negative = (coefficient[m] < 0) != (dx < 0 && m % 2 == 1);
      return negative ? -std::numeric_limits<double>::infinity()
                      : std::numeric_limits<double>::infinity();
    }
    return 0;
  }

  // F_n at x in piece i: the Taylor terms at its left knot and the piece's
  // own repeated integral.
  double repeated_inside(int n, std::size_t i, double x) const
    requires RepeatedPiece<P>
  {
    const RepeatedTable& table = repeated_table();
    return continued_from(table.at[i], n, x - knots_[i]) +
           pieces_[i].repeated_integral(integrals().entries[i].primitive, n, x);
  }

  // F_n at x = x' + k p, x' in the period [x0, xn] and p = xn - x0. With
  // b_m = F_m(xn), F_m(x0 + (i+1) p) = sum_(j < m) F_(m-j)(x0 + i p) p^j / j! + b_m,
  // whose sum over the periods is
  //   F_m(x0 + k p) = sum_(j < m) b_(m-j) p^j / j! s_j(k),  s_j(k) = sum_(i < k) i^j
  // (which holds for negative k too); F_n(x) continues from there as from a knot.
  double repeated_periodic(int n, double x) const
    requires RepeatedPiece<P>
  {
    const double front = knots_.front();
    const double back = knots_.back();
    const double inside = wrap_into_period(x, front, back);
    if (inside != inside) return inside;
    const double p = back - front;
    const double k = std::nearbyint((x - inside) / p);
    const double s[highest_antiderivative] = {k, k * (k - 1) / 2, k * (k - 1) * (2 * k - 1) / 6,
                                              (k * (k - 1) / 2) * (k * (k - 1) / 2)};
    const auto& b = repeated_table().at.back();
    std::array<double, highest_antiderivative> start{};
    for (int m = 1; m <= n; ++m) {
      double sum = 0;
      double step = 1;  // p^j / j!
      for (int j = 0; j < m; ++j) {
        sum += b[m - 1 - j] * step * s[j];
        step *= p / (j + 1);
      }
      start[m - 1] = sum;
    }
    const std::size_t i = interval(inside);
    return continued_from(start, n, inside - front) + repeated_inside(n, i, inside);
  }

  // The scaled paths of the batches: the caller's abscissas in blocks, each
  // taken into the curve's coordinates, evaluated there in place and scaled
  // back by `finish_block`. A block is read whole before it is written, which
  // keeps the order of `evaluate` for an `out` that equals `xs` or starts
  // before it; one that starts inside `xs` after its first element is served
  // element by element by `single`, as the unscaled batch serves it.
  template <class FinishBlock, class Single>
  void in_scaled_blocks(std::span<const double> xs, std::span<double> out,
                        FinishBlock&& finish_block, Single&& single) const {
    const std::size_t count = xs.size();
    if (writes_ahead_of_reads(xs, out)) {
      for (std::size_t j = 0; j < count; ++j) out[j] = single(xs[j]);
      return;
    }
    double block[scaled_block];
    for (std::size_t j = 0; j < count; j += scaled_block) {
      const std::size_t size = std::min(scaled_block, count - j);
      for (std::size_t k = 0; k < size; ++k) block[k] = scale_.x_in(xs[j + k]);
      finish_block(block, size);
      std::copy(block, block + size, out.begin() + static_cast<std::ptrdiff_t>(j));
    }
  }

  static constexpr std::size_t scaled_block = 256;

  const Table& integrals() const {
    return integrals_.get([this] { return build_integrals(); });
  }

  // Every piece integrated up to its right knot and summed from the left, in
  // knot order, so that every build of a curve gives the same bits.
  Table build_integrals() const
    requires IntegrablePiece<P>
  {
    Table table;
    table.entries.reserve(pieces_.size());
    CarriedSum sum;
    for (std::size_t i = 0; i < pieces_.size(); ++i) {
      const P& piece = pieces_[i];
      table.entries.push_back({piece.primitive(), sum});
      sum.add(piece.antiderivative(table.entries.back().primitive, knots_[i + 1]));
    }
    table.total = sum;
    const auto& last = table.entries.back();
    table.whole = last.before.hi +
                  (last.before.lo + pieces_.back().antiderivative(last.primitive, knots_.back()));
    return table;
  }

  // Up to this many whole pieces between two limits are integrated one by
  // one; more are taken from the table, whose difference of two carried sums
  // is exact only to within eps^2 of the sums before them.
  static constexpr std::size_t pieces_summed = 8;

  // The integral from lo to hi, front <= lo <= hi <= back. Within one piece
  // it is the difference of the piece's own integrals; otherwise the head of
  // the first piece, the whole pieces after it and the start of the last.
  double integral_inside(double lo, double hi) const {
    const Table& table = integrals();
    const std::size_t i = interval(lo);
    const std::size_t j = interval(hi);
    const P& first = pieces_[i];
    const auto& primitive = table.entries[i].primitive;
    if (i == j) return first.antiderivative(primitive, hi) - first.antiderivative(primitive, lo);
    const double head =
        first.antiderivative(primitive, knots_[i + 1]) - first.antiderivative(primitive, lo);
    const double tail = pieces_[j].antiderivative(table.entries[j].primitive, hi);
    return (head + whole_pieces(table, i + 1, j)) + tail;
  }

  // The integral over the pieces from `begin` to before `end`, each up to its
  // right knot as the table was built.
  double whole_pieces(const Table& table, std::size_t begin, std::size_t end) const {
    if (end - begin > pieces_summed) {
      const CarriedSum& from = table.entries[begin].before;
      const CarriedSum& to = table.entries[end].before;
      return (to.hi - from.hi) + (to.lo - from.lo);
    }
    double sum = 0;
    for (std::size_t k = begin; k < end; ++k) {
      sum += pieces_[k].antiderivative(table.entries[k].primitive, knots_[k + 1]);
    }
    return sum;
  }

  // An abscissa's antiderivative in two parts: the carried sum up to a knot
  // and the integral from that knot.
  struct Split {
    CarriedSum before;
    double local;
  };

  // x's parts, with i its interval (that of the clamped x).
  Split split(const Table& table, std::size_t i, double x) const {
    const double front = knots_.front();
    const double back = knots_.back();
    const auto at = [this](double knot) { return evaluate_here<Derivative::value>(knot); };
    if (x < front) return {CarriedSum{}, held(x - front, at(front))};
    if (x > back) return {table.total, held(x - back, at(back))};
    return {table.entries[i].before, pieces_[i].antiderivative(table.entries[i].primitive, x)};
  }

  template <class Locate>
  void antiderivative_block(const Table& table, const double* in, double* result,
                            std::size_t count, Locate&& locate) const {
    std::size_t at[lookup_block];
    const double front = knots_.front();
    const double back = knots_.back();
    for (std::size_t j = 0; j < count; ++j) {
      at[j] = locate(clamp(in[j], front, back));
      __builtin_prefetch(pieces_.data() + at[j]);
      __builtin_prefetch(table.entries.data() + at[j]);
      __builtin_prefetch(reinterpret_cast<const char*>(table.entries.data() + at[j] + 1) - 1);
    }
    for (std::size_t j = 0; j < count; ++j) result[j] = antiderivative_in(table, at[j], in[j]);
  }

  // The integral of a held end value over a distance beyond the end: a held
  // zero integrates to zero however far (not to inf * 0).
  static double held(double distance, double value) { return value == 0 ? 0 : distance * value; }

  // One antiderivative, x in interval i. Scalar and batch calls both run
  // this one compiled function, so that they agree on every bit.
  [[gnu::noinline]] double antiderivative_in(const Table& table, std::size_t i, double x) const {
    if (periodic_ && !(knots_.front() <= x && x <= knots_.back()) && x == x) {
      return periodic_antiderivative(table, i, x);
    }
    const Split at = split(table, i, x);
    return at.before.hi + (at.before.lo + at.local);
  }

  // x outside the knots of a periodic curve, i the interval of its image:
  // the whole periods between as one product (a running sum's rounding
  // would grow with their number), as the periodic mode counts them.
  double periodic_antiderivative(const Table& table, std::size_t i, double x) const {
    const double inside = clamp(x);
    if (inside != inside) return inside;
    const Split at = split(table, i, inside);
    const double local = at.before.hi + (at.before.lo + at.local);
    const double periods = whole_periods_to(x, inside);
    return periods == 0 ? local : periods * table.whole + local;
  }

  // The number of periods from `inside`, x's image, to x.
  double whole_periods_to(double x, double inside) const {
    return std::nearbyint((x - inside) / (knots_.back() - knots_.front()));
  }

  // integral_here of a periodic curve with a limit outside the knots.
  double periodic_integral(double a, double b) const {
    const double front = knots_.front();
    const double back = knots_.back();
    const double period = integral_inside(front, back);
    // Unbounded limits cross infinitely many periods: inf P, or NaN for a
    // curve whose periods integrate to 0, whose integral has no limit.
    if (!std::isfinite(a) || !std::isfinite(b)) return (b - a) * period;
    const double a_in = clamp(a);
    const double b_in = clamp(b);
    const double within =
        a_in <= b_in ? integral_inside(a_in, b_in) : -integral_inside(b_in, a_in);
    const double periods = whole_periods_to(b, b_in) - whole_periods_to(a, a_in);
    return periods == 0 ? within : periods * period + within;
  }

 private:
  // The rare branches outside the knots are the only ones that read the
  // periodic flag, so the common path stays as it was.
  double clamp(double x, double front, double back) const {
    if (x < front) return periodic_ ? wrap_into_period(x, front, back) : front;
    if (x > back) return periodic_ ? wrap_into_period(x, front, back) : back;
    return x;
  }

  // Random queries into a large curve miss the cache on the knots and on the
  // piece. Evaluating a piece (two exponentials or powers for some methods)
  // takes more instructions than the processor looks ahead, so when lookup
  // and evaluation alternate, the misses of one query wait for the previous
  // evaluation. Locating a whole block first, and prefetching each piece as
  // it is found, lets the misses of the block overlap.
  static constexpr std::size_t lookup_block = 32;

  // `locate` maps a clamped abscissa to its interval: the search for
  // shuffled queries, the step from the previous interval for ascending ones.
  template <Derivative D, class Locate>
  void evaluate_block(const double* in, double* result, std::size_t count, Locate&& locate) const {
    double clamped[lookup_block];
    const P* at[lookup_block];
    const double front = knots_.front();
    const double back = knots_.back();
    for (std::size_t j = 0; j < count; ++j) {
      clamped[j] = clamp(in[j], front, back);
      at[j] = pieces_.data() + locate(clamped[j]);
      __builtin_prefetch(at[j]);
      __builtin_prefetch(reinterpret_cast<const char*>(at[j] + 1) - 1);
    }
    evaluate_located<D>(at, clamped, result, count);
  }

  // Pieces that evaluate two abscissas at once take the block in pairs.
  template <Derivative D>
  static void evaluate_located(const P* const* at, const double* clamped, double* result,
                               std::size_t count) {
    std::size_t j = 0;
    if constexpr (PairedPiece<P>) {
      for (; j + 1 < count; j += 2) {
        const Pair both = apply_pair<D>(*at[j], *at[j + 1], Pair{clamped[j], clamped[j + 1]});
        result[j] = both[0];
        result[j + 1] = both[1];
      }
    }
    for (; j < count; ++j) result[j] = apply<D>(*at[j], clamped[j]);
  }

  template <Derivative D>
  static Pair apply_pair(const P& a, const P& b, Pair x) {
    if constexpr (D == Derivative::third) {
      Pair both = P::third_derivative_pair(a, b, x);
      for (std::size_t k = 0; k < 2; ++k) {
        if (x[k] != x[k]) both[k] = x[k];
      }
      return both;
    }
    if constexpr (D == Derivative::value) {
      return P::value_pair(a, b, x);
    } else if constexpr (D == Derivative::first) {
      return P::first_derivative_pair(a, b, x);
    } else if constexpr (D == Derivative::second) {
      return P::second_derivative_pair(a, b, x);
    } else {
      return P::third_derivative_pair(a, b, x);
    }
  }

  // A NaN abscissa gives NaN for every order: the third derivative of a
  // cubic piece (and of some others) does not read x at all.
  template <Derivative D>
  static double apply(const P& piece, double x) {
    if constexpr (D == Derivative::third) {
      if (x != x) return x;
    }
    if constexpr (D == Derivative::value) {
      return piece.value(x);
    } else if constexpr (D == Derivative::first) {
      return piece.first_derivative(x);
    } else if constexpr (D == Derivative::second) {
      return piece.second_derivative(x);
    } else {
      return piece.third_derivative(x);
    }
  }

  Doubles knots_;
  Vector<P> pieces_;
  Scale scale_;                       // the fit's coordinates
  bool periodic_ = false;             // repeats outside the knots
  std::size_t last_piece_ = 0;
  piecewise::BucketIndex index_;
  LazyIntegrals<P> integrals_;
  LazyIntegrals<P, RepeatedTable> repeated_;
};

// The part every fitted spline shares: its curve and the Interpolator1d
// operations, all forwarded to the curve.
template <SplinePiece P>
class PiecewiseSpline {
 public:
  using Piece = P;

  explicit PiecewiseSpline(Piecewise<P> curve) : curve_(std::move(curve)) {}

  const Piecewise<P>& curve() const { return curve_; }
  // Set by a fit made in scaled coordinates (see fit_in_scale).
  void set_scale(Scale scale) { curve_.set_scale(scale); }
  // Set by a fit with periodic ends (see fit_in_scale).
  void set_periodic(bool periodic) { curve_.set_periodic(periodic); }
  double value(double x) const { return curve_.value(x); }
  double first_derivative(double x) const { return curve_.first_derivative(x); }
  double second_derivative(double x) const { return curve_.second_derivative(x); }
  double third_derivative(double x) const { return curve_.third_derivative(x); }
  std::pair<double, double> domain() const { return curve_.domain(); }
  std::size_t intervals() const { return curve_.pieces().size(); }

  // The integral from the first knot to x, and from a to b (see Piecewise).
  double antiderivative(double x) const
    requires IntegrablePiece<P>
  {
    return curve_.antiderivative(x);
  }
  double integral(double a, double b) const
    requires IntegrablePiece<P>
  {
    return curve_.integral(a, b);
  }

 private:
  Piecewise<P> curve_;
};

}  // namespace velarix
