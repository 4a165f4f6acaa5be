#include "tension/strict.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "limited_slopes.hpp"
#include "tension/slopes.hpp"
#include "tension/tension.hpp"

namespace velarix::tension {
namespace {

const Tension strict_config{Policy::strict()};

TensionSpline fit(const Tension& config, const Doubles& x, const Doubles& y) {
  Result<TensionSpline> result = config.fit(x, y);
  if (!result.ok()) ADD_FAILURE() << message(result.error());
  return std::move(result).value();
}

double range_of(const Doubles& y) {
  return *std::max_element(y.begin(), y.end()) - *std::min_element(y.begin(), y.end());
}

// Random data of one kind: 0 strictly monotone, 1 convex, 2 monotone with
// repeated values, 3 with extrema; 5 to 300 uneven knots.
std::pair<Doubles, Doubles> random_data(std::mt19937_64& rng, int kind) {
  std::uniform_real_distribution<double> unit(0, 1);
  const int n = 5 + static_cast<int>(std::pow(unit(rng), 2) * 295);
  Doubles x{unit(rng)}, y{0}, slopes;
  for (int i = 1; i < n; ++i) x.push_back(x.back() + 0.05 + unit(rng));
  for (int i = 1; i < n; ++i) slopes.push_back(std::pow(unit(rng), 3));
  if (kind == 1) std::sort(slopes.begin(), slopes.end());
  for (int i = 1; i < n; ++i) {
    double step = slopes[i - 1] * (x[i] - x[i - 1]);
    if (kind == 1) step = (slopes[i - 1] - 0.5) * (x[i] - x[i - 1]);
    if (kind == 2 && unit(rng) < 0.4) step = 0;
    if (kind == 3) step = unit(rng) - 0.5;
    y.push_back(y.back() + step + (kind == 0 ? 1e-3 : 0));
  }
  return {x, y};
}

// Over 400 random sets: the fit reports its requirements hold (flats may miss
// where the tension cap binds), no tension exceeds its cap, and S'' from the
// two pieces at every interior knot agrees to 1e-9 of the curvature about it.
TEST(StrictFit, KeepsTheShapeAndStaysTwiceDifferentiable) {
  std::mt19937_64 rng(15);
  int preserving = 0;
  for (int set = 0; set < 400; ++set) {
    const auto [x, y] = random_data(rng, set % 4);
    const TensionSpline spline = fit(strict_config, x, y);
    preserving += spline.is_shape_preserving();
    const auto pieces = spline.curve().pieces();
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      ASSERT_LE(spline.tensions()[i], strict::tension_cap(x[i], x[i + 1], x[0]));
      if (i == 0) continue;
      const double left = pieces[i - 1].second_derivative(x[i]);
      const double right = pieces[i].second_derivative(x[i]);
      // Where the data are nearly straight, S'' is rounding noise about 0: it
      // is formed from slope gaps that carry the slopes' rounding, magnified
      // by the tension over the width; a floor of 1e-5 of that (so that the
      // jump may reach a hundred ulps of it).
      const double sigma = 1 + std::max(spline.tensions()[i - 1], spline.tensions()[i]);
      const double floor = 1e-5 * sigma *
                           (std::fabs(pieces[i - 1].secant()) + std::fabs(pieces[i].secant())) /
                           (x[i + 1] - x[i - 1]);
      const double scale = std::max({std::fabs(left), std::fabs(right),
                                     std::fabs(pieces[i - 1].second_derivative(x[i - 1])),
                                     std::fabs(pieces[i].second_derivative(x[i + 1])), floor});
      ASSERT_LE(std::fabs(left - right), 1e-9 * scale) << set << " knot " << i;
    }
  }
  EXPECT_GE(preserving, 380);
}

struct Classic {
  Doubles x, y;
  double lo, hi;  // the curve must stay within [lo, hi] everywhere
};

class StrictOnClassicData : public ::testing::TestWithParam<Classic> {};

// Where the published policy leaves the data's bounds, the strict one stays
// within them (to 1e-12 of the range) and reports its shape as kept.
TEST_P(StrictOnClassicData, StaysWithinTheDataBounds) {
  const Classic& c = GetParam();
  const TensionSpline spline = fit(strict_config, c.x, c.y);
  EXPECT_TRUE(spline.is_shape_preserving());
  EXPECT_FALSE(fit(Tension{}, c.x, c.y).is_shape_preserving());
  const double slack = 1e-12 * range_of(c.y);
  for (double x = c.x.front(); x <= c.x.back(); x += (c.x.back() - c.x.front()) / 4096) {
    ASSERT_GE(spline.value(x), c.lo - slack) << x;
    ASSERT_LE(spline.value(x), c.hi + slack) << x;
  }
}

INSTANTIATE_TEST_SUITE_P(
    FlatStepRpn, StrictOnClassicData,
    ::testing::Values(Classic{{0, 1, 2, 3, 4}, {0, 1, 1, 1, 2}, 0, 2},
                      Classic{{0, 1, 2, 3, 4, 5, 6, 7}, {0, 0, 0, 0, 1, 1, 1, 1}, 0, 1},
                      Classic{{7.99, 8.09, 8.19, 8.7, 9.2, 10, 12, 15, 20},
                              {0, 2.76429e-5, 4.37498e-2, 0.169183, 0.469428, 0.943740, 0.998636,
                               0.999919, 0.999994},
                              0, 0.999994}));

TEST(StrictFit, FlatIntervalBetweenRisesStaysFlat) {
  const Doubles x{0, 1, 2, 3, 4}, y{0, 1, 1, 1, 2};
  const TensionSpline spline = fit(strict_config, x, y);
  for (double t = 1; t <= 3; t += 1.0 / 64) EXPECT_NEAR(spline.value(t), 1.0, 2e-12);
}

TEST(StrictFit, NoPassesGiveTheCubicAndReportIt) {
  const Doubles x{0, 1, 2, 3, 4}, y{0, 1, 1, 1, 2};
  const TensionSpline spline = fit(Tension{Policy::strict(), {}, 0.0, 0}, x, y);
  EXPECT_EQ(spline.iterations(), 0u);
  EXPECT_FALSE(spline.is_shape_preserving());
  EXPECT_TRUE(std::all_of(spline.tensions().begin(), spline.tensions().end(),
                          [](double t) { return t == 0; }));
}

struct Limit {
  Doubles x, y;
  double left, right;  // estimates in
  double want_left, want_right;
};

class LimitedSlopes : public ::testing::TestWithParam<Limit> {};

TEST_P(LimitedSlopes, PullsEstimatesBackToTheShape) {
  const Limit& c = GetParam();
  const Samples samples = Samples::create(c.x, c.y).value();
  const auto [left, right] = limit_end_slopes(samples, {c.left, c.right});
  EXPECT_EQ(left, c.want_left);
  EXPECT_EQ(right, c.want_right);
}

INSTANTIATE_TEST_SUITE_P(
    EveryRule, LimitedSlopes,
    ::testing::Values(
        // One interval: the secant at both ends, whatever the estimates.
        Limit{{0, 2}, {0, 1}, 5, -5, 0.5, 0.5},
        // Against the end secant, or at a zero end secant: 0.
        Limit{{0, 1, 2, 3}, {0, 1, 3, 3}, -0.5, 2, 0, 0},
        // An extremum at the first interior knot: at most 3 times the secant.
        Limit{{0, 1, 2, 3}, {0, 1, 0, 1}, 7, 2.5, 3, 2.5},
        // Convex data: the left slope no steeper than the secant, the right
        // one no shallower; concave data the reverse.
        Limit{{0, 1, 2, 3}, {0, 1, 3, 6}, 1.5, 2, 1, 3},
        Limit{{0, 1, 2, 3}, {0, 3, 5, 6}, 2, 1.5, 3, 1}));

// Each policy's end rule: the published and uniform policies take an
// estimate as it is, the strict one limits it; clamped slopes, natural and
// periodic ends pass through.
TEST(EndSlopeRule, OnlyTheStrictPolicyLimitsEstimates) {
  // Both estimates point against their end secants.
  const Samples samples = Samples::create(Doubles{0, 1, 2, 3}, Doubles{0, 0.1, 3, 3.1}).value();
  const auto [left, right] = slopes::estimated_end_slopes(samples);
  const auto [limited_left, limited_right] = limit_end_slopes(samples, {left, right});
  const EndRows estimate{EndRows::Kind::slopes, left, right};
  const EndRows limited{EndRows::Kind::slopes, limited_left, limited_right};
  ASSERT_NE(estimate, limited);
  EXPECT_EQ(Published{}.end_rows(samples, EndSlopes{}), estimate);
  EXPECT_EQ(Uniform{2}.end_rows(samples, EndSlopes{}), estimate);
  EXPECT_EQ(Strict{}.end_rows(samples, EndSlopes{}), limited);
  for (const EndSlopes& given : {EndSlopes::limited(), EndSlopes::clamped(-1, 2),
                                 EndSlopes::natural(), EndSlopes::periodic()}) {
    EXPECT_EQ(Strict{}.end_rows(samples, given), Published{}.end_rows(samples, given));
  }
}

}  // namespace
}  // namespace velarix::tension

namespace velarix::tension {
namespace {

// A stretch re-solved around a raised tension agrees with the full solve to
// rounding, and leaves the slopes outside the stretch untouched.
TEST(SolveBetween, MatchesTheFullSolveAroundARaise) {
  std::mt19937_64 rng(7);
  const auto [x, y] = random_data(rng, 3);
  const Samples samples = Samples::create(x, y).value();
  const std::size_t n = samples.size(), mid = n / 2;
  Doubles tensions(n - 1, 0.5);
  Doubles yp = slopes::solve(samples, tensions, 0.1, -0.2);
  const Doubles before = yp;
  tensions[mid] = 40;
  const Doubles full = slopes::solve(samples, tensions, 0.1, -0.2);
  const std::size_t lo = mid > 64 ? mid - 64 : 0, hi = std::min(n - 1, mid + 65);
  slopes::solve_between(samples, tensions, yp, lo, hi);
  for (std::size_t k = 0; k < n; ++k) {
    if (k <= lo || k >= hi) {
      EXPECT_EQ(yp[k], before[k]) << k;
    } else {
      EXPECT_NEAR(yp[k], full[k], 1e-13 * (std::fabs(full[k]) + 1)) << k;
    }
  }
}

}  // namespace
}  // namespace velarix::tension
