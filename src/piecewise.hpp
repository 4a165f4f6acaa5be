// The container every fitted spline is built on: sorted knots and one piece
// per interval, with the clamped interval lookup. This is the only place that
// clamps, locates and dispatches to a piece.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
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
//
// The halving step is a select, not a branch: on random queries a branch on
// the comparison is mispredicted half the time, which costs more than the
// search itself. Both candidates of the next step are prefetched so that on a
// large knot array the loads of successive steps overlap.
inline std::size_t locate(std::span<const double> knots, double x) {
  const double* k = knots.data();
  std::size_t base = 0;
  std::size_t size = knots.size();
  while (size > 1) {
    const std::size_t half = size / 2;
    __builtin_prefetch(k + base + half / 2);
    __builtin_prefetch(k + base + half + half / 2);
    base = k[base + half] <= x ? base + half : base;
    size -= half;
  }
  return (size != 0 && k[base] <= x) ? base + 1 : base;
}

// The number of forward steps a sorted batch tries from the previous interval
// before it searches: queries denser than the knots mostly stay in one
// interval, and sparser ones skip a few.
inline constexpr std::size_t forward_steps = 4;

// Whether no element of xs is below its predecessor. Only chooses between two
// lookups that find the same interval, so a NaN may answer either way.
inline bool ascending(std::span<const double> xs) {
  for (std::size_t i = 1; i < xs.size(); ++i) {
    if (xs[i] < xs[i - 1]) return false;
  }
  return true;
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
    build_index();
  }

  std::span<const double> knots() const { return knots_; }
  std::span<const P> pieces() const { return pieces_; }
  std::pair<double, double> domain() const { return {knots_.front(), knots_.back()}; }

  // Nothing is extrapolated: x is clamped to the domain first, so outside it
  // the value and both derivatives are those at the nearer end. A NaN x stays
  // NaN and is handed to piece 0.
  double clamp(double x) const { return clamp(x, knots_.front(), knots_.back()); }

  // The piece that evaluates a clamped abscissa: an interior knot belongs to
  // the piece on its right, the last knot to the last piece.
  std::size_t interval(double clamped) const {
    const std::size_t count = count_at_most(clamped);
    const std::size_t i = count == 0 ? 0 : count - 1;
    return i < pieces_.size() ? i : pieces_.size() - 1;
  }

  template <Derivative D>
  double evaluate(double x) const {
    const double clamped = clamp(x);
    return apply<D>(pieces_[interval(clamped)], clamped);
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

  // One evaluation per element, in index order. Each element is read before
  // the element of the same index is written, so `out` may alias `xs`.
  // Ascending queries (the usual grid or sorted sample) start each lookup
  // from the previous interval; any other order takes the binary search.
  template <Derivative D>
  void evaluate(std::span<const double> xs, std::span<double> out) const {
    if (out.size() != xs.size()) throw InternalError("batch output of the wrong length");
    const double* in = xs.data();
    double* result = out.data();
    const std::size_t count = xs.size();
    const double front = knots_.front();
    const double back = knots_.back();
    const P* pieces = pieces_.data();
    if (ascending(xs)) {
      std::size_t i = 0;
      for (std::size_t j = 0; j < count; ++j) {
        const double clamped = clamp(in[j], front, back);
        i = interval_from(i, clamped);
        result[j] = apply<D>(pieces[i], clamped);
      }
    } else {
      for (std::size_t j = 0; j < count; ++j) {
        const double clamped = clamp(in[j], front, back);
        result[j] = apply<D>(pieces[interval(clamped)], clamped);
      }
    }
  }

  double value(double x) const { return evaluate<Derivative::value>(x); }
  double first_derivative(double x) const { return evaluate<Derivative::first>(x); }
  double second_derivative(double x) const { return evaluate<Derivative::second>(x); }

 private:
  // The bucket index narrows the binary search to the knots whose bucket is
  // that of x, so a random query reads a few knots instead of log2(n) of
  // them. The buckets split the domain evenly, one per interval; first_[b] is
  // the number of knots whose bucket is below b. Because bucket() is
  // monotone, every knot before first_[b] is below any x of bucket b and
  // every knot from first_[b + 1] on is above it, so the count of knots <= x
  // is first_[b] plus the count within that range: the same number locate
  // gives over all knots, however the bucket boundaries are rounded.
  void build_index() {
    const double front = knots_.front();
    const double width = knots_.back() - front;
    const std::size_t buckets = pieces_.size();
    scale_ = static_cast<double>(buckets) / width;
    // Infinite or degenerate domains and more knots than a 32-bit count
    // holds keep the plain search.
    if (!(scale_ > 0 && scale_ < std::numeric_limits<double>::infinity()) ||
        knots_.size() > std::numeric_limits<std::uint32_t>::max()) {
      return;
    }
    first_.assign(buckets + 1, 0);
    for (const double knot : knots_) {
      const std::size_t b = bucket(knot);
      if (b + 1 < first_.size()) ++first_[b + 1];
    }
    for (std::size_t b = 1; b < first_.size(); ++b) first_[b] += first_[b - 1];
  }

  // min(floor((x - front) * scale), buckets - 1) for a clamped, non-NaN x.
  std::size_t bucket(double clamped) const {
    const double t = (clamped - knots_.front()) * scale_;
    const std::size_t last = first_.size() - 2;
    return t < static_cast<double>(last) ? static_cast<std::size_t>(t) : last;
  }

  // locate(knots_, clamped), through the bucket index when there is one.
  // NaN is decided first: it compares false with every knot, so the count is
  // 0, and it has no bucket.
  std::size_t count_at_most(double clamped) const {
    if (first_.empty()) return locate(knots_, clamped);
    if (clamped != clamped) return 0;
    const std::size_t b = bucket(clamped);
    const std::size_t begin = first_[b];
    const std::size_t end = first_[b + 1];
    return begin + locate(std::span<const double>(knots_.data() + begin, end - begin), clamped);
  }

  static double clamp(double x, double front, double back) {
    if (x < front) return front;
    if (x > back) return back;
    return x;
  }

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
  double scale_ = 0;                  // buckets per unit of x
  std::vector<std::uint32_t> first_;  // empty: no index
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
