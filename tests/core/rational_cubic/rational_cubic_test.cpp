#include "rational_cubic/rational_cubic.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "data.hpp"

namespace velarix::rational_cubic {
namespace {

using testing::Data;
using testing::dense_grid;
using testing::negated;
using testing::random_convex;
using V = Doubles;

constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::string fit_message(const RationalCubic& config, const V& x, const V& y) {
  const Result<RationalCubicSpline> fitted = config.fit(x, y);
  return fitted.ok() ? "fitted" : message(fitted.error());
}

// The coefficients grow like w |Y| while the curve stays of size |Y|, so the
// evaluation loses accuracy with w: about eps sum|p| / min Q in the value, and
// a further factor sum|q| / (min Q h) in the first derivative and its square
// in the second (each adds a cancelling product with Q' ~ w).
double value_rounding(const RationalCubicPiece& p) {
  const double size_p = std::fabs(p.p0) + std::fabs(p.p1) + std::fabs(p.p2) + std::fabs(p.p3);
  return kEps * size_p / std::min(p.q0, p.q0 + p.q1 + p.q2);
}
double slope_rounding(const RationalCubicPiece& p) {
  const double size_q = std::fabs(p.q0) + std::fabs(p.q1) + std::fabs(p.q2);
  return value_rounding(p) * (size_q / std::min(p.q0, p.q0 + p.q1 + p.q2)) / p.h;
}
double curvature_rounding(const RationalCubicPiece& p) {
  const double size_q = std::fabs(p.q0) + std::fabs(p.q1) + std::fabs(p.q2);
  const double q_min = std::min(p.q0, p.q0 + p.q1 + p.q2);
  return value_rounding(p) * (size_q / q_min) * (size_q / q_min) / (p.h * p.h);
}

// Equal bit for bit, except that the two zeros count as one: exact
// cancellation rounds to +0 in both the fit and its mirror.
bool same_double(double a, double b) {
  return (a == 0 && b == 0) || std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

// ---------------------------------------------------------------- configuration

TEST(RationalCubicConfig, DefaultsAndDebugText) {
  const RationalCubic config;
  EXPECT_EQ(config.debug_text(),
            "RationalCubic { u: 1.0, v: 1.0, boundary: Estimated, margin: 0.001, relaxation: 0.5, "
            "tol: 1e-10, max_iter: 1000, w_cap: 1000000.0 }");
  RationalCubic changed;
  changed.u = 2;
  changed.v = 0.25;
  changed.boundary = EndSlopes::clamped(0.0, 2.0);
  changed.margin = 2.5e-5;
  changed.relaxation = 1;
  changed.max_iter = 18446744073709551615u;
  EXPECT_EQ(changed.debug_text(),
            "RationalCubic { u: 2.0, v: 0.25, boundary: Clamped { left: 0.0, right: 2.0 }, "
            "margin: 2.5e-5, relaxation: 1.0, tol: 1e-10, max_iter: 18446744073709551615, "
            "w_cap: 1000000.0 }");
}

TEST(RationalCubicConfig, ComparesFieldsAsIeeeDoubles) {
  RationalCubic other;
  other.relaxation = 0.5;
  EXPECT_EQ(other, RationalCubic{});
  other.boundary = EndSlopes::clamped(0, 1);
  EXPECT_NE(other, RationalCubic{});
  RationalCubic nan_margin;
  nan_margin.margin = kNaN;
  EXPECT_NE(nan_margin, nan_margin);
  RationalCubic newton;
  newton.solver = solver::Method::newton;
  EXPECT_NE(newton, RationalCubic{});
  // The solver shows in the text only when it is not the default.
  EXPECT_EQ(newton.debug_text(),
            "RationalCubic { u: 1.0, v: 1.0, boundary: Estimated, margin: 0.001, relaxation: 0.5, "
            "tol: 1e-10, max_iter: 1000, w_cap: 1000000.0, solver: Newton }");
}

struct BadConfig {
  std::function<void(RationalCubic&)> change;
  const char* message;
};
class ConfigChecks : public ::testing::TestWithParam<BadConfig> {};

// Checked before the data: every case also carries data that would fail.
TEST_P(ConfigChecks, ReportTheFirstBadParameter) {
  RationalCubic config;
  GetParam().change(config);
  EXPECT_EQ(fit_message(config, V{0}, V{}), GetParam().message);
  EXPECT_EQ(fit_message(config, V{0, 1, 2, 3}, V{0, 1, 4, 2}), GetParam().message);
}
INSTANTIATE_TEST_SUITE_P(
    Table, ConfigChecks,
    ::testing::Values(
        BadConfig{[](RationalCubic& c) { c.u = 0; }, "shape parameter `u` must be > 0, got 0"},
        BadConfig{[](RationalCubic& c) { c.u = kNaN; }, "shape parameter `u` must be > 0, got NaN"},
        BadConfig{[](RationalCubic& c) { c.u = c.v = -1; },
                  "shape parameter `u` must be > 0, got -1"},
        BadConfig{[](RationalCubic& c) { c.v = -0.0; }, "shape parameter `v` must be > 0, got -0"},
        BadConfig{[](RationalCubic& c) {
                    c.v = kNaN;
                    c.margin = -1;
                  },
                  "shape parameter `v` must be > 0, got NaN"},
        BadConfig{[](RationalCubic& c) { c.margin = -1; },
                  "shape parameter `margin` must be > 0, got -1"},
        BadConfig{[](RationalCubic& c) { c.margin = 0; },
                  "shape parameter `margin` must be > 0, got 0"},
        BadConfig{[](RationalCubic& c) {
                    c.margin = kNaN;
                    c.relaxation = 0;
                  },
                  "shape parameter `margin` must be > 0, got NaN"},
        BadConfig{[](RationalCubic& c) { c.relaxation = 0; },
                  "shape parameter `relaxation` must be in (0, 1], got 0"},
        BadConfig{[](RationalCubic& c) { c.relaxation = 1.5; },
                  "shape parameter `relaxation` must be in (0, 1], got 1.5"},
        BadConfig{[](RationalCubic& c) { c.relaxation = -0.25; },
                  "shape parameter `relaxation` must be in (0, 1], got -0.25"},
        BadConfig{[](RationalCubic& c) { c.relaxation = kNaN; },
                  "shape parameter `relaxation` must be in (0, 1], got NaN"},
        // The cap is settable only from C++; the solver needs a number >= 0.
        BadConfig{[](RationalCubic& c) { c.w_cap = -1; },
                  "shape parameter `w_cap` must be >= 0, got -1"},
        BadConfig{[](RationalCubic& c) {
                    c.relaxation = 2;
                    c.w_cap = -std::numeric_limits<double>::infinity();
                  },
                  "shape parameter `relaxation` must be in (0, 1], got 2"},
        // Infinite values pass the range tests and are refused as not finite.
        BadConfig{[](RationalCubic& c) { c.u = kInf; },
                  "shape parameter `u` must be finite, got inf"},
        BadConfig{[](RationalCubic& c) { c.boundary = EndSlopes::clamped(1, -kInf); },
                  "shape parameter `right` must be finite, got -inf"},
        BadConfig{[](RationalCubic& c) { c.margin = kInf; },
                  "shape parameter `margin` must be finite, got inf"},
        BadConfig{[](RationalCubic& c) { c.tol = kNaN; },
                  "shape parameter `tolerance` must be finite, got NaN"},
        BadConfig{[](RationalCubic& c) { c.w_cap = kInf; },
                  "shape parameter `w_cap` must be finite, got inf"}));

// max_iter is not checked, nor the sign of tol; relaxation 1 is in range.
TEST(RationalCubicConfig, AcceptsTheUncheckedFieldsAndFullRelaxation) {
  const V x{0, 1, 2, 3}, y{0, 1, 4, 9};
  RationalCubic config;
  config.relaxation = 1;
  EXPECT_EQ(fit_message(config, x, y), "fitted");
  config.tol = -1;
  config.max_iter = 5;
  EXPECT_EQ(fit_message(config, x, y).rfind("convexity solve did not converge in 5 iterations", 0),
            0u);
}

// ---------------------------------------------------------------- data errors

struct BadData {
  V x, y;
  const char* message;
};
class DataChecks : public ::testing::TestWithParam<BadData> {};

TEST_P(DataChecks, ReportTheirMessage) {
  EXPECT_EQ(fit_message(RationalCubic{}, GetParam().x, GetParam().y), GetParam().message);
}
INSTANTIATE_TEST_SUITE_P(
    Table, DataChecks,
    ::testing::Values(
        BadData{{0, 1}, {5}, "x and y must have the same length (got 2 and 1)"},
        BadData{{0, 2, 1.5, 1},
                {0, 1, 2, 3},
                "x must be strictly increasing; x[1] = 2 is not < x[2] = 1.5"},
        BadData{{0, 1, 2, 3},
                {0, 1, 4, 2},
                "data change curvature at knot 2 (x = 2): secant slopes 3 then -2 turn against the "
                "earlier knots; this method needs data that is concave throughout or convex "
                "throughout"},
        BadData{{0, 1, 2, 3},
                {0, 1, 1, 2},
                "data change curvature at knot 2 (x = 2): secant slopes 0 then 1 turn against the "
                "earlier knots; this method needs data that is concave throughout or convex "
                "throughout"},
        // Knots that decide nothing are skipped; the first conflict from the
        // left is named, with the caller's (unmirrored) secants.
        BadData{{0, 1, 2, 3, 4, 5},
                {0, -1, -2, -4, -6, -5.5},
                "data change curvature at knot 4 (x = 4): secant slopes -2 then 0.5 turn against the "
                "earlier knots; this method needs data that is concave throughout or convex "
                "throughout"},
        BadData{{0, 1, 2, 3, 4},
                {0, 1, 3, 7, 8},
                "data change curvature at knot 3 (x = 3): secant slopes 4 then 1 turn against the "
                "earlier knots; this method needs data that is concave throughout or convex "
                "throughout"},
        // A non-finite value is named before its secants are classified.
        BadData{{0, 1, 2, 3, 4, 5, 6}, {0, 1, 3, kNaN, 5, 6, 6.5}, "y[3] must be finite, got NaN"},
        BadData{{0, 1, 2, 3, 4},
                {0, 1, std::numeric_limits<double>::infinity(), 9, 16},
                "y[2] must be finite, got inf"}));

TEST(RationalCubicFit, NoSweepAllowedIsNoConvergence) {
  RationalCubic config;
  config.max_iter = 0;
  EXPECT_EQ(fit_message(config, V{0, 1, 2}, V{0, 1, 3}),
            "convexity solve did not converge in 0 iterations (last change NaN); try raising "
            "max_iterations or relaxation");
  // Two points make no sweep, so the limit is not consulted.
  EXPECT_EQ(fit_message(config, V{0, 1}, V{0, 1}), "fitted");
}

// ---------------------------------------------------------------- straight stretches

class StraightStretches : public ::testing::TestWithParam<std::tuple<double, solver::Method>> {};

// A tax schedule (rates 0, 0.1, 0.25, 0.4 above 10, 30, 60) in three units,
// the scaled ones with secants unequal in their last bits: C2, convex (the
// cap leaves S'' of about -1 / (2 w_cap) of the largest beside a kink) and
// the chord to rounding inside every bracket.
TEST_P(StraightStretches, StayStraightJoinC2AndConvex) {
  const auto [unit, method] = GetParam();
  V x, y;
  for (int i = 0; i <= 40; ++i) {
    const double t = 2.5 * i;
    x.push_back(t * unit);
    y.push_back(unit * (0.1 * std::clamp(t - 10, 0.0, 20.0) + 0.25 * std::clamp(t - 30, 0.0, 30.0) +
                        0.4 * std::max(t - 60, 0.0)));
  }
  RationalCubic config;
  config.solver = method;
  const RationalCubicSpline spline = config.fit(x, y).value();
  const auto& pieces = spline.curve().pieces();
  double largest = 0;
  for (double t : x) largest = std::max(largest, std::fabs(spline.second_derivative(t)));
  const auto slope = [&](std::size_t j) { return (y[j + 1] - y[j]) / (x[j + 1] - x[j]); };
  for (std::size_t i = 1; i + 2 < x.size(); ++i) {
    EXPECT_NEAR(pieces[i - 1].second_derivative(x[i]), pieces[i].second_derivative(x[i]),
                1e-9 * largest);
    const bool straight = std::fabs(slope(i - 1) - slope(i)) < 1e-9 &&
                          std::fabs(slope(i + 1) - slope(i)) < 1e-9;
    for (double f = 0; f <= 1; f += 0.05) {
      const double t = x[i] + (x[i + 1] - x[i]) * f;
      EXPECT_GE(pieces[i].second_derivative(t), -1e-6 * largest) << "interval " << i;
      if (straight) {
        EXPECT_NEAR(pieces[i].value(t), y[i] + slope(i) * (t - x[i]), 32 * kEps * y.back());
      }
    }
  }
}
INSTANTIATE_TEST_SUITE_P(Units, StraightStretches,
                         ::testing::Combine(::testing::Values(1.0, 1 / 7.3, 1e3 / 3),
                                            ::testing::Values(solver::Method::sweep,
                                                              solver::Method::newton)));

// Secants equal to rounding decide no curvature: a line whose secants come
// out unequal, then a convex (or, negated, a concave) kink.
TEST(RationalCubicFit, SecantsEqualToRoundingDecideNothing) {
  V x{0, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 1.0, 1.5}, y;
  for (double t : x) y.push_back(t < 1.2 ? 0.3 * t : 0.3 + 0.6 * (t - 1));
  EXPECT_FALSE(RationalCubic{}.fit(x, y).value().concave());
  EXPECT_TRUE(RationalCubic{}.fit(x, negated(y)).value().concave());
}

// ---------------------------------------------------------------- small cases

class Direction : public ::testing::TestWithParam<std::pair<V, bool>> {};

TEST_P(Direction, IsSetByTheFirstDecidingKnot) {
  const V x{0, 1, 2, 3};
  const RationalCubicSpline spline = RationalCubic{}.fit(x, GetParam().first).value();
  EXPECT_EQ(spline.concave(), GetParam().second);
  EXPECT_GE(spline.iterations(), 1u);
}
INSTANTIATE_TEST_SUITE_P(Examples, Direction,
                         ::testing::Values(std::pair{V{0, 1, 2, 4}, false},      // 1, 1, 2
                                           std::pair{V{0, -1, -2, -4}, true},    // -1, -1, -2
                                           std::pair{V{0, 1, 4, 9}, false},      // x^2
                                           std::pair{V{0, -1, -4, -9}, true}));  // -x^2

TEST(RationalCubicFit, CollinearDataAreSolvedAsConvex) {
  const V x{-1, -0.25, 0.5, 2, 2.125, 4};
  V y;
  for (double t : x) y.push_back(2 * t + 1);
  const RationalCubicSpline spline = RationalCubic{}.fit(x, y).value();
  EXPECT_FALSE(spline.concave());
  for (double t : dense_grid(x, 7)) {
    EXPECT_NEAR(spline.value(t), 2 * t + 1, 1e-12);
    EXPECT_NEAR(spline.first_derivative(t), 2, 1e-9);
  }
}

TEST(RationalCubicFit, TwoPointsWithEstimatedSlopesGiveTheLine) {
  const V x{1, 3}, y{2, -1};
  // Two points set no direction, whatever the sign of the secant.
  const RationalCubicSpline spline = RationalCubic{}.fit(x, y).value();
  EXPECT_FALSE(spline.concave());
  EXPECT_EQ(spline.iterations(), 0u);
  EXPECT_EQ(Doubles(spline.w().begin(), spline.w().end()), (V{1000000.0}));
  const double tol = 8 * value_rounding(spline.curve().pieces()[0]);
  for (double t : dense_grid(x, 9)) EXPECT_NEAR(spline.value(t), 2 - 1.5 * (t - 1), tol);
  EXPECT_NEAR(spline.first_derivative(1), -1.5, 1e-8);
  EXPECT_NEAR(spline.first_derivative(3), -1.5, 1e-8);
  EXPECT_EQ(
      spline.debug_text(),
      "RationalCubicSpline { domain: 1.0..=3.0, intervals: 1, iterations: 0, concave: false }");
}

TEST(RationalCubicFit, TwoPointsClampedStraddlingTheSecant) {
  RationalCubic config;
  config.boundary = EndSlopes::clamped(0.0, 3.0);  // secant 1: gapL 1, gapR 2
  const RationalCubicSpline spline = config.fit(V{0, 1}, V{0, 1}).value();
  EXPECT_EQ(spline.w()[0], 0.001 + 2.0);
  EXPECT_NEAR(spline.first_derivative(0), 0.0, 1e-14);
  EXPECT_NEAR(spline.first_derivative(1), 3.0, 1e-14);
}

TEST(RationalCubicFit, DebugTextAndAccessors) {
  const V x{0, 1, 2, 3};
  const RationalCubicSpline convex = RationalCubic{}.fit(x, V{0, 1, 4, 9}).value();
  EXPECT_EQ(convex.debug_text(),
            "RationalCubicSpline { domain: 0.0..=3.0, intervals: 3, iterations: " +
                std::to_string(convex.iterations()) + ", concave: false }");
  const RationalCubicSpline concave = RationalCubic{}.fit(V{-2e-5, -1e-5, 0}, V{0, -1, -3}).value();
  EXPECT_EQ(concave.debug_text(),
            "RationalCubicSpline { domain: -2e-5..=0.0, intervals: 2, iterations: " +
                std::to_string(concave.iterations()) + ", concave: true }");
  EXPECT_EQ(convex.w().size(), 3u);
  EXPECT_EQ(convex.domain(), (std::pair{0.0, 3.0}));
}

TEST(RationalCubicFit, OneSweepShortReportsTheLimit) {
  const V x{0, 0.5, 2, 2.5, 4}, y{3, 1, 0.5, 0.75, 4};
  const std::uint64_t needed = RationalCubic{}.fit(x, y).value().iterations();
  ASSERT_GE(needed, 2u);
  RationalCubic config;
  config.max_iter = needed - 1;
  EXPECT_EQ(fit_message(config, x, y)
                .rfind("convexity solve did not converge in " + std::to_string(needed - 1) +
                           " iterations (last change ",
                       0),
            0u);
}

// Recorded results on y = x^2 (default and non-unit shape, clamped ends): the arithmetic is fixed
// in order, so any change in an operation, the stopping rule or the relaxation shows here.
TEST(RationalCubicFit, ReproducesRecordedResultsBitForBit) {
  const RationalCubicSpline spline = RationalCubic{}.fit(V{0, 1, 2, 3}, V{0, 1, 4, 9}).value();
  EXPECT_EQ(spline.iterations(), 33u);
  EXPECT_EQ(Doubles(spline.w().begin(), spline.w().end()),
            (V{0x1.00418936cba5ep+0, 0x1.00418936cba5fp+0, 0x1.00418936cba5fp+0}));
  EXPECT_EQ(spline.value(0.5), 0x1.333daf0479d0cp-2);
  EXPECT_EQ(spline.first_derivative(1.5), 0x1.7fffffffffffep+1);
  EXPECT_EQ(spline.second_derivative(2.25), 0x1.b771a1aa92ac8p+0);

  RationalCubic shaped;
  shaped.u = 1.9;
  shaped.v = 0.35;
  shaped.boundary = EndSlopes::clamped(-0.5, 7.0);
  const RationalCubicSpline other = shaped.fit(V{0, 0.9, 2.3, 3.1}, V{0, 0.81, 5.29, 9.61}).value();
  EXPECT_EQ(other.iterations(), 82u);
  EXPECT_EQ(Doubles(other.w().begin(), other.w().end()),
            (V{0x1.23c24bfef5924p+2, 0x1.1769e19c167bp+2, 0x1.b9ed6e48baf43p+0}));
  EXPECT_EQ(other.value(0.5), 0x1.4494eb9fd14abp-2);
  EXPECT_EQ(other.first_derivative(1.5), 0x1.a7eca3f60323ap+1);
  EXPECT_EQ(other.second_derivative(2.75), 0x1.f570a01bb93dfp+0);
}

// ---------------------------------------------------------------- properties

struct Case {
  std::size_t n;
  std::uint64_t seed;
  bool concave;
  bool clamped;
};

std::vector<Case> cases() {
  std::vector<Case> all;
  for (std::uint64_t seed = 0; seed < 48; ++seed) {
    all.push_back(Case{3 + (seed * 53) % 298, seed, seed % 2 == 1, seed % 3 == 0});
  }
  return all;
}

class RandomData : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    const Case& c = GetParam();
    data = random_convex(c.n, c.seed);
    if (c.concave) data.y = negated(data.y);
    const auto& x = data.x;
    const auto& y = data.y;
    left = (y[1] - y[0]) / (x[1] - x[0]) + (c.concave ? 0.75 : -0.75);
    right = (y[c.n - 1] - y[c.n - 2]) / (x[c.n - 1] - x[c.n - 2]) + (c.concave ? -2.0 : 2.0);
    if (c.clamped) config.boundary = EndSlopes::clamped(left, right);
    // Irregular data can need a few thousand sweeps; the properties do not
    // depend on how many.
    config.max_iter = 100000;
  }

  Data data;
  RationalCubic config;
  double left = 0, right = 0;
};

TEST_P(RandomData, InterpolatesJoinsC2AndKeepsTheCurvatureSign) {
  const Case& c = GetParam();
  const RationalCubicSpline spline = config.fit(data.x, data.y).value();
  const auto pieces = spline.curve().pieces();
  const auto& x = data.x;
  EXPECT_EQ(spline.concave(), c.concave);
  EXPECT_GE(spline.iterations(), 1u);
  ASSERT_EQ(spline.w().size(), c.n - 1);
  for (double w : spline.w()) {
    EXPECT_GE(w, 0.0);
    EXPECT_LE(w, 1000000.0);
  }

  for (std::size_t k = 0; k < c.n; ++k) {
    const RationalCubicPiece& piece = pieces[std::min(k, c.n - 2)];
    EXPECT_NEAR(spline.value(x[k]), data.y[k], 4 * value_rounding(piece)) << "knot " << k;
  }
  for (std::size_t k = 1; k + 1 < c.n; ++k) {
    const RationalCubicPiece& before = pieces[k - 1];
    const RationalCubicPiece& after = pieces[k];
    const double d_before = before.first_derivative(x[k]), d_after = after.first_derivative(x[k]);
    EXPECT_NEAR(d_before, d_after,
                8 * (slope_rounding(before) + slope_rounding(after)) + 1e-13 * std::fabs(d_before))
        << "knot " << k;
    const double s_before = before.second_derivative(x[k]);
    const double s_after = after.second_derivative(x[k]);
    EXPECT_NEAR(
        s_before, s_after,
        8 * (curvature_rounding(before) + curvature_rounding(after)) + 1e-12 * std::fabs(s_before))
        << "knot " << k;
  }

  const double sign = c.concave ? -1 : 1;
  for (double t : dense_grid(x, 15)) {
    const RationalCubicPiece& piece = pieces[spline.curve().interval(t)];
    EXPECT_GE(sign * spline.second_derivative(t), -8 * curvature_rounding(piece)) << "x = " << t;
  }

  // Estimated ends continue the secants by half a step.
  if (!c.clamped) {
    const auto& y = data.y;
    const std::size_t m = c.n - 1;
    const double s0 = (y[1] - y[0]) / (x[1] - x[0]), s1 = (y[2] - y[1]) / (x[2] - x[1]);
    const double sm = (y[m] - y[m - 1]) / (x[m] - x[m - 1]);
    const double sm1 = (y[m - 1] - y[m - 2]) / (x[m - 1] - x[m - 2]);
    left = s0 - (s1 - s0) * 0.5;
    right = sm + (sm - sm1) * 0.5;
  }
  EXPECT_NEAR(spline.first_derivative(x.front()), left, 8 * slope_rounding(pieces.front()));
  EXPECT_NEAR(spline.first_derivative(x.back()), right, 8 * slope_rounding(pieces.back()));
}

// Concave data are the mirror of convex data: the fit to -y is the negated fit
// to y, bit for bit, with the same w and sweeps.
TEST_P(RandomData, MirroredDataGiveTheNegatedFit) {
  const RationalCubicSpline spline = config.fit(data.x, data.y).value();
  RationalCubic mirror_config = config;
  if (GetParam().clamped) mirror_config.boundary = EndSlopes::clamped(-left, -right);
  const RationalCubicSpline mirror = mirror_config.fit(data.x, negated(data.y)).value();

  EXPECT_EQ(mirror.concave(), !spline.concave());
  EXPECT_EQ(mirror.iterations(), spline.iterations());
  ASSERT_EQ(mirror.w().size(), spline.w().size());
  for (std::size_t i = 0; i < spline.w().size(); ++i) {
    EXPECT_TRUE(same_double(mirror.w()[i], spline.w()[i])) << "interval " << i;
  }
  for (double t : dense_grid(data.x, 5)) {
    EXPECT_TRUE(same_double(mirror.value(t), -spline.value(t))) << "x = " << t;
    EXPECT_TRUE(same_double(mirror.first_derivative(t), -spline.first_derivative(t)))
        << "x = " << t;
    EXPECT_TRUE(same_double(mirror.second_derivative(t), -spline.second_derivative(t)))
        << "x = " << t;
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomData, ::testing::ValuesIn(cases()));

}  // namespace
}  // namespace velarix::rational_cubic
