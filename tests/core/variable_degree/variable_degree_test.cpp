#include "variable_degree/variable_degree.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

namespace velarix::variable_degree {
namespace {

using Vec = Doubles;
constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::nan("");

Samples samples_of(const Vec& x, const Vec& y) { return Samples::create(x, y).value(); }

VariableDegreeSpline fit(const Vec& x, const Vec& y, VariableDegree config = {}) {
  return config.fit(x, y).value();
}

VariableDegree clamped(double left, double right) {
  VariableDegree config;
  config.boundary = EndSlopes::clamped(left, right);
  return config;
}

// Distance in units in the last place between two finite doubles of one sign.
std::int64_t ulps(double a, double b) {
  return std::abs(std::bit_cast<std::int64_t>(a) - std::bit_cast<std::int64_t>(b));
}

void expect_degrees(const VariableDegreeSpline& spline, const Vec& expected) {
  ASSERT_EQ(spline.degrees().size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_LE(ulps(spline.degrees()[i], expected[i]), 4) << "interval " << i;
  }
}

// ---- estimated end slopes and the moment system ----------------------------

TEST(EstimatedEndSlopes, ReproduceAParabolaAndTheSecantOfTwoPoints) {
  const auto [left, right] = estimated_end_slopes(samples_of({0, 0.5, 2, 3}, {0, 0.25, 4, 9}));
  EXPECT_NEAR(left, 0, 1e-14);
  EXPECT_NEAR(right, 6, 1e-13);
  const auto [l2, r2] = estimated_end_slopes(samples_of({1, 3}, {2, -2}));
  EXPECT_EQ(l2, -2);
  EXPECT_EQ(r2, -2);
}

TEST(MomentSystem, CubicMomentsOfAQuadraticAreItsCurvature) {
  const Vec x = {-1, -0.3, 0.4, 2, 2.5, 4};
  Vec y;
  for (double xi : x) y.push_back(xi * xi);
  const Vec moments = moment_system(samples_of(x, y), Vec(5, 3.0), -2, 8);
  for (double m : moments) EXPECT_NEAR(m, 2, 1e-12);
}

// Whatever the degrees, pieces built on the solved moments join with one
// slope at every interior knot and take the prescribed slopes at both ends.
TEST(MomentSystem, PiecesOnItsMomentsAreC1ForAnyDegrees) {
  const Vec x = {0, 0.7, 1.5, 2, 3.2, 4};
  const Vec y = {0, 1, 0.5, 2, 2.2, -1};
  const Vec degrees = {3, 5.1, 50, 8.67, 3.5};
  const Samples samples = samples_of(x, y);
  const Vec moments = moment_system(samples, degrees, 0.25, -3);
  Vector<VariableDegreePiece> pieces;
  for (std::size_t i = 0; i < 5; ++i) {
    pieces.emplace_back(x[i], x[i + 1] - x[i], y[i], y[i + 1], moments[i], moments[i + 1],
                        degrees[i]);
  }
  EXPECT_NEAR(pieces.front().first_derivative(x[0]), 0.25, 1e-12);
  EXPECT_NEAR(pieces.back().first_derivative(x[5]), -3, 1e-12);
  for (std::size_t j = 1; j < 5; ++j) {
    EXPECT_NEAR(pieces[j - 1].first_derivative(x[j]), pieces[j].first_derivative(x[j]), 1e-12)
        << "knot " << j;
  }
}

// ---- violations -------------------------------------------------------------

TEST(Violations, TwoPointsAndCollinearDataAreStraightEverywhere) {
  EXPECT_EQ(violations(samples_of({0, 1}, {0, 1}), Vec{0.5, -2}), (Vec{0.5, 2}));
  EXPECT_EQ(violations(samples_of({0, 1, 3, 4}, {1, 3, 7, 9}), Vec{-1, 0, 2, 0}),
            (Vec{1, 0, 2, 0}));
}

TEST(Violations, SignsAgainstConvexityWithEndKnotsInheritingTheirNeighbours) {
  // Convex at knot 1, concave at knot 2; the ends follow their neighbours.
  const Samples samples = samples_of({0, 1, 2, 3}, {0, 0, 1, 1});
  EXPECT_EQ(violations(samples, Vec{-0.5, 1, 1, 0.25}), (Vec{0.5, 0, 1, 0.25}));
  EXPECT_EQ(violations(samples, Vec{0.5, -1, -1, -0.25}), (Vec{0, 1, 0, 0}));
  EXPECT_EQ(violations(samples, Vec{-0.5, 1}), (Vec{0.5, 0}));  // one amount per moment
}

TEST(Violations, ChangesWithinTheRelativeToleranceCountAsStraight) {
  const Vec x = {0, 1, 2, 3};
  // Changes of 1 and 5e-13: the second is straight against the largest, 1.
  const Samples relative =
      Samples::from_parts(x, {0, 0, 1, 2 + 5e-13}, {1, 1, 1}, {0, 1, 1 + 5e-13});
  EXPECT_EQ(violations(relative, Vec{1, 1, 3, 3}), (Vec{0, 0, 3, 3}));
  // Changes of +-1e-13, all below 1: straight against the absolute floor.
  const Samples absolute = Samples::from_parts(x, {0, 0, 1e-13, 1e-13}, {1, 1, 1}, {0, 1e-13, 0});
  EXPECT_EQ(violations(absolute, Vec{1, -1, 1, -1}), (Vec{1, 1, 1, 1}));
}

// The amounts are the C library's fmax of the moment against 0, bit for bit:
// NaN moments, zeros of both signs and infinities included. (The moment goes
// through a volatile so that the compiler calls the library rather than
// folding the maximum itself, which may pick the other zero.)
TEST(Violations, AgreeWithTheLibraryMaximumOnSpecialMoments) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const Samples curved =
      samples_of({0, 1, 2, 3}, {0, 0, 1, 1});  // convex, convex, concave, concave
  const Samples straight = samples_of({0, 1, 2, 3}, {0, 1, 2, 3});
  for (const double special : {nan, -nan, 0.0, -0.0, inf, -inf, 1.5, -1.5}) {
    volatile double opaque = special;
    const double m = opaque;
    const Vec curved_amounts = violations(curved, Vec{m, m, m, m});
    const Vec straight_amounts = violations(straight, Vec{m, m, m, m});
    const double expected[] = {std::fmax(-m, 0.0), std::fmax(-m, 0.0), std::fmax(m, 0.0),
                               std::fmax(m, 0.0)};
    for (std::size_t i = 0; i < 4; ++i) {
      EXPECT_EQ(std::bit_cast<std::uint64_t>(curved_amounts[i]),
                std::bit_cast<std::uint64_t>(expected[i]))
          << "moment " << m << " at knot " << i;
      EXPECT_EQ(std::bit_cast<std::uint64_t>(straight_amounts[i]),
                std::bit_cast<std::uint64_t>(std::fabs(m)))
          << "moment " << m << " at knot " << i;
    }
  }
}

// ---- the fit ----------------------------------------------------------------

TEST(VariableDegreeFit, ClampedFlatEndsOnALineRaiseTwiceAPassToTheCap) {
  const VariableDegreeSpline spline = fit({0, 1}, {0, 1}, clamped(0, 0));
  expect_degrees(spline, {50});
  EXPECT_FALSE(spline.shape_preserved());
  EXPECT_EQ(spline.iterations(), 4u);  // the fourth pass changes nothing
  const Vec sequence = {3, 8.67, 25.0563, 50};
  for (std::uint64_t passes = 1; passes <= 3; ++passes) {
    VariableDegree config = clamped(0, 0);
    config.max_iter = passes;
    expect_degrees(fit({0, 1}, {0, 1}, config), {sequence[passes]});
  }
  VariableDegree capped = clamped(0, 0);
  capped.max_degree = 30;  // 5.1 and 8.67, 14.739 and 25.0563, then 30
  expect_degrees(fit({0, 1}, {0, 1}, capped), {30});
  capped.max_iter = 2;
  expect_degrees(fit({0, 1}, {0, 1}, capped), {25.0563});
}

TEST(VariableDegreeFit, StepDataRaiseTheFlatIntervalsOnly) {
  const VariableDegreeSpline spline = fit({0, 1, 2, 3, 4, 5}, {0, 0, 0, 1, 1, 1});
  expect_degrees(spline, {14.739, 50, 3, 50, 14.739});
  EXPECT_FALSE(spline.shape_preserved());
}

TEST(VariableDegreeFit, CapOfThreeOrNoPassesGiveTheCubicSpline) {
  const Vec x = {0, 1, 2, 3, 4, 5}, y = {0, 0, 0, 1, 1, 1};
  VariableDegree cubic;
  cubic.max_iter = 0;
  VariableDegree cap3;
  cap3.max_degree = 3;
  const VariableDegreeSpline a = fit(x, y, cubic), b = fit(x, y, cap3);
  EXPECT_EQ(a.iterations(), 0u);
  EXPECT_EQ(b.iterations(), 1u);  // one pass, which changes nothing
  expect_degrees(a, Vec(5, 3.0));
  expect_degrees(b, Vec(5, 3.0));
  EXPECT_FALSE(a.shape_preserved());
  EXPECT_FALSE(b.shape_preserved());
  for (double t = 0; t <= 5; t += 0.125) {
    EXPECT_EQ(a.value(t), b.value(t));
    EXPECT_EQ(a.second_derivative(t), b.second_derivative(t));
  }
  // Convex data: the cubic already matches, so no pass is even counted.
  const VariableDegreeSpline convex = fit({0, 0.5, 1.5, 3}, {1, 0.2, 0.1, 2}, cubic);
  EXPECT_TRUE(convex.shape_preserved());
}

TEST(VariableDegreeFit, InfiniteCapRaisesWithoutLimitForTheGivenPasses) {
  VariableDegree config = clamped(0, 0);
  config.max_degree = kInf;
  config.max_iter = 5;
  const VariableDegreeSpline spline = fit({0, 1}, {0, 1}, config);
  double expected = 3;
  for (int raise = 0; raise < 10; ++raise) expected = 1.7 * expected;
  EXPECT_EQ(spline.degrees()[0], expected);
  EXPECT_EQ(spline.iterations(), 5u);
  EXPECT_FALSE(spline.shape_preserved());
}

struct Refusal {
  double max_degree;
  Vec x, y;
  const char* text;
};
class VariableDegreeRefuses : public ::testing::TestWithParam<Refusal> {};
TEST_P(VariableDegreeRefuses, WithTheExactMessage) {
  VariableDegree config;
  config.max_degree = GetParam().max_degree;
  const Result<VariableDegreeSpline> result = config.fit(GetParam().x, GetParam().y);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(message(result.error()), GetParam().text);
}
INSTANTIATE_TEST_SUITE_P(
    Table, VariableDegreeRefuses,
    ::testing::Values(
        Refusal{2.5, {0, 1}, {0, 1}, "shape parameter `max_degree` must be >= 3, got 2.5"},
        Refusal{2.5, {0}, {}, "shape parameter `max_degree` must be >= 3, got 2.5"},
        Refusal{2.0, {1, 0}, {0, 1}, "shape parameter `max_degree` must be >= 3, got 2"},
        Refusal{-kInf, {0, 1}, {0, 1}, "shape parameter `max_degree` must be >= 3, got -inf"},
        Refusal{kNaN, {0, 1}, {0, 1}, "shape parameter `max_degree` must be >= 3, got NaN"},
        Refusal{3.0, {0, 1, 2}, {0, kNaN, 1}, "y[1] must be finite, got NaN"},
        Refusal{3.0, {0, 1}, {5}, "x and y must have the same length (got 2 and 1)"},
        Refusal{50,
                {0, 2, 1.5},
                {0, 0, 0},
                "x must be strictly increasing; x[1] = 2 is not < x[2] = 1.5"}));

TEST(VariableDegreeFit, NonFiniteMomentsNeverReportShape) {
  const Vec x = {0, 1, 2, 3}, y = {0, 1, 4, 9};
  // Slopes that would make the moments overflow are refused before them.
  const Result<VariableDegreeSpline> result = clamped(1e308, -1e308).fit(x, y);
  ASSERT_FALSE(result.ok());
  EXPECT_TRUE(std::holds_alternative<OutOfScale>(result.error()));
  // Non-finite slopes are refused before any moment is solved.
  for (const auto& [left, right, text] :
       {std::tuple{kInf, 0.0, "`left` must be finite, got inf"},
        std::tuple{1.0, kNaN, "`right` must be finite, got NaN"}}) {
    EXPECT_EQ(message(clamped(left, right).fit(x, y).error()),
              std::string("shape parameter ") + text);
  }
  const VariableDegreeSpline exact = fit(x, y, clamped(0, 6));
  EXPECT_TRUE(exact.shape_preserved());
  for (double xi : x) EXPECT_NEAR(exact.second_derivative(xi), 2, 1e-12);
}

TEST(VariableDegreeFit, TwoPointsWithEstimatedSlopesGiveTheLine) {
  const VariableDegreeSpline spline = fit({-1, 1}, {3, 2});
  EXPECT_EQ(spline.degrees()[0], 3);
  EXPECT_TRUE(spline.shape_preserved());
  EXPECT_EQ(spline.value(0), 2.5);
  EXPECT_EQ(spline.second_derivative(0.3), 0);
}

// The clamped C² cubic spline in slope form, solved densely: an independent
// textbook construction to hold an unraised fit against.
struct TextbookCubic {
  Vec x, y, d;
  TextbookCubic(Vec xs, Vec ys, double left, double right) : x(xs), y(ys), d(xs.size()) {
    const std::size_t n = x.size();
    std::vector<Vec> a(n, Vec(n + 1, 0.0));
    a[0][0] = 1, a[0][n] = left, a[n - 1][n - 1] = 1, a[n - 1][n] = right;
    for (std::size_t i = 1; i + 1 < n; ++i) {
      const double h0 = x[i] - x[i - 1], h1 = x[i + 1] - x[i];
      a[i][i - 1] = h1, a[i][i] = 2 * (h0 + h1), a[i][i + 1] = h0;
      a[i][n] = 3 * (h1 * (y[i] - y[i - 1]) / h0 + h0 * (y[i + 1] - y[i]) / h1);
    }
    for (std::size_t c = 0; c < n; ++c)
      for (std::size_t r = c + 1; r < n; ++r) {
        const double f = a[r][c] / a[c][c];
        for (std::size_t k = c; k <= n; ++k) a[r][k] -= f * a[c][k];
      }
    for (std::size_t r = n; r-- > 0;) {
      double s = a[r][n];
      for (std::size_t k = r + 1; k < n; ++k) s -= a[r][k] * d[k];
      d[r] = s / a[r][r];
    }
  }
  // Hermite basis on the interval of x, with its first two derivatives.
  Vec eval(double xv) const {
    std::size_t i = 0;
    while (i + 2 < x.size() && xv >= x[i + 1]) ++i;
    const double h = x[i + 1] - x[i], t = (xv - x[i]) / h, t2 = t * t, t3 = t2 * t;
    const double y0 = y[i], y1 = y[i + 1], s0 = h * d[i], s1 = h * d[i + 1];
    return {
        (2 * t3 - 3 * t2 + 1) * y0 + (t3 - 2 * t2 + t) * s0 + (3 * t2 - 2 * t3) * y1 +
            (t3 - t2) * s1,
        ((6 * t2 - 6 * t) * y0 + (3 * t2 - 4 * t + 1) * s0 + (6 * t - 6 * t2) * y1 +
         (3 * t2 - 2 * t) * s1) /
            h,
        ((12 * t - 6) * y0 + (6 * t - 4) * s0 + (6 - 12 * t) * y1 + (6 * t - 2) * s1) / (h * h)};
  }
};

TEST(VariableDegreeFit, UnraisedFitIsTheClampedCubicSpline) {
  const Vec x = {0, 0.4, 1.1, 2, 2.3, 3.5, 4};
  const Vec y = {1, -0.5, 0.7, 2, 1.1, -1, 0.3};
  VariableDegree config = clamped(1.5, -2);
  config.max_iter = 0;
  const VariableDegreeSpline spline = fit(x, y, config);
  const TextbookCubic cubic(x, y, 1.5, -2);
  for (double xv = 0; xv <= 4; xv += 1.0 / 64) {
    const Vec expected = cubic.eval(xv);
    EXPECT_NEAR(spline.value(xv), expected[0], 1e-12) << xv;
    EXPECT_NEAR(spline.first_derivative(xv), expected[1], 1e-11) << xv;
    EXPECT_NEAR(spline.second_derivative(xv), expected[2], 1e-10) << xv;
  }
}

// Random data with inflections: interpolation, C² joins, held ends and, when
// the fit reports shape, agreement of the curvature sign with the data at
// every knot.
TEST(VariableDegreeFit, PropertiesOnInflectedData) {
  std::mt19937_64 rng(20240611);
  std::uniform_real_distribution<double> unit(0, 1);
  int raised_and_preserved = 0;
  for (int trial = 0; trial < 120; ++trial) {
    const std::size_t n = 4 + trial % 17;
    Vec x(n), y(n);
    double at = -1;
    for (std::size_t i = 0; i < n; ++i) at += 0.1 + unit(rng), x[i] = at, y[i] = 4 * unit(rng);
    const VariableDegreeSpline spline = fit(x, y);
    const auto pieces = spline.curve().pieces();
    for (std::size_t j = 0; j + 1 < n; ++j) EXPECT_EQ(spline.value(x[j]), y[j]);
    EXPECT_NEAR(spline.value(x[n - 1]), y[n - 1], 1e-13);
    EXPECT_EQ(spline.value(x[0] - 5), y[0]);
    EXPECT_EQ(spline.first_derivative(x[n - 1] + 5), spline.first_derivative(x[n - 1]));
    double scale = 1;
    for (std::size_t j = 1; j + 1 < n; ++j) {
      EXPECT_EQ(pieces[j - 1].second_derivative(x[j]), pieces[j].second_derivative(x[j]));
      const double left = pieces[j - 1].first_derivative(x[j]);
      EXPECT_NEAR(left, pieces[j].first_derivative(x[j]), 1e-10 * (1 + std::fabs(left)));
      scale = std::fmax(scale, std::fabs(spline.second_derivative(x[j])));
    }
    if (!spline.shape_preserved()) continue;
    bool raised = false;
    for (double k : spline.degrees()) raised = raised || k > 3;
    raised_and_preserved += raised;
    for (std::size_t j = 0; j < n; ++j) {
      const std::size_t at_knot = std::min(std::max<std::size_t>(j, 1), n - 2);
      const double turn = (y[at_knot + 1] - y[at_knot]) / (x[at_knot + 1] - x[at_knot]) -
                          (y[at_knot] - y[at_knot - 1]) / (x[at_knot] - x[at_knot - 1]);
      EXPECT_GE(std::copysign(1.0, turn) * spline.second_derivative(x[j]), -1e-6 * scale)
          << "trial " << trial << " knot " << j;
    }
  }
  EXPECT_GT(raised_and_preserved, 20);  // the property is exercised on raised fits
}

// ---- configuration and text forms ------------------------------------------

TEST(VariableDegree, DebugTextsAndEquality) {
  VariableDegree config;
  EXPECT_EQ(config.debug_text(),
            "VariableDegree { boundary: Estimated, max_degree: 50.0, max_iter: 60 }");
  VariableDegree other = clamped(1, -2);
  other.max_degree = 7;
  other.max_iter = 0;
  EXPECT_EQ(other.debug_text(),
            "VariableDegree { boundary: Clamped { left: 1.0, right: -2.0 }, max_degree: 7.0, "
            "max_iter: 0 }");
  VariableDegree same;
  same.max_degree = 50;
  EXPECT_EQ(config, same);
  same.max_iter = 61;
  EXPECT_NE(config, same);
  EXPECT_NE(config, clamped(0, 0));
  VariableDegree nan_cap;
  nan_cap.max_degree = kNaN;
  EXPECT_NE(nan_cap, nan_cap);
  EXPECT_EQ(fit({0, 1, 2, 3}, {0, 1, 4, 9}).debug_text(),
            "VariableDegreeSpline { domain: 0.0..=3.0, intervals: 3, shape_preserved: true }");
  EXPECT_EQ(fit({0, 1, 3}, {0, 0, 0}).debug_text(),
            "VariableDegreeSpline { domain: 0.0..=3.0, intervals: 2, shape_preserved: true }");
}

}  // namespace
}  // namespace velarix::variable_degree
