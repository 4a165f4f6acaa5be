#include "tension/sigs.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "error.hpp"
#include "tension/piece.hpp"

namespace velarix::tension::sigs {
namespace {

const double nan = std::nan("");

// One interval [0, 1] with secant s, end slopes s1 and s2.
struct Interval {
  double s1, s2, s;
};

// Assembled without validation, so that a NaN secant reaches the selection.
Samples unit(double s) { return Samples::from_parts({0.0, 1.0}, {0.0, s}, {1.0}, {s}); }

// The selected tension of the interval and the count, from sigma_in.
std::pair<double, std::size_t> run(const Interval& c, double sigma_in, double tol = 0) {
  Doubles tensions{sigma_in};
  const std::size_t raised = select(unit(c.s), Doubles{c.s1, c.s2}, tensions, tol);
  return {tensions[0], raised};
}

struct Decision {
  Interval interval;
  double sigma_in;
  double expected;
};

class NoSearch : public ::testing::TestWithParam<Decision> {};

TEST_P(NoSearch, DecidesWithoutSearching) {
  const auto [interval, sigma_in, expected] = GetParam();
  const auto [sigma, raised] = run(interval, sigma_in);
  if (std::isnan(expected)) {
    EXPECT_TRUE(std::isnan(sigma));
  } else {
    EXPECT_EQ(sigma, expected);
  }
  EXPECT_EQ(raised, expected > sigma_in ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, NoSearch,
    ::testing::Values(
        Decision{{1, 1, 1}, 0.3, 0.3},    // chord: slopes equal the secant
        Decision{{0.5, 1, 0}, 0, 85},     // flat between slopes of one sign
        Decision{{-0.5, 1, 0}, 0, 0},     // flat between opposite slopes: p < 0, against s = 0
        Decision{{1, 2, 1}, 0, 85},       // one end slope equals the secant
        Decision{{0, 3, 1}, 0, 0},        // convex, max(d1/d2, d2/d1) exactly 2
        Decision{{0.99, 2, 1}, 0, 85},    // convex zero near sigma = 102
        Decision{{0.5, 0.5, 1}, 0, 0},    // monotone cubic: s t0 >= 0
        Decision{{2, 2, 1}, 0, 0},        // monotone cubic: d0 <= 0
        Decision{{-1, -0.5, 1}, 0, 0},    // end slope against the secant
        Decision{{50, 40, 1}, 0, 85},     // fmax <= 0
        Decision{{0.5, 1, 0}, 90, 90},    // already at infinite tension: skipped
        Decision{{0.5, 1, 0}, nan, nan},  // a NaN tension is never replaced
        Decision{{nan, 1, 1}, 0, 85},     // NaN slope: NaN search result counts as 85
        Decision{{-1, nan, 1}, 0, 0},     // ...unless the other slope opposes the secant
        Decision{{1, 1, nan}, 2, 85}));   // NaN secant

// Intervals that need a search, both signs of secant and curvature.
class Search : public ::testing::TestWithParam<Interval> {};

// The least curvature (convex) or slope (monotone) of the piece on [0, 1],
// times the sign the data ask for. S'' = a exp(k u) + b exp(-k u) has its
// extremes at the ends; S' has its extreme at the zero of S'', found by
// bisection.
double least(const Interval& c, double sigma, bool convex) {
  const TensionPiece piece(0, 1, 0, c.s, c.s1, c.s2, sigma);
  if (convex) {
    const double sign = c.s2 - c.s > 0 ? 1 : -1;
    return std::min(sign * piece.second_derivative(0), sign * piece.second_derivative(1));
  }
  const double sign = c.s > 0 ? 1 : -1;
  double least = std::min(sign * piece.first_derivative(0), sign * piece.first_derivative(1));
  double lo = 0, hi = 1;
  if (piece.second_derivative(lo) * piece.second_derivative(hi) < 0) {
    for (int k = 0; k < 200; ++k) {
      const double mid = (lo + hi) / 2;
      (piece.second_derivative(mid) * piece.second_derivative(lo) > 0 ? lo : hi) = mid;
    }
    least = std::min(least, sign * piece.first_derivative(lo));
  }
  return least;
}

TEST_P(Search, FindsTheSmallestShapePreservingTension) {
  const Interval c = GetParam();
  const bool convex = (c.s - c.s1) * (c.s2 - c.s) > 0;
  const auto [sigma, raised] = run(c, 0);
  ASSERT_EQ(raised, 1u);
  ASSERT_GT(sigma, 0);
  ASSERT_LT(sigma, 85);
  const double magnitude = convex ? std::fabs(c.s2 - c.s1) : std::fabs(c.s);
  EXPECT_GE(least(c, sigma, convex), -1e-10 * magnitude);
  EXPECT_LT(least(c, sigma * (1 - 1e-6), convex), 0);

  // A positive tolerance stops at a tension no smaller than the exact one.
  const double loose = run(c, 0, 1e-3).first;
  EXPECT_GE(loose, sigma);
  EXPECT_LE(loose, 85);
  // Already there: nothing to raise.
  EXPECT_EQ(run(c, sigma).second, 0u);
}

INSTANTIATE_TEST_SUITE_P(ConvexAndMonotone, Search,
                         ::testing::Values(Interval{0, 3.001, 1},   // t just above 2
                                           Interval{0.5, 4, 1},     // t = 6
                                           Interval{0.9, 3, 1},     // t = 20
                                           Interval{3, 0.9, 1},     // concave
                                           Interval{-0.9, -3, -1},  // falling
                                           Interval{6, 1.5, 1},     // monotone
                                           Interval{10, 1.2, 1},
                                           Interval{3.001, 3.001, 1},  // below 0.5
                                           Interval{40, 30, 1},        // near fmax = 0
                                           Interval{-6, -1.5, -1}));   // falling monotone

TEST(Search, ConvexTensionNearTheQuadraticGuess) {
  // F(sigma) = sigma coshm / sinhm - (t + 1) ~ 2 - t + sigma^2 / 10.
  const double sigma = run({0, 3.001, 1}, 0).first;
  EXPECT_NEAR(sigma, std::sqrt(10 * 2.001 - 20), 1e-3);
}

TEST(Select, CountsRaisedIntervalsAndRepeatsToNothing) {
  const Samples data =
      Samples::create(Doubles{0.0, 1.0, 2.0, 3.0, 4.0}, Doubles{0.0, 0.0, 1.0, 1.0, 3.0}).value();
  const std::vector yp{0.2, 0.3, 0.8, 0.4, 2.5};
  Doubles tensions(4, 0.0);
  const std::size_t first = select(data, yp, tensions, 0);
  EXPECT_EQ(first, static_cast<std::size_t>(std::count_if(tensions.begin(), tensions.end(),
                                                          [](double t) { return t > 0; })));
  EXPECT_EQ(tensions[0], 85);  // flat interval
  EXPECT_EQ(select(data, yp, tensions, 0), 0u);
  Doubles short_tensions(3, 0.0);
  EXPECT_THROW(select(data, yp, short_tensions, 0), InternalError);
}

}  // namespace
}  // namespace velarix::tension::sigs
