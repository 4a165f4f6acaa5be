#include "variable_degree/variable_degree.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "format.hpp"
#include "memory.hpp"
#include "scaled_fit.hpp"

namespace velarix::variable_degree {
namespace {

// Every interval starts as a cubic.
constexpr double kCubicDegree = 3.0;
// Growth of a degree per raise: six raises take 3 to the default cap of 50.
constexpr double kRaiseFactor = 1.7;
// A change of secant slope this small relative to the largest one is taken as
// straight data: it is rounding noise of the secants, not a convexity.
constexpr double kStraightTolerance = 1e-12;
// Nor is a change within the rounding the secants inherit from the knots:
// given in calendar years or timestamps, a knot holds its position to an ulp
// of |x|, so a width is the intended one only to this many ulps of the
// larger knot, and a secant to that share of itself. Data shifted anywhere
// then bend where their shift to 0 does.
constexpr double kKnotUlps = 2;
// A secant (y1 - y0) / h also carries the rounding of both values: about
// this many ulps of the larger one over the width, so that a straight line
// of long rows (where the values are large beside their steps) is straight.
constexpr double kSecantUlps = 2;
// Curvature signs match when every violation is below this fraction of the
// largest moment (absolute below 1): the moments carry the rounding of a
// tridiagonal solve and cannot be zero exactly.
constexpr double kMomentTolerance = 1e-6;
// A pass raises only beside knots whose violation is above this fraction of
// the worst one, so that small violations caused by a big one nearby get a
// chance to vanish once the big one is treated.
constexpr double kActFraction = 0.1;

// IEEE maxNum as the C library's fmax computes it (a NaN operand is
// ignored; of two equal operands, such as zeros of both signs, the second is
// returned), written inline: the passes take it once per knot, and the
// library call would cost more than the rest of the pass.
inline double max_num(double a, double b) { return (a > b || std::isnan(b)) ? a : b; }

// max(result, |v|) with a result that is never NaN: a NaN |v| is skipped.
inline double max_magnitude(double result, double v) {
  const double magnitude = std::fabs(v);
  return magnitude > result ? magnitude : result;
}

// max(1, max_i |v_i|), NaN magnitudes skipped.
double magnitude_floor_one(std::span<const double> values) {
  double result = 1;
  for (const double v : values) result = max_magnitude(result, v);
  return result;
}

// What a raising pass starts from: max(1, max_i |M_i|) and the largest
// violation, both skipping NaN.
struct PassMaxima {
  double magnitude;
  double violation;
};

// The data's curvature at every knot, by the sign of the change of secant
// slope there, and the violation of a moment against it. Made once per fit:
// the passes only change the moments.
class CurvatureSigns {
 public:
  CurvatureSigns(const Samples& samples, bool periodic)
      : delta_(samples.secants()), n_(samples.size()), periodic_(periodic) {
    // max(1, max |change|) over the knots, NaN skipped; the end knots repeat
    // their neighbours' changes (or share the wrapped one), which adds
    // nothing new or is taken once.
    double magnitude = 1;
    for (std::size_t i = periodic ? 0 : 1; i + 1 < n_; ++i) {
      magnitude = max_magnitude(magnitude, change(i));
    }
    tol_ = kStraightTolerance * magnitude;
    placed_ = knot_rounding(samples, periodic);
    level_ = rounding_moments(samples, periodic);
  }

  // The change of secant slope at knot i; only its sign is used, so it is
  // not divided by a width. The end knots have none of their own and take
  // their neighbour's; with two points both stay straight. On periodic data
  // the two end knots are one, between the last interval and the first.
  double change(std::size_t i) const {
    if (periodic_ && (i == 0 || i + 1 == n_)) return delta_.front() - delta_.back();
    if (n_ < 3) return 0;
    const std::size_t j = std::clamp<std::size_t>(i, 1, n_ - 2);
    return delta_[j] - delta_[j - 1];
  }

  double violation(std::size_t i, double moment) const {
    const double c = change(i);
    const double tol = tol_ + placed_[i];
    if (c > tol) return max_num(-moment, 0.0);     // convex: M must not be negative
    if (c < -tol) return max_num(moment, 0.0);     // concave: M must not be positive
    // Straight: M must vanish, to the moment a bend at the rounding of the
    // data makes (a NaN moment stays a NaN amount).
    return std::fabs(moment) <= level_[i] ? 0.0 : std::fabs(moment);
  }

  // Both maxima of a pass in one sweep over the moments. The largest
  // violation skips NaN (IEEE maxNum): a NaN amount neither wins nor poisons
  // it, and it is NaN only when every amount is. A running maximum is a chain
  // of dependent comparisons, so each is taken over the even and the odd
  // knots separately and the two halves combined; a maximum rounds nothing,
  // and the order can change only the sign of a zero maximum, which the
  // tolerance tests that use these cannot tell apart.
  PassMaxima maxima(std::span<const double> moments) const {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    double magnitude[2] = {1, 1};
    double worst[2] = {nan, nan};
    const std::size_t n = moments.size();
    std::size_t i = 0;
    for (; i + 1 < n; i += 2) {
      for (std::size_t lane = 0; lane < 2; ++lane) {
        magnitude[lane] = max_magnitude(magnitude[lane], moments[i + lane]);
        worst[lane] = max_num(worst[lane], violation(i + lane, moments[i + lane]));
      }
    }
    if (i < n) {
      magnitude[0] = max_magnitude(magnitude[0], moments[i]);
      worst[0] = max_num(worst[0], violation(i, moments[i]));
    }
    return {max_magnitude(magnitude[0], magnitude[1]), max_num(worst[0], worst[1])};
  }

 private:
  std::span<const double> delta_;
  std::size_t n_;
  bool periodic_;
  // The rounding of change(i) inherited from the knots' positions and the
  // values, with the largest |x| and |y| of the knot and its neighbours:
  //   kKnotUlps ulp(x) (|s0| / h0 + |s1| / h1) + kSecantUlps ulp(y) (1 / h0 + 1 / h1).
  static Vector<double> knot_rounding(const Samples& samples, bool periodic) {
    const std::span<const double> x = samples.x();
    const std::span<const double> h = samples.widths();
    const std::span<const double> s = samples.secants();
    const std::span<const double> y = samples.y();
    const std::size_t n = samples.size();
    Vector<double> out(n, 0.0);
    const auto ulp = [](std::span<const double> v, std::size_t a, std::size_t b, std::size_t c) {
      const double far = std::max({std::fabs(v[a]), std::fabs(v[b]), std::fabs(v[c])});
      return std::nextafter(far, std::numeric_limits<double>::infinity()) - far;
    };
    const auto at = [&](std::size_t l, std::size_t r, std::size_t a, std::size_t b, std::size_t c) {
      return kKnotUlps * ulp(x, a, b, c) * (std::fabs(s[l]) / h[l] + std::fabs(s[r]) / h[r]) +
             kSecantUlps * ulp(y, a, b, c) * (1 / h[l] + 1 / h[r]);
    };
    for (std::size_t i = 1; i + 1 < n; ++i) out[i] = at(i - 1, i, i - 1, i, i + 1);
    if (n >= 3) {
      if (periodic) {
        out[0] = out[n - 1] = at(n - 2, 0, n - 2, 0, 1);
      } else {
        out[0] = out[1];
        out[n - 1] = out[n - 2];
      }
    }
    return out;
  }

  // The moment a bend of the size of the knot's tolerance makes there: the
  // moment system's row h0 M(i-1) + 2 (h0 + h1) M(i) + h1 M(i+1) = 6 change
  // keeps |M(i)| within 6 change / (h0 + h1) where the change is the largest
  // nearby.
  Vector<double> rounding_moments(const Samples& samples, bool periodic) const {
    const std::span<const double> h = samples.widths();
    const std::size_t n = samples.size();
    Vector<double> out(n, 0.0);
    const auto at = [&](std::size_t i, std::size_t l, std::size_t r) {
      return 6 * (tol_ + placed_[i]) / (h[l] + h[r]);
    };
    for (std::size_t i = 1; i + 1 < n; ++i) out[i] = at(i, i - 1, i);
    if (n >= 3) {
      if (periodic) {
        out[0] = out[n - 1] = at(0, n - 2, 0);
      } else {
        out[0] = out[1];
        out[n - 1] = out[n - 2];
      }
    }
    return out;
  }

  double tol_ = 0;
  Vector<double> placed_;
  Vector<double> level_;
};

// The largest degree the raising can reach: two raises per pass (an interval
// asked for by both of its knots), each min(1.7 k, cap) as the fit computes
// it, until the cap or infinity stops the growth.
double reachable_degree(double max_degree, std::uint64_t passes) {
  double k = kCubicDegree;
  for (std::uint64_t raise = 0; raise / 2 < passes; ++raise) {
    const double raised = std::fmin(kRaiseFactor * k, max_degree);
    if (!(raised > k)) break;
    k = raised;
  }
  return k;
}

// The diagonal of the moment system holds h/k of its intervals, and each
// off-diagonal entry h/(k (k - 1)) is at most half of that, so the pivots stay
// positive while every h/k is a normal double. The degree cap (with the pass
// budget) is refused where the reachable degree would make the narrowest
// interval's entry underflow.
std::optional<OutOfScale> check_scale(const VariableDegree& config, const Samples& samples) {
  const double k = reachable_degree(config.max_degree, config.max_iter);
  const std::span<const double> h = samples.widths();
  const std::size_t i = static_cast<std::size_t>(std::min_element(h.begin(), h.end()) - h.begin());
  if (h[i] / k >= std::numeric_limits<double>::min()) return std::nullopt;
  return OutOfScale{"max_degree", config.max_degree, i, h[i]};
}

}  // namespace

VariableDegreeSpline::VariableDegreeSpline(Piecewise<VariableDegreePiece> curve, Doubles degrees,
                                           bool shape_preserved, std::uint64_t iterations)
    : PiecewiseSpline<VariableDegreePiece>(std::move(curve)),
      degrees_(std::move(degrees)),
      shape_preserved_(shape_preserved),
      iterations_(iterations) {
  if (degrees_.size() != intervals()) {
    throw InternalError("variable-degree spline needs one degree per interval");
  }
}

std::string VariableDegreeSpline::debug_text() const {
  return format::spline_record("VariableDegreeSpline", domain(), intervals())
      .field("shape_preserved", format::debug(shape_preserved_))
      .str();
}

std::pair<double, double> estimated_end_slopes(const Samples& samples) {
  return samples.three_point_end_slopes();
}

Doubles violations(const Samples& samples, std::span<const double> moments, bool periodic) {
  const CurvatureSigns signs(samples, periodic);
  Doubles amounts(std::min(samples.size(), moments.size()));
  for (std::size_t i = 0; i < amounts.size(); ++i) amounts[i] = signs.violation(i, moments[i]);
  return amounts;
}

// Written as "not >= 3" so that NaN fails it with -inf; +inf passes, as the
// one non-finite setting with a meaning: no cap.
std::optional<InvalidParameter> VariableDegree::check() const {
  if (!(max_degree >= kCubicDegree)) return InvalidParameter{"max_degree", ">= 3", max_degree};
  return boundary.check();
}

Result<VariableDegreeSpline> VariableDegree::fit_samples(const Samples& samples) const {
  if (std::optional<OutOfScale> unscaled = check_scale(*this, samples)) return *unscaled;
  const std::size_t n = samples.size();
  const std::size_t m = samples.intervals();

  const EndRows ends = boundary.rows(samples, [&] { return estimated_end_slopes(samples); });
  Doubles degrees(m, kCubicDegree);
  Doubles moments = moment_system(samples, degrees, ends);

  // The violations are not stored: each is recomputed where it is needed,
  // which gives the same value and keeps a long array out of every pass.
  const CurvatureSigns signs(samples, ends.periodic());
  // On periodic data the last knot is the first one again: it is raised
  // for there, between the last interval and the first.
  const std::size_t knots = ends.periodic() ? n - 1 : n;
  std::uint64_t passes = 0;
  while (passes < max_iter) {
    const PassMaxima maxima = signs.maxima(moments);
    const double tol = kMomentTolerance * maxima.magnitude;
    const double vmax = maxima.violation;
    if (vmax <= tol) break;
    const double threshold = max_num(kActFraction * vmax, tol);
    ++passes;

    bool changed = false;
    for (std::size_t j = 0; j < knots; ++j) {
      if (!(signs.violation(j, moments[j]) > threshold)) continue;
      // Raise the interval beside the knot whose far end carries the larger
      // moment: that side has more curvature to pull towards its chord.
      std::size_t i;
      if (j == 0 && ends.periodic()) {
        i = std::fabs(moments[1]) < std::fabs(moments[n - 2]) ? m - 1 : 0;
      } else if (j == 0) {
        i = 0;
      } else if (j == n - 1) {
        i = m - 1;
      } else {
        i = std::fabs(moments[j + 1]) < std::fabs(moments[j - 1]) ? j - 1 : j;
      }
      // An infinite cap leaves the raise uncapped. The store is immediate,
      // so an interval asked for by both of its knots is raised twice in
      // this pass.
      const double raised = std::fmin(kRaiseFactor * degrees[i], max_degree);
      if (raised > degrees[i]) {
        degrees[i] = raised;
        changed = true;
      }
    }
    if (!changed) break;  // every interval asked for is at the cap
    moments = moment_system(samples, degrees, ends);
  }

  // A non-finite moment (from huge or non-finite clamped slopes, or from
  // non-finite data) makes the tolerance infinite or leaves NaN amounts that
  // no comparison flags, so every amount would pass. Such a curve keeps no
  // shape, so it is never reported as shape-preserving.
  const bool finite = std::all_of(moments.begin(), moments.end(),
                                  [](double moment) { return std::isfinite(moment); });
  const double tol = kMomentTolerance * magnitude_floor_one(moments);
  bool matched = true;
  for (std::size_t j = 0; j < n; ++j) matched = matched && signs.violation(j, moments[j]) <= tol;
  const bool shape_preserved = finite && matched;

  const std::span<const double> xs = samples.x();
  const std::span<const double> ys = samples.y();
  const std::span<const double> h = samples.widths();
  Vector<VariableDegreePiece> pieces;
  pieces.reserve(m);
  for (std::size_t i = 0; i < m; ++i) {
    pieces.emplace_back(xs[i], h[i], ys[i], ys[i + 1], moments[i], moments[i + 1], degrees[i]);
  }
  Piecewise<VariableDegreePiece> curve({xs.begin(), xs.end()}, std::move(pieces));
  return VariableDegreeSpline(std::move(curve), std::move(degrees), shape_preserved, passes);
}

std::string VariableDegree::debug_text() const {
  return format::Record("VariableDegree")
      .field("boundary", boundary.debug_text())
      .field("max_degree", format::debug(max_degree))
      .field("max_iter", format::debug(max_iter))
      .str();
}

}  // namespace velarix::variable_degree
