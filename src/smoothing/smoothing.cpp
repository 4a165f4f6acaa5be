#include "smoothing/smoothing.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "cancel.hpp"
#include "format.hpp"
#include "smoothing/basis.hpp"
#include "smoothing/coordinates.hpp"
#include "smoothing/data.hpp"
#include "smoothing/robust.hpp"
#include "smoothing/search.hpp"

namespace velarix::smoothing {
namespace {

// With a shape, the default knots stop at this many segments (at quantiles
// of the distinct x beyond). The bounds' active set is found by solves
// whose count grows with the number of bounds that meet: at 10^5 knots a
// shaped fit took 25 times the unconstrained one, against 2.6 times at
// 10^4. And the shaped solves work on the normal equations with the
// penalty's matrix, whose rounding swamps the penalty of smooth curves from
// about 10^4 knots on (see stacked.hpp; the unconstrained fit avoids it).
// Two thousand segments resolve any curve a shape allows to well below the
// noise of the records that long.
constexpr std::uint64_t kShapedDefaultSegments = 2000;
// A line has two coefficients: GCV needs a third point to judge a fit by.
constexpr std::size_t kMinimumDistinct = 3;
// Huber reweighting passes after the first fit (the weights settle in two
// or three).
constexpr int kRobustPasses = 5;
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

// Everything the fits of the candidate shapes share.
struct Setup {
  Data data;
  Units units;
  Doubles breakpoints;  // caller's units
  Basis basis;
  NormalEquations normal;
  Band penalty;
  Doubles greville;
  double points;
  double lam_scale;
  DataFactor stacked;  // set for no shape and the automatic one
};

struct ShapeFit {
  Shape shape;
  Solution solution;
  Coefficients curve;
};

class Fitter {
 public:
  Fitter(const Smoother& config, const Setup& setup, std::optional<double> lam)
      : config_(config), setup_(setup), lam_(lam) {}

  std::optional<ShapeFit> fit(Shape shape) const {
    const Coordinates coordinates(setup_.basis, shape);
    RobustWeights weights;
    std::optional<Solution> solution;
    if (config_.robust && pilot_weights(setup_.data, setup_.units, weights)) {
      for (int pass = 0; pass <= kRobustPasses; ++pass) {
        if (pass > 0 && !residual_weights(setup_.basis, setup_.data, setup_.units, solution->c,
                                          weights)) {
          break;
        }
        const Vector<std::uint8_t> start = solution ? solution->held : Vector<std::uint8_t>{};
        const NormalEquations fitted = assemble(setup_.basis, setup_.data, setup_.units, weights.fit);
        const NormalEquations scored =
            assemble(setup_.basis, setup_.data, setup_.units, weights.score);
        // The unconstrained passes solve the stacked problem of their weights.
        DataFactor stacked;
        if (coordinates.bounded_count() == 0 && setup_.stacked.usable) {
          stacked = factor_data(setup_.basis, setup_.data, setup_.units, weights.fit);
        }
        solution = solve(coordinates, fitted, &scored, start, stacked.usable ? &stacked : nullptr);
        if (!solution) return std::nullopt;
      }
    } else {
      solution = solve(coordinates, setup_.normal, nullptr, {},
                       setup_.stacked.usable ? &setup_.stacked : nullptr);
      if (!solution) return std::nullopt;
    }
    // The curve takes the coefficients over; the solution keeps its figures.
    Coefficients curve = coordinates.curve_of(std::move(solution->c));
    return ShapeFit{shape, std::move(*solution), std::move(curve)};
  }

 private:
  std::optional<Solution> solve(const Coordinates& coordinates, const NormalEquations& normal,
                                const NormalEquations* score, std::span<const std::uint8_t> start,
                                const DataFactor* stacked) const {
    auto programme = [&](const Coordinates& c) {
      return Programme{&setup_.basis,   &c,
                       &normal,         score,
                       &setup_.penalty, setup_.greville,
                       setup_.points,   setup_.lam_scale,
                       stacked};
    };
    const Programme p = programme(coordinates);
    if (lam_) {
      Workspace work;
      return solve_at(p, *lam_, start, work);
    }
    if (coordinates.bounded_count() == 0) return choose_lambda(p, start);
    const Coordinates free(setup_.basis, Shape::none);
    const std::optional<Solution> unconstrained = choose_lambda(programme(free), {});
    if (!unconstrained) return std::nullopt;
    const double lowest = unconstrained->lam * std::pow(10.0, -kShapeSearchDecades);
    return choose_lambda(p, start, lowest);
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

// Knot values in the order of a direction do not make every piece keep it:
// on a nearly flat piece the second derivatives carry rounding at the scale
// of the whole curve, larger than the piece's rise, and the cubic dips
// between its knots. Such a piece has both its second derivatives capped at
// d / (5 scale) (d its rise, scale h^2 / 6): h S' = d + scale (a(t) m0 + b(t) m1)
// with |a|, |b| <= 2, so the cap leaves S' of the direction's sign all over
// the piece. A cap changes the curve by what rounding had already moved it;
// it shrinks a second derivative towards 0 and keeps its sign (and so the
// curvature shape), and a repaired piece stays repaired when a neighbour's
// cap shrinks their common one again, so the passes end.
void keep_direction(int s, const Doubles& x, const Doubles& values, Doubles& moments) {
  if (s == 0) return;
  const std::size_t n = values.size();
  for (std::size_t pass = 0; pass < n; ++pass) {
    bool capped = false;
    for (std::size_t j = 0; j + 1 < n; ++j) {
      const double h = x[j + 1] - x[j];
      if (CubicPiece(x[j], h, values[j], values[j + 1], moments[j], moments[j + 1])
              .keeps_direction(s)) {
        continue;
      }
      const double cap = s * (values[j + 1] - values[j]) / (5 * (h * h / 6));
      for (const std::size_t k : {j, j + 1}) {
        if (std::fabs(moments[k]) > cap) moments[k] = std::copysign(cap, moments[k]);
      }
      capped = true;
    }
    if (!capped) return;
  }
}

// The pieces in the caller's units from the knot values and the second
// derivatives at the breakpoints. Knot values come from the B-spline
// coefficients, which are monotone in floating point for a direction; their
// three-term sums are made monotone too by a running maximum (minimum),
// which moves a value by a rounding at most. The second derivatives are the
// curvature coordinates themselves, of the exact sign for a curvature. The
// normal equations are released first, and the curve takes the breakpoints
// over: at a knot at every point, what a fit holds at its end is then little
// more than the curve it returns.
Result<SmoothingSpline> build(Setup& setup, const ShapeFit& fit) {
  setup.normal = NormalEquations{};
  setup.penalty = Band{};
  setup.greville = Doubles{};
  setup.stacked = DataFactor{};
  const Units& units = setup.units;
  Doubles values = breakpoint_values(setup.basis, fit.curve.c);  // internal, then converted
  const std::size_t n = values.size();
  Doubles moments(n);
  const int s = direction(fit.shape);
  double bend = 0;      // the largest |S''|, internal and the caller's units
  double bend_out = 0;
  const int m = curvature(fit.shape);
  for (std::size_t j = 0; j < n; ++j) {
    values[j] = units.value(values[j]);
    if (j > 0 && s * (values[j] - values[j - 1]) < 0) values[j] = values[j - 1];
    // The second derivatives are differences of the coefficients: where the
    // fit holds a curvature bound their sign is exact up to that rounding.
    const double a = m * fit.curve.a[j] < 0 ? 0.0 : fit.curve.a[j];
    moments[j] = units.curvature(a);
    bend = std::max(bend, std::fabs(a));
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
  Doubles& x = setup.breakpoints;
  keep_direction(s, x, values, moments);
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
  values = Doubles{};
  moments = Doubles{};
  return SmoothingSpline(Piecewise<CubicPiece>(std::move(x), std::move(pieces)), choice);
}

Result<SmoothingSpline> fit_shapes(const Smoother& config, Setup& setup) {
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

std::uint64_t default_segments(const Smoother& config) {
  if (config.segments != 0 || config.shape == Shape::none) return config.segments;
  return kShapedDefaultSegments;
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
  const double tie = tie_gap(range);
  const std::size_t distinct = weighted_distinct(data, tie);
  if (distinct < kMinimumDistinct) return TooFewDistinct{distinct, kMinimumDistinct};
  Doubles breakpoints;
  if (config.knots) {
    if (std::optional<Error> invalid = given_breakpoints(data, tie, *config.knots, breakpoints)) {
      return *invalid;
    }
  } else {
    breakpoints = chosen_breakpoints(data, tie, default_segments(config));
  }
  const Units units = units_of(data, range);
  Doubles internal(breakpoints.size());
  for (std::size_t j = 0; j < internal.size(); ++j) internal[j] = units.u(breakpoints[j]);
  Basis basis(std::move(internal));
  NormalEquations normal = assemble(basis, data, units, {});
  Band penalty = basis.penalty_band();
  const double lam_scale = normal.band.trace() / penalty.trace();
  double points = 0;
  for (std::size_t i = 0; i < n; ++i) points += data.weight(i) > 0 ? 1 : 0;
  Doubles greville = basis.greville();
  DataFactor stacked;
  if (config.shape == Shape::none || config.shape == Shape::automatic) {
    // (A robust fit factors its reweighted data pass by pass; this one
    // marks that it may.)
    stacked = factor_data(basis, data, units);
    if (config.shape == Shape::none) {
      // The unconstrained fit needs neither the penalty's matrix nor the
      // abscissae of the bounds' reductions.
      penalty = Band{};
      greville = Doubles{};
    }
  }
  Setup setup{data,   units,    std::move(breakpoints), std::move(basis), std::move(normal),
                    std::move(penalty), std::move(greville), points, lam_scale, std::move(stacked)};
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
    if (!pieces[j].keeps_direction(s)) return false;
    const double next = j + 1 < pieces.size() ? pieces[j + 1].y0() : value(domain().second);
    if (s * (next - pieces[j].y0()) < 0) return false;
  }
  return true;
}

std::string SmoothingSpline::debug_text() const {
  return format::spline_record("SmoothingSpline", domain(), intervals())
      .field("shape", "\"" + name(choice_.shape) + "\"")
      .field("lam", format::debug(choice_.lam))
      .field("edf", format::debug(choice_.edf))
      .str();
}

std::optional<Error> Smoother::check() const {
  if (lam && !(std::isfinite(*lam) && *lam > 0)) {
    return InvalidSetting{"lam", "finite and > 0", *lam};
  }
  if (knots) {
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

// A fit asked to stop part way (see cancel.hpp) is Cancelled, whatever its
// loops returned when they stopped.
Result<SmoothingSpline> cancellable(Result<SmoothingSpline> fitted) {
  if (cancel::take()) return Cancelled{};
  return fitted;
}

Result<SmoothingSpline> Smoother::fit(std::span<const double> x, std::span<const double> y) const {
  cancel::take();
  return cancellable(fit_data(*this, x, y, {}, false));
}

Result<SmoothingSpline> Smoother::fit(std::span<const double> x, std::span<const double> y,
                                      std::span<const double> weights) const {
  cancel::take();
  return cancellable(fit_data(*this, x, y, weights, true));
}

std::string Smoother::debug_text() const {
  format::Record record("Smoother");
  record.field("shape", "\"" + name(shape) + "\"");
  record.field("lam", lam ? format::debug(*lam) : "GCV");
  if (knots) {
    record.field("knots", format::debug(static_cast<std::uint64_t>(knots->size())));
  } else {
    record.field("segments", segments == 0 ? "all" : format::debug(segments));
  }
  record.field("robust", format::debug(robust));
  return record.str();
}

}  // namespace velarix::smoothing
