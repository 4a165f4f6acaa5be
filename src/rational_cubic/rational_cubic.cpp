#include "rational_cubic/rational_cubic.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

#include "format.hpp"
#include "memory.hpp"
#include "rational_cubic/solver.hpp"
#include "samples.hpp"
#include "scaled_fit.hpp"

namespace velarix::rational_cubic {
namespace {

// The smallest diagonal entry of the derivative system, decided before it is
// built. Row k has the diagonal u h[k] (u + v + w[k-1]) + v h[k-1] (u + v +
// w[k]) >= (u h[k] + v h[k-1]) (u + v), and its off-diagonal product takes at
// most a third of that; while the bound is a normal double the elimination
// keeps every pivot positive. Shape parameters so small that it underflows
// are refused, naming the smaller one and the narrower interval of the row.
// The Newton step's system is not diagonally dominant: its off-diagonal
// entries u^2 h[k] and v^2 h[k-1] carry the coupling that keeps it regular,
// so there both must stay normal too.
std::optional<OutOfScale> check_scale(const RationalCubic& config, const Samples& samples) {
  const std::span<const double> h = samples.widths();
  const double u = config.u;
  const double v = config.v;
  const double a = u + v;
  const bool newton = config.solver == solver::Method::newton;
  constexpr double normal = std::numeric_limits<double>::min();
  for (std::size_t k = 1; k < h.size(); ++k) {
    const double f = u * h[k];
    const double g = v * h[k - 1];
    const bool coupled = !newton || (u * f >= normal && v * g >= normal);
    if (f * a + g * a >= normal && coupled) continue;
    const bool u_smaller = u <= v;
    const std::size_t narrow = h[k - 1] <= h[k] ? k - 1 : k;
    return OutOfScale{u_smaller ? "u" : "v", u_smaller ? u : v, narrow, h[narrow]};
  }
  return std::nullopt;
}

// The largest u / v the pieces serve: the denominator's constant part
// alpha = u + t (v - u) must reach v at the right knot, and beyond 2^52 the
// difference v - u rounds to -u, so that alpha rounds to 0 there (and the
// piece to 0 / 0). v above u takes any ratio: u + (v - u) rounds to v.
constexpr double kLargestShapeRatio = 0x1p52;

std::optional<InvalidParameter> check_shape_ratio(const RationalCubic& config) {
  if (config.u / config.v <= kLargestShapeRatio) return std::nullopt;
  return InvalidParameter{
      "v", "at least u / 2^52: below it the denominator u + t (v - u) rounds to 0 at the right knot",
      config.v};
}

enum class Curvature { none, convex, concave };

// Data are concave when the first knot whose secants differ beyond their
// rounding has a falling step. Neighbouring secants equal to rounding (or
// NaN) decide nothing, so straight data count as convex; a later step of the
// other direction is an inflection.
Result<bool> classify_concave(const Samples& samples) {
  const std::span<const double> s = samples.secants();
  const Doubles rounding = solver::secant_rounding(samples);
  Curvature direction = Curvature::none;
  for (std::size_t k = 1; k < s.size(); ++k) {
    Curvature step = Curvature::none;
    if (solver::straight_at(s, rounding, k)) continue;
    if (s[k] > s[k - 1]) {
      step = Curvature::convex;
    } else if (s[k] < s[k - 1]) {
      step = Curvature::concave;
    } else {
      continue;
    }
    if (direction == Curvature::none) {
      direction = step;
    } else if (step != direction) {
      return MixedCurvature{k, samples.x()[k], s[k - 1], s[k]};
    }
  }
  return direction == Curvature::concave;
}

// Concave data solved as convex: the same knots and widths, y and secants
// negated (negation is exact, so the mirror of a mirror is the original).
Samples mirrored(const Samples& samples) {
  Doubles y(samples.y().begin(), samples.y().end());
  UnfilledDoubles secants(samples.secants().begin(), samples.secants().end());
  for (double& value : y) value = -value;
  for (double& secant : secants) secant = -secant;
  return Samples::from_parts({samples.x().begin(), samples.x().end()}, std::move(y),
                             {samples.widths().begin(), samples.widths().end()},
                             std::move(secants));
}

// The secant sequence continued by half a step beyond each end; the widths do
// not enter.
std::pair<double, double> estimated_end_slopes(std::span<const double> s) {
  const std::size_t m = s.size();
  if (m == 1) return {s[0], s[0]};
  return {s[0] - (s[1] - s[0]) * 0.5, s[m - 1] + (s[m - 1] - s[m - 2]) * 0.5};
}

// A natural end pins S'' to 0 at its knot, and the end piece is convex only
// while its two gaps share a sign: the natural row ties the outer gap to the
// inner one, so the slope at the interior knot next to the end decides. On
// the concave side of the end secant by more than the rounding of a
// derivative (the same 16 ulps the convexity targets allow), or where the
// data are straight to their rounding by more than the noise that rounding
// leaves in the gap (solver::gap_noise: rounded samples of a line carry far
// more than 16 ulps), the end interval would bend against the data at any w.
constexpr double kGapNoise = 16 * 0x1p-53;

bool bends_against(double gap, double secant, double derivative, double noise) {
  return gap < -std::max(noise, kGapNoise * (std::fabs(secant) + std::fabs(derivative)));
}

std::optional<UnsupportedEnds> check_natural_ends(const Samples& solved,
                                                  std::span<const double> d) {
  const std::span<const double> s = solved.secants();
  const std::size_t m = s.size();
  const Doubles noise = solver::gap_noise(solved);
  if (bends_against(d[1] - s[0], s[0], d[1], noise[1])) {
    return UnsupportedEnds{"rational cubic", "natural",
                           "with S'' = 0 at the first knot the first interval would bend against "
                           "the convexity of the data"};
  }
  if (bends_against(s[m - 1] - d[m - 1], s[m - 1], d[m - 1], noise[m - 1])) {
    return UnsupportedEnds{"rational cubic", "natural",
                           "with S'' = 0 at the last knot the last interval would bend against "
                           "the convexity of the data"};
  }
  return std::nullopt;
}

}  // namespace

// Read in the curve's own coordinates, where its knots are: a scaled fit's
// knots are not the caller's abscissas. An end slope beyond its end secant
// by no more than the rounding the two carry (solver::slope_noise, the
// sizes the convexity targets take for no gap) bends nothing the data can
// tell: the end slopes of a straight line lie on either side of it.
bool RationalCubicSpline::is_shape_preserving() const {
  const Piecewise<RationalCubicPiece>& c = curve();
  const std::span<const double> x = c.knots();
  const std::size_t n = x.size();
  const auto value_at = [&](double t) { return c.evaluate_in_curve<Derivative::value>(t); };
  const auto slope_at = [&](double t) { return c.evaluate_in_curve<Derivative::first>(t); };
  // Whether sign (slope - secant) is within its noise on the end interval
  // from a to b.
  const auto within = [&](double a, double b, double slope, double sign) {
    const double ya = value_at(a);
    const double yb = value_at(b);
    const double secant = (yb - ya) / (b - a);
    const double noise =
        solver::slope_noise(solver::secant_rounding(a, b, ya, yb, b - a, secant), secant, slope);
    return sign * (slope - secant) <= noise;
  };
  const double sign = concave_ ? -1.0 : 1.0;
  return within(x[0], x[1], slope_at(x[0]), sign) &&
         within(x[n - 2], x[n - 1], slope_at(x[n - 1]), -sign);
}

RationalCubicSpline::RationalCubicSpline(Piecewise<RationalCubicPiece> curve, Doubles w,
                                         std::uint64_t iterations, bool concave)
    : PiecewiseSpline<RationalCubicPiece>(std::move(curve)),
      w_(std::move(w)),
      iterations_(iterations),
      concave_(concave) {
  if (w_.size() != intervals())
    throw InternalError("one convexity parameter per interval expected");
}

std::string RationalCubicSpline::debug_text() const {
  return format::spline_record("RationalCubicSpline", domain(), w_.size())
      .field("iterations", format::debug(iterations_))
      .field("concave", format::debug(concave_))
      .str();
}

std::string RationalCubic::debug_text() const {
  format::Record record("RationalCubic");
  record
      .field("u", format::debug(u))
      .field("v", format::debug(v))
      .field("boundary", boundary.debug_text())
      .field("margin", format::debug(margin))
      .field("relaxation", format::debug(relaxation))
      .field("tol", format::debug(tol))
      .field("max_iter", format::debug(max_iter))
      .field("w_cap", format::debug(w_cap));
  if (solver == solver::Method::newton) record.field("solver", "Newton");
  return record.str();
}

// Every range test is written as "not (in range)" so that NaN fails it as
// before; an infinite value that passes it is then refused as not finite. The
// cap bounds every w and is the w of an interval with no room, so it must be
// a number >= 0 before the solve starts.
std::optional<InvalidParameter> RationalCubic::check() const {
  if (!(u > 0)) return InvalidParameter{"u", "> 0", u};
  if (auto invalid = require_finite("u", u)) return invalid;
  if (!(v > 0)) return InvalidParameter{"v", "> 0", v};
  if (auto invalid = require_finite("v", v)) return invalid;
  if (auto invalid = boundary.check()) return invalid;
  if (!(margin > 0)) return InvalidParameter{"margin", "> 0", margin};
  if (auto invalid = require_finite("margin", margin)) return invalid;
  if (!(relaxation > 0 && relaxation <= 1)) {
    return InvalidParameter{"relaxation", "in (0, 1]", relaxation};
  }
  if (auto invalid = require_finite("tolerance", tol)) return invalid;
  if (!(w_cap >= 0)) return InvalidParameter{"w_cap", ">= 0", w_cap};
  return require_finite("w_cap", w_cap);
}

UnsupportedEnds RationalCubic::periodic_refusal() const {
  return {"rational cubic", "periodic", "a periodic convex or concave function is constant"};
}

Result<RationalCubicSpline> RationalCubic::fit_samples(const Samples& samples) const {
  const std::size_t m = samples.intervals();

  bool concave = false;
  if (m > 1) {
    const Result<bool> direction = classify_concave(samples);
    if (!direction) return direction.error();
    concave = direction.value();
  }
  if (std::optional<OutOfScale> unscaled = check_scale(*this, samples)) return *unscaled;
  if (std::optional<InvalidParameter> ratio = check_shape_ratio(*this)) return *ratio;
  const double sign = concave ? -1.0 : 1.0;
  std::optional<Samples> mirror;
  if (concave) mirror.emplace(mirrored(samples));
  const Samples& solved = concave ? *mirror : samples;

  EndRows ends = boundary.rows(solved, [&] { return estimated_end_slopes(solved.secants()); });
  // Clamped slopes are the caller's, in the sign of the caller's data.
  if (boundary.clamped_slopes() != nullptr) {
    ends.left = sign * ends.left;
    ends.right = sign * ends.right;
  }

  const solver::SolveSettings settings{u, v, margin, relaxation, tol, max_iter, w_cap, solver};
  Result<solver::Output> output = solver::solve(solved, settings, ends);
  if (!output) return output.error();
  solver::Output& result = output.value();
  if (ends.natural()) {
    if (std::optional<UnsupportedEnds> bent = check_natural_ends(solved, result.derivatives)) {
      return *bent;
    }
  }

  const std::span<const double> xs = solved.x();
  const std::span<const double> ys = solved.y();
  const std::span<const double> h = solved.widths();
  const std::span<const double> d = result.derivatives;
  const Doubles noise = solver::gap_noise(solved);
  Vector<RationalCubicPiece> pieces;
  pieces.reserve(m);
  // A piece is linear in (Y0, Y1, D0, D1) for fixed u, v, w, so negating the
  // mirrored solution gives the concave spline exactly. A straight
  // interval's piece, nearly the chord at any w, keeps the chord form, so
  // that its slope is the secant's to the rounding of the values' change.
  for (std::size_t i = 0; i < m; ++i) {
    const double w = result.w[i];
    const auto build = solver::straight_interval(noise, i) && w > 0
                           ? RationalCubicPiece::in_chord_form
                           : RationalCubicPiece::from_interval;
    pieces.push_back(build(sign * ys[i], sign * ys[i + 1], sign * d[i], sign * d[i + 1], xs[i],
                           h[i], u, v, w));
  }
  return RationalCubicSpline(
      Piecewise<RationalCubicPiece>({xs.begin(), xs.end()}, std::move(pieces)), std::move(result.w),
      result.iterations, concave);
}

}  // namespace velarix::rational_cubic
