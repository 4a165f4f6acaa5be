#include "smoothing/smoothing.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <utility>
#include <vector>

#include "format.hpp"
#include "smoothing/basis.hpp"
#include "smoothing/coordinates.hpp"
#include "smoothing/search.hpp"

namespace velarix::smoothing {
namespace {

// A line has two coefficients: GCV needs a third point to judge a fit by.
constexpr std::size_t kMinimumDistinct = 3;
// Abscissae closer than this share of the range of x count as one for the
// knots: a spline cannot tell them apart, and a tighter knot gap would make
// the penalty (which grows with gap^-3) lose its precision.
constexpr double kTieShare = 1e-10;
// Huber reweighting: the usual tuning constant (95 % efficiency for normal
// errors) on residuals scaled by the normal-consistent median absolute
// deviation, over a fixed number of passes after the first fit (the
// weights settle in two or three).
constexpr double kHuberConstant = 1.345;
constexpr double kMadToSigma = 1.4826;
constexpr int kRobustPasses = 5;
// The running median of the first robust weights spans this many neighbours
// on each side.
constexpr std::size_t kPilotHalfWidth = 2;
// A shape's GCV score is flat below the lambda the unconstrained fit chooses:
// as lambda falls, the bounds take over more of the fit while the free set's
// degrees of freedom hardly move, so a minimum found there is mostly noise.
// The search for a shape starts this many decades below the unconstrained
// choice (on synthetic truths the error of the chosen fit over the
// hindsight-best unconstrained one fell from 1.10 to 1.04 at n = 500).
constexpr double kShapeSearchDecades = 0.5;
// The largest second derivative of a curve must keep full precision in the
// caller's units (be a normal double); smaller ones may lose bits beside it.
constexpr double kSmallestCurvature = std::numeric_limits<double>::min();
// The automatic shape keeps the most constrained candidate whose GCV score is
// within this share of the best: a shape the data bear costs less than that.
constexpr double kAutoTolerance = 0.01;

constexpr Shape kCandidates[] = {
    Shape::none,
    Shape::increasing,
    Shape::decreasing,
    Shape::convex,
    Shape::concave,
    Shape::increasing_convex,
    Shape::increasing_concave,
    Shape::decreasing_convex,
    Shape::decreasing_concave,
};

std::optional<Error> check_data(std::span<const double> x, std::span<const double> y,
                                std::span<const double> w, bool weighted) {
  if (x.size() != y.size()) return LengthMismatch{x.size(), y.size()};
  if (weighted && w.size() != x.size()) return WeightCount{x.size(), w.size()};
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (!std::isfinite(x[i])) return InvalidValue{"x", i, "finite", x[i]};
  }
  for (std::size_t i = 0; i < y.size(); ++i) {
    if (!std::isfinite(y[i])) return InvalidValue{"y", i, "finite", y[i]};
  }
  for (std::size_t i = 0; i < w.size(); ++i) {
    if (!std::isfinite(w[i])) return InvalidValue{"weights", i, "finite", w[i]};
    if (w[i] < 0) return InvalidValue{"weights", i, ">= 0", w[i]};
  }
  return std::nullopt;
}

// The data in ascending x: the caller's arrays when they already are, a
// stably sorted copy otherwise.
class SortedData {
 public:
  SortedData(std::span<const double> x, std::span<const double> y, std::span<const double> w) {
    data_ = Data{x, y, w};
    if (std::is_sorted(x.begin(), x.end())) return;
    std::vector<std::size_t> order(x.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return x[a] < x[b]; });
    auto gather = [&](std::span<const double> from, Doubles& to) {
      to.resize(from.size());
      for (std::size_t i = 0; i < from.size(); ++i) to[i] = from[order[i]];
    };
    gather(x, x_);
    gather(y, y_);
    gather(w, w_);
    data_ = Data{x_, y_, w_};
  }

  const Data& data() const { return data_; }

 private:
  Doubles x_;
  Doubles y_;
  Doubles w_;
  Data data_;
};

// Calls take(x) for the first abscissa of each cluster of ties (gaps of at
// most `tie`), skipping points of weight 0 when `weighted_only`.
template <class Take>
void for_each_distinct(const Data& data, double tie, bool weighted_only, Take&& take) {
  bool started = false;
  double last = 0;
  for (std::size_t i = 0; i < data.size(); ++i) {
    if (weighted_only && !(data.weight(i) > 0)) continue;
    if (started && !(data.x[i] - last > tie)) continue;
    started = true;
    last = data.x[i];
    take(last);
  }
}

// The breakpoints in the caller's units: every distinct x when they make at
// most `segments` segments, otherwise the distinct x at evenly spaced ranks,
// rounded to the nearest rank (so that every breakpoint is a data value and
// scales exactly with x). The last breakpoint is the largest x itself.
Doubles chosen_breakpoints(const Data& data, double tie, std::uint64_t segments) {
  std::size_t distinct = 0;
  for_each_distinct(data, tie, false, [&](double) { ++distinct; });
  Doubles breakpoints;
  if (distinct - 1 <= segments) {
    breakpoints.reserve(distinct);
    for_each_distinct(data, tie, false, [&](double x) { breakpoints.push_back(x); });
  } else {
    // Ranks k (distinct - 1) / segments; their spacing exceeds 1, so the
    // rounded ranks are distinct.
    const double spacing = static_cast<double>(distinct - 1) / static_cast<double>(segments);
    std::uint64_t k = 0;
    std::size_t rank = 0;
    std::size_t wanted = 0;
    breakpoints.reserve(segments + 1);
    for_each_distinct(data, tie, false, [&](double x) {
      if (k <= segments && rank == wanted) {
        breakpoints.push_back(x);
        ++k;
        wanted = static_cast<std::size_t>(std::llround(static_cast<double>(k) * spacing));
      }
      ++rank;
    });
  }
  breakpoints.back() = data.x[data.size() - 1];
  return breakpoints;
}

std::optional<Error> given_breakpoints(const Data& data, double tie, const Doubles& knots,
                                       Doubles& breakpoints) {
  const double first = data.x[0];
  const double last = data.x[data.size() - 1];
  breakpoints.assign(1, first);
  for (std::size_t i = 0; i < knots.size(); ++i) {
    if (!(knots[i] - breakpoints.back() > tie && last - knots[i] > tie)) {
      return InvalidValue{"knots", i, "strictly inside the range of x and apart from its "
                                      "neighbours by more than 1e-10 of that range", knots[i]};
    }
    breakpoints.push_back(knots[i]);
  }
  breakpoints.push_back(last);
  return std::nullopt;
}

// Everything the fits of the candidate shapes share.
struct Setup {
  Data data;
  Units units;
  Doubles breakpoints;  // caller's units
  Basis basis;
  NormalEquations normal;
  double points;
  double lam_scale;
};

struct ShapeFit {
  Shape shape;
  Solution solution;
  Coefficients curve;
};

// The weights of a robust pass: the data's times the Huber factors, for
// the fit, and times their squares, for the GCV score. With Huber factors
// min(1, k sigma / |r|) from the previous fit's residuals r, the score's
// weighted squares are min(r^2, (k sigma)^2): each point counts as Huber's
// psi^2, so that an outlier adds at most (k sigma)^2 to the score however
// far the curve stays from it. Scored with the fit's own weights instead, an
// outlier would add k sigma |r|, and the score would reward a lambda small
// enough for the curve to reach it.
struct RobustWeights {
  Doubles fit;
  Doubles score;
};

class Fitter {
 public:
  Fitter(const Smoother& config, const Setup& setup, std::optional<double> lam)
      : config_(config), setup_(setup), lam_(lam) {}

  std::optional<ShapeFit> fit(Shape shape) const {
    const Coordinates coordinates(setup_.basis, shape);
    RobustWeights weights;
    std::optional<Solution> solution;
    if (config_.robust && pilot_weights(weights)) {
      for (int pass = 0; pass <= kRobustPasses; ++pass) {
        if (pass > 0 && !refit_weights(coordinates, *solution, weights)) break;
        ActiveSet start = solution ? std::move(solution->state) : ActiveSet{};
        solution = solve(coordinates, assemble(setup_.basis, setup_.data, setup_.units, weights.fit),
                         assemble(setup_.basis, setup_.data, setup_.units, weights.score),
                         std::move(start));
        if (!solution) return std::nullopt;
      }
    } else {
      solution = solve(coordinates, setup_.normal, std::nullopt, ActiveSet{});
      if (!solution) return std::nullopt;
    }
    Coefficients curve = coordinates.curve(solution->state.beta);
    return ShapeFit{shape, std::move(*solution), std::move(curve)};
  }

 private:
  std::optional<Solution> solve(const Coordinates& coordinates, const NormalEquations& normal,
                                const std::optional<NormalEquations>& score,
                                ActiveSet start) const {
    auto programme = [&](const Coordinates& c) {
      Programme p{&c, project(c, normal), std::nullopt, setup_.points, setup_.lam_scale};
      if (score) p.score = project(c, *score);
      return p;
    };
    const Programme p = programme(coordinates);
    if (lam_) return solve_at(p, *lam_, std::move(start));
    if (coordinates.bounded_count() == 0) return choose_lambda(p, std::move(start));
    const Coordinates free(setup_.basis, Shape::none);
    const std::optional<Solution> unconstrained = choose_lambda(programme(free), ActiveSet{});
    if (!unconstrained) return std::nullopt;
    const double lowest = unconstrained->lam * std::pow(10.0, -kShapeSearchDecades);
    return choose_lambda(p, std::move(start), lowest);
  }

  // The first weights of a robust fit, from the residuals about the median
  // of the 2 m nearest neighbours in x (one-sided at the ends): a fit by
  // least squares would bend towards an outlier, most of all near an end,
  // and keep its weight; the neighbours' median does not. The point itself is
  // left out, or on a monotone stretch it would be its own median.
  bool pilot_weights(RobustWeights& weights) const {
    const Data& data = setup_.data;
    const Units& units = setup_.units;
    const std::size_t n = data.size();
    const std::size_t span = std::min<std::size_t>(2 * kPilotHalfWidth + 1, n);
    Doubles r(n);
    double window[2 * kPilotHalfWidth];
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t first = std::min(i > kPilotHalfWidth ? i - kPilotHalfWidth : 0, n - span);
      std::size_t count = 0;
      for (std::size_t j = first; j < first + span; ++j) {
        if (j != i) window[count++] = units.v(data.y[j]);
      }
      for (std::size_t a = 1; a < count; ++a) {  // insertion sort of a handful
        for (std::size_t b = a; b > 0 && window[b] < window[b - 1]; --b) {
          std::swap(window[b], window[b - 1]);
        }
      }
      r[i] = units.v(data.y[i]) - 0.5 * (window[(count - 1) / 2] + window[count / 2]);
    }
    return huber(r, weights);
  }

  bool refit_weights(const Coordinates& coordinates, const Solution& solution,
                     RobustWeights& weights) const {
    Doubles r(setup_.data.size());
    residuals(setup_.basis, setup_.data, setup_.units, coordinates.curve(solution.state.beta).c,
              r);
    return huber(r, weights);
  }

  // Huber factors min(1, k sigma / |e_i|) for e_i = sqrt(w_i) r_i, sigma from
  // the median absolute deviation of the e_i. False when sigma is 0 (more
  // than half the points fitted exactly), which leaves nothing to scale by.
  bool huber(Doubles& r, RobustWeights& weights) const {
    const Data& data = setup_.data;
    const Units& units = setup_.units;
    const std::size_t n = data.size();
    Doubles scaled;
    for (std::size_t i = 0; i < n; ++i) {
      const double omega = units.omega(data.weight(i));
      r[i] *= std::sqrt(omega);
      if (omega > 0) scaled.push_back(r[i]);
    }
    const double centre = median(scaled);
    for (double& e : scaled) e = std::fabs(e - centre);
    const double sigma = kMadToSigma * median(scaled);
    if (!(sigma > 0)) return false;
    weights.fit.resize(n);
    weights.score.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      const double omega = units.omega(data.weight(i));
      const double size = std::fabs(r[i]);
      const double factor = size > kHuberConstant * sigma ? kHuberConstant * sigma / size : 1.0;
      weights.fit[i] = omega * factor;
      weights.score[i] = omega * (factor * factor);
    }
    return true;
  }

  // The upper median (the lower half's largest for an even count), which
  // is all a scale estimate needs.
  static double median(Doubles& values) {
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
  }

  const Smoother& config_;
  const Setup& setup_;
  std::optional<double> lam_;
};

// The most constrained candidate within kAutoTolerance of the best score;
// of equally constrained ones, the better scored.
std::size_t automatic_choice(const std::vector<ShapeFit>& fits) {
  double best = std::numeric_limits<double>::infinity();
  for (const ShapeFit& fit : fits) best = std::min(best, fit.solution.gcv);
  std::size_t chosen = 0;
  for (std::size_t i = 0; i < fits.size(); ++i) {
    const ShapeFit& fit = fits[i];
    if (!(fit.solution.gcv <= (1 + kAutoTolerance) * best)) continue;
    const int have = requirement_count(fits[chosen].shape);
    const int take = requirement_count(fit.shape);
    if (!(fits[chosen].solution.gcv <= (1 + kAutoTolerance) * best) || take > have ||
        (take == have && fit.solution.gcv < fits[chosen].solution.gcv)) {
      chosen = i;
    }
  }
  return chosen;
}

// The pieces in the caller's units from the knot values and the second
// derivatives at the breakpoints. Knot values come from the B-spline
// coefficients, which are monotone in floating point for a direction; their
// three-term sums are made monotone too by a running maximum (minimum),
// which moves a value by a rounding at most. The second derivatives are the
// curvature coordinates themselves, of the exact sign for a curvature.
Result<SmoothingSpline> build(const Setup& setup, const ShapeFit& fit) {
  const Units& units = setup.units;
  const Doubles internal = breakpoint_values(setup.basis, fit.curve.c);
  const std::size_t n = internal.size();
  Doubles values(n);
  Doubles moments(n);
  const int s = direction(fit.shape);
  double bend = 0;      // the largest |S''|, internal and the caller's units
  double bend_out = 0;
  for (std::size_t j = 0; j < n; ++j) {
    values[j] = units.value(internal[j]);
    if (j > 0 && s * (values[j] - values[j - 1]) < 0) values[j] = values[j - 1];
    moments[j] = units.curvature(fit.curve.a[j]);
    bend = std::max(bend, std::fabs(fit.curve.a[j]));
    bend_out = std::max(bend_out, std::fabs(moments[j]));
  }
  // Extreme units: x near 1e100 makes lam (units of w x^3) overflow, and y
  // small beside x^2 makes the second derivatives underflow to zero, which
  // would straighten the curve between its knots.
  const double lam = units.lam(fit.solution.lam);
  if (!(lam >= std::numeric_limits<double>::min() && std::isfinite(lam))) {
    return Unrepresentable{"its lam is beyond the range of doubles in these units of x and weights"};
  }
  if (bend > 0 && !(bend_out >= kSmallestCurvature)) {
    return Unrepresentable{"its second derivative underflows in these units of x and y"};
  }
  const Doubles& x = setup.breakpoints;
  Vector<CubicPiece> pieces;
  pieces.reserve(n - 1);
  for (std::size_t j = 0; j + 1 < n; ++j) {
    pieces.emplace_back(x[j], x[j + 1] - x[j], values[j], values[j + 1], moments[j],
                        moments[j + 1]);
    for (const double field : pieces.back().fields()) {
      if (!std::isfinite(field)) {
        return Unrepresentable{"its values or second derivatives overflow in these units"};
      }
    }
  }
  const Solution& solution = fit.solution;
  const Choice choice{lam, solution.edf, units.rss(solution.gcv), fit.shape, solution.active};
  return SmoothingSpline(Piecewise<CubicPiece>(Doubles(x.begin(), x.end()), std::move(pieces)),
                         choice);
}

Result<SmoothingSpline> fit_shapes(const Smoother& config, const Setup& setup) {
  std::optional<double> lam;
  if (config.lam) {
    lam = setup.units.lam_internal(*config.lam);
    if (!(*lam >= std::numeric_limits<double>::min() && std::isfinite(*lam))) {
      return InvalidSetting{"lam", "within the range these units of x and weights allow",
                            *config.lam};
    }
  }
  const Fitter fitter(config, setup, lam);
  auto unsolvable = [&]() -> Error {
    if (config.lam) {
      return InvalidSetting{"lam", "one at which the normal equations can be solved", *config.lam};
    }
    return Unrepresentable{"no lam gives normal equations that can be solved"};
  };
  if (config.shape != Shape::automatic) {
    std::optional<ShapeFit> fit = fitter.fit(config.shape);
    if (!fit) return unsolvable();
    return build(setup, *fit);
  }
  // The candidates are scored at the unconstrained fit's lambda, so that the
  // comparison asks only whether a shape costs more than the tolerance at the
  // smoothing the data call for; the shape chosen is then fitted with its
  // own search. (Scored each at its own lambda, a shape could also win by
  // another smoothing, and on synthetic truths that picked a shape the truth
  // lacks more often.)
  std::optional<ShapeFit> unconstrained = fitter.fit(Shape::none);
  if (!unconstrained) return unsolvable();
  const Fitter scoring(config, setup, unconstrained->solution.lam);
  std::vector<ShapeFit> fits;
  fits.push_back(std::move(*unconstrained));
  for (const Shape shape : kCandidates) {
    if (shape == Shape::none) continue;
    std::optional<ShapeFit> fit = scoring.fit(shape);
    if (!fit) return unsolvable();
    fits.push_back(std::move(*fit));
  }
  const std::size_t chosen = automatic_choice(fits);
  if (config.lam || chosen == 0) return build(setup, fits[chosen]);
  std::optional<ShapeFit> fit = fitter.fit(fits[chosen].shape);
  if (!fit) return unsolvable();
  return build(setup, *fit);
}

Result<SmoothingSpline> fit_data(const Smoother& config, std::span<const double> x,
                                 std::span<const double> y, std::span<const double> w,
                                 bool weighted) {
  if (std::optional<Error> invalid = config.check()) return *invalid;
  if (std::optional<Error> invalid = check_data(x, y, w, weighted)) return *invalid;
  const SortedData sorted(x, y, w);
  const Data& data = sorted.data();
  const std::size_t n = data.size();
  if (n == 0) return TooFewDistinct{0, kMinimumDistinct};
  const double range = data.x[n - 1] - data.x[0];
  if (!(range <= std::numeric_limits<double>::max())) {
    const std::size_t i = static_cast<std::size_t>(std::max_element(x.begin(), x.end()) - x.begin());
    return InvalidValue{"x", i, "within the largest double of the smallest x", x[i]};
  }
  const double tie = kTieShare * range;
  std::size_t distinct = 0;
  for_each_distinct(data, tie, true, [&](double) { ++distinct; });
  if (distinct < kMinimumDistinct) return TooFewDistinct{distinct, kMinimumDistinct};
  Doubles breakpoints;
  if (config.knots) {
    if (std::optional<Error> invalid = given_breakpoints(data, tie, *config.knots, breakpoints)) {
      return *invalid;
    }
  } else {
    breakpoints = chosen_breakpoints(data, tie, config.segments);
  }
  const Units units = units_of(data, range);
  Doubles internal(breakpoints.size());
  for (std::size_t j = 0; j < internal.size(); ++j) internal[j] = units.u(breakpoints[j]);
  Basis basis(std::move(internal));
  NormalEquations normal = assemble(basis, data, units, {});
  const double lam_scale = band_trace(normal.band) / band_trace(basis.penalty_band());
  double points = 0;
  for (std::size_t i = 0; i < n; ++i) points += data.weight(i) > 0 ? 1 : 0;
  const Setup setup{data,   units,  std::move(breakpoints), std::move(basis), std::move(normal),
                    points, lam_scale};
  return fit_shapes(config, setup);
}

}  // namespace

SmoothingSpline::SmoothingSpline(Piecewise<CubicPiece> curve, Choice choice)
    : PiecewiseSpline<CubicPiece>(std::move(curve)), choice_(choice) {}

bool SmoothingSpline::is_shape_preserving() const {
  const int s = direction(choice_.shape);
  const int m = curvature(choice_.shape);
  const std::span<const CubicPiece> pieces = curve().pieces();
  for (std::size_t j = 0; j < pieces.size(); ++j) {
    if (m * pieces[j].m0() < 0 || m * pieces[j].m1() < 0) return false;
    const double next = j + 1 < pieces.size() ? pieces[j + 1].y0() : value(domain().second);
    if (s * (next - pieces[j].y0()) < 0) return false;
  }
  return true;
}

std::string SmoothingSpline::debug_text() const {
  const auto [first, last] = domain();
  return format::Record("SmoothingSpline")
      .field("domain", format::range(first, last))
      .field("intervals", format::debug(static_cast<std::uint64_t>(intervals())))
      .field("shape", "\"" + name(choice_.shape) + "\"")
      .field("lam", format::debug(choice_.lam))
      .field("edf", format::debug(choice_.edf))
      .str();
}

std::optional<Error> Smoother::check() const {
  if (lam && !(std::isfinite(*lam) && *lam > 0)) {
    return InvalidSetting{"lam", "finite and > 0", *lam};
  }
  if (segments < 1 || segments > max_segments) {
    // Named as the NumPy layer's argument, which takes a count or positions.
    return InvalidSetting{"knots", "a number of segments from 1 to 500",
                          static_cast<double>(segments)};
  }
  if (knots) {
    if (knots->size() >= max_segments) {
      return InvalidSetting{"knots", "at most 499 interior knots",
                            static_cast<double>(knots->size())};
    }
    for (std::size_t i = 0; i < knots->size(); ++i) {
      const double k = (*knots)[i];
      if (!std::isfinite(k)) return InvalidValue{"knots", i, "finite", k};
      if (i > 0 && !(k > (*knots)[i - 1])) {
        return InvalidValue{"knots", i, "greater than the knot before it", k};
      }
    }
  }
  if (shape > Shape::automatic) return UnknownShape{"(tag " + std::to_string(int(shape)) + ")"};
  return std::nullopt;
}

Result<SmoothingSpline> Smoother::fit(std::span<const double> x, std::span<const double> y) const {
  return fit_data(*this, x, y, {}, false);
}

Result<SmoothingSpline> Smoother::fit(std::span<const double> x, std::span<const double> y,
                                      std::span<const double> weights) const {
  return fit_data(*this, x, y, weights, true);
}

std::string Smoother::debug_text() const {
  format::Record record("Smoother");
  record.field("shape", "\"" + name(shape) + "\"");
  record.field("lam", lam ? format::debug(*lam) : "GCV");
  if (knots) {
    record.field("knots", format::debug(static_cast<std::uint64_t>(knots->size())));
  } else {
    record.field("segments", format::debug(segments));
  }
  record.field("robust", format::debug(robust));
  return record.str();
}

}  // namespace velarix::smoothing
