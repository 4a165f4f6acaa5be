// The container every fitted spline is built on: sorted knots and one piece
// per interval, with the clamped interval lookup. This is the only place that
// clamps, locates and dispatches to a piece.
#pragma once

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "error.hpp"
#include "interpolator.hpp"

namespace velarix {

// Which of the three evaluations a call asks for.
enum class Derivative { value, first, second };

// The number of knots k with knots[k] <= x, by binary search. A comparison
// with NaN counts as false, so a NaN x gives 0.
inline std::size_t locate(std::span<const double> knots, double x) {
  std::size_t base = 0;
  std::size_t size = knots.size();
  while (size > 1) {
    const std::size_t half = size / 2;
    const std::size_t mid = base + half;
    if (knots[mid] <= x) base = mid;
    size -= half;
  }
  return (!knots.empty() && knots[base] <= x) ? base + 1 : base;
}

template <SplinePiece P>
class Piecewise {
 public:
  // Knots must be sorted; there is one piece per interval.
  Piecewise(std::vector<double> knots, std::vector<P> pieces)
      : knots_(std::move(knots)), pieces_(std::move(pieces)) {
    if (pieces_.empty() || knots_.size() != pieces_.size() + 1 ||
        !(knots_.front() <= knots_.back())) {
      throw InternalError("piecewise curve needs sorted knots and one piece per interval");
    }
  }

  std::span<const double> knots() const { return knots_; }
  std::span<const P> pieces() const { return pieces_; }
  std::pair<double, double> domain() const { return {knots_.front(), knots_.back()}; }

  // Nothing is extrapolated: x is clamped to the domain first, so outside it
  // the value and both derivatives are those at the nearer end. A NaN x stays
  // NaN and is handed to piece 0.
  double clamp(double x) const {
    if (x < knots_.front()) return knots_.front();
    if (x > knots_.back()) return knots_.back();
    return x;
  }

  // The piece that evaluates a clamped abscissa: an interior knot belongs to
  // the piece on its right, the last knot to the last piece.
  std::size_t interval(double clamped) const {
    const std::size_t count = locate(knots_, clamped);
    const std::size_t i = count == 0 ? 0 : count - 1;
    return i < pieces_.size() ? i : pieces_.size() - 1;
  }

  template <Derivative D>
  double evaluate(double x) const {
    const double clamped = clamp(x);
    return apply<D>(pieces_[interval(clamped)], clamped);
  }

  // One evaluation per element, in index order. Each element is read before
  // the element of the same index is written, so `out` may alias `xs`.
  template <Derivative D>
  void evaluate(std::span<const double> xs, std::span<double> out) const {
    if (out.size() != xs.size()) throw InternalError("batch output of the wrong length");
    const double* in = xs.data();
    double* result = out.data();
    for (std::size_t i = 0; i < xs.size(); ++i) result[i] = evaluate<D>(in[i]);
  }

  double value(double x) const { return evaluate<Derivative::value>(x); }
  double first_derivative(double x) const { return evaluate<Derivative::first>(x); }
  double second_derivative(double x) const { return evaluate<Derivative::second>(x); }

 private:
  template <Derivative D>
  static double apply(const P& piece, double x) {
    if constexpr (D == Derivative::value) {
      return piece.value(x);
    } else if constexpr (D == Derivative::first) {
      return piece.first_derivative(x);
    } else {
      return piece.second_derivative(x);
    }
  }

  std::vector<double> knots_;
  std::vector<P> pieces_;
};

// The part every fitted spline shares: its curve and the Interpolator1d
// operations, all forwarded to the curve.
template <SplinePiece P>
class PiecewiseSpline {
 public:
  using Piece = P;

  explicit PiecewiseSpline(Piecewise<P> curve) : curve_(std::move(curve)) {}

  const Piecewise<P>& curve() const { return curve_; }
  double value(double x) const { return curve_.value(x); }
  double first_derivative(double x) const { return curve_.first_derivative(x); }
  double second_derivative(double x) const { return curve_.second_derivative(x); }
  std::pair<double, double> domain() const { return curve_.domain(); }
  std::size_t intervals() const { return curve_.pieces().size(); }

 private:
  Piecewise<P> curve_;
};

}  // namespace velarix
