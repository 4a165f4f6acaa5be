#include "rational_cubic/solver.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "data.hpp"
#include "rational_cubic/piece.hpp"

namespace velarix::rational_cubic::solver {
namespace {

using testing::Data;
using testing::random_convex;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

SolveSettings defaults() { return SolveSettings{1.0, 1.0, 0.001, 0.5, 1e-10, 1000, 1000000.0}; }

Samples samples_of(const Data& data) { return Samples::create(data.x, data.y).value(); }

// S'' at the two ends of a piece in closed form, from the gaps between the
// derivatives and the secant, in long double:
//   S''(x_left)  = 2 ((u + v + w) gapL - v gapR) / (h u),
//   S''(x_right) = 2 ((u + v + w) gapR - u gapL) / (h v).
struct EndCurvatures {
  long double left, right;
};
EndCurvatures end_curvatures(long double h, long double s, long double d0, long double d1,
                             long double u, long double v, long double w) {
  const long double gap_left = s - d0, gap_right = d1 - s;
  return {2 * ((u + v + w) * gap_left - v * gap_right) / (h * u),
          2 * ((u + v + w) * gap_right - u * gap_left) / (h * v)};
}

// max over the interior knots of |S''- - S''+| relative to the size of the
// terms that make up the two sides (the derivatives are rounded, and their
// errors enter the gaps with weight (u + v + w) / h), i.e. the relative
// failure of the C2 rows.
double worst_c2_mismatch(const Samples& samples, std::span<const double> d,
                         std::span<const double> w, double u, double v) {
  double worst = 0;
  const auto h = samples.widths();
  const auto s = samples.secants();
  for (std::size_t k = 1; k < samples.intervals(); ++k) {
    const long double before =
        end_curvatures(h[k - 1], s[k - 1], d[k - 1], d[k], u, v, w[k - 1]).right;
    const long double after = end_curvatures(h[k], s[k], d[k], d[k + 1], u, v, w[k]).left;
    const long double size_before =
        2 * (u + v + w[k - 1]) * (std::fabs(d[k - 1]) + 2 * std::fabs(s[k - 1]) + std::fabs(d[k])) /
        (h[k - 1] * v);
    const long double size_after = 2 * (u + v + w[k]) *
                                   (std::fabs(d[k]) + 2 * std::fabs(s[k]) + std::fabs(d[k + 1])) /
                                   (h[k] * u);
    worst = std::max(worst, double(std::fabs(before - after) / (size_before + size_after)));
  }
  return worst;
}

TEST(SolveDerivatives, TwoKnotsReturnTheEndSlopes) {
  const Samples two = Samples::create(Doubles{0.0, 2.0}, Doubles{1.0, 5.0}).value();
  EXPECT_EQ(solve_derivatives(two, Doubles{3.0}, -1.5, 7.0, 1, 1), (Doubles{-1.5, 7.0}));
}

// The rows are the C2 conditions for any w >= 0, not only the converged ones.
TEST(SolveDerivatives, JoinSecondDerivativesForArbitraryParameters) {
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (std::uint64_t seed = 0; seed < 20; ++seed) {
    const Samples samples = samples_of(random_convex(3 + seed * 11, seed));
    Doubles w(samples.intervals());
    for (double& value : w) value = unit(rng) < 0.2 ? 0.0 : 50 * unit(rng);
    const double u = 0.3 + 2 * unit(rng), v = 0.3 + 2 * unit(rng);
    const Doubles d = solve_derivatives(samples, w, -1, 40, u, v);
    ASSERT_EQ(d.size(), samples.size());
    EXPECT_EQ(d.front(), -1);
    EXPECT_EQ(d.back(), 40);
    EXPECT_LT(worst_c2_mismatch(samples, d, w, u, v), 1e-13) << "seed " << seed;
  }
}

// With u = v = 1 and w = 0 every piece is the cubic Hermite, so the rows are
// those of the clamped cubic spline, which reproduces a cubic exactly.
TEST(SolveDerivatives, ZeroParametersReproduceACubic) {
  const Doubles x{0.5, 0.7, 1.3, 1.4, 2.2, 3.0};
  Doubles y;
  for (double t : x) y.push_back(t * t * t - t);
  const Samples samples = Samples::create(x, y).value();
  const Doubles w(samples.intervals(), 0.0);
  const Doubles d = solve_derivatives(samples, w, 3 * 0.25 - 1, 3 * 9.0 - 1, 1, 1);
  for (std::size_t k = 0; k < x.size(); ++k) EXPECT_NEAR(d[k], 3 * x[k] * x[k] - 1, 1e-13);
}

TEST(Solve, TwoPointsWithSecantSlopesTakeTheCap) {
  const Samples two = Samples::create(Doubles{0.0, 2.0}, Doubles{1.0, 5.0}).value();
  const Output out = solve(two, defaults(), 2.0, 2.0).value();
  EXPECT_EQ(out.derivatives, (Doubles{2.0, 2.0}));
  EXPECT_EQ(out.w, (Doubles{1000000.0}));
  EXPECT_EQ(out.iterations, 0u);
}

struct Straddle {
  double u, v, left, right, expected_w;
};
class TwoPointsClamped : public ::testing::TestWithParam<Straddle> {};

// Two points make no sweep, even with max_iter 0 and a tolerance that could
// never be met.
TEST_P(TwoPointsClamped, TakeTheTargetOfTheEndSlopes) {
  const Straddle& c = GetParam();
  const Samples two = Samples::create(Doubles{1.0, 3.0}, Doubles{0.0, 2.0}).value();
  SolveSettings settings = defaults();
  settings.u = c.u;
  settings.v = c.v;
  settings.max_iter = 0;
  settings.tol = kNaN;
  const Output out = solve(two, settings, c.left, c.right).value();
  EXPECT_EQ(out.derivatives, (Doubles{c.left, c.right}));
  ASSERT_EQ(out.w.size(), 1u);
  EXPECT_EQ(out.w[0], c.expected_w);
  EXPECT_EQ(out.iterations, 0u);
}

// Secant 1: gapL = 1 - left, gapR = right - 1.
INSTANTIATE_TEST_SUITE_P(
    Examples, TwoPointsClamped,
    ::testing::Values(Straddle{1, 1, 0.0, 3.0, 0.001 + 2.0},       // max(2/1, 1/2)
                      Straddle{1, 1, -2.0, 1.5, 0.001 + 6.0},      // max(0.5/3, 3/0.5)
                      Straddle{2, 0.5, 0.5, 3.0, 0.001 + 2.0},     // max(0.5*2/0.5, 2*0.5/2)
                      Straddle{1, 1, 1.0 - 1e-9, 3.0, 1000000.0},  // beyond the cap
                      Straddle{1, 1, 1.0, 3.0, 1000000.0},         // gapL = 0
                      Straddle{1, 1, 2.0, 0.5, 1000000.0},         // both gaps negative
                      Straddle{1, 1, -kInf, kInf, 0.001}));        // inf/inf ratios dropped

TEST(Solve, NoSweepAllowedReportsNaNChange) {
  const Samples samples = samples_of(random_convex(5, 1));
  SolveSettings settings = defaults();
  settings.max_iter = 0;
  const Result<Output> out = solve(samples, settings, 0, 1);
  ASSERT_FALSE(out.ok());
  const auto* failure = std::get_if<NoConvergence>(&out.error());
  ASSERT_NE(failure, nullptr);
  EXPECT_EQ(failure->iterations, 0u);
  EXPECT_TRUE(std::isnan(failure->last_change));
}

TEST(Solve, InvalidCapIsAnInternalFault) {
  const Samples three = samples_of(random_convex(3, 2));
  const Samples two = samples_of(random_convex(2, 2));
  for (double cap : {-1.0, kNaN}) {
    SolveSettings settings = defaults();
    settings.w_cap = cap;
    EXPECT_THROW((void)solve(three, settings, 0, 1), InternalError);
    EXPECT_THROW((void)solve(two, settings, 0, 1), InternalError);
  }
}

class OneSweep : public ::testing::TestWithParam<double> {};

// An infinite tolerance stops after the first sweep, which starts from w = 0:
// w = relaxation * target(d) with d the derivatives of the all-zero w.
TEST_P(OneSweep, MovesByTheRelaxationTowardTheTargets) {
  const double relaxation = GetParam();
  const Samples samples = samples_of(random_convex(40, 3));
  SolveSettings settings = defaults();
  settings.relaxation = relaxation;
  settings.tol = kInf;
  const double left = samples.secants()[0] - 0.3, right = samples.secants().back() + 0.3;
  const Output out = solve(samples, settings, left, right).value();
  EXPECT_EQ(out.iterations, 1u);
  const Doubles zeros(samples.intervals(), 0.0);
  const Doubles d = solve_derivatives(samples, zeros, left, right, 1, 1);
  const auto s = samples.secants();
  for (std::size_t i = 0; i < samples.intervals(); ++i) {
    const double gap_left = s[i] - d[i], gap_right = d[i + 1] - s[i];
    const double target =
        gap_left <= 0 || gap_right <= 0
            ? 1000000.0
            : std::min(0.001 + std::max(gap_right / gap_left, gap_left / gap_right), 1000000.0);
    EXPECT_EQ(out.w[i], relaxation * target + 0.0 * (1 - relaxation)) << "interval " << i;
  }
}
INSTANTIATE_TEST_SUITE_P(Relaxations, OneSweep, ::testing::Values(1.0, 0.5, 0.125));

TEST(Solve, ZeroCapGivesTheC2CubicInOneSweep) {
  const Samples samples = samples_of(random_convex(30, 4));
  SolveSettings settings = defaults();
  settings.w_cap = 0;
  const Output out = solve(samples, settings, -2, 50).value();
  EXPECT_EQ(out.iterations, 1u);
  EXPECT_EQ(out.w, Doubles(samples.intervals(), 0.0));
}

class ConvexData : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(ConvexData, ConvergedOutputIsConsistentAndBounded) {
  const std::uint64_t seed = GetParam();
  const Samples samples = samples_of(random_convex(3 + (seed * 29) % 200, seed));
  SolveSettings settings = defaults();
  settings.max_iter = 100000;
  const auto s = samples.secants();
  const double left = s[0] - (s[1] - s[0]) * 0.5;
  const double right = s.back() + (s.back() - s[s.size() - 2]) * 0.5;
  const Output out = solve(samples, settings, left, right).value();

  EXPECT_GE(out.iterations, 1u);
  ASSERT_EQ(out.w.size(), samples.intervals());
  for (double w : out.w) {
    EXPECT_GE(w, 0.0);
    EXPECT_LE(w, 1000000.0);
  }
  // The returned derivatives are those of the returned w, bit for bit.
  EXPECT_EQ(out.derivatives, solve_derivatives(samples, out.w, left, right, 1, 1));
  EXPECT_EQ(out.derivatives.front(), left);
  EXPECT_EQ(out.derivatives.back(), right);
  EXPECT_LT(worst_c2_mismatch(samples, out.derivatives, out.w, 1, 1), 1e-13);

  // One sweep fewer is not enough: the report carries that many sweeps and a
  // change above the stopping threshold.
  settings.max_iter = out.iterations - 1;
  const Result<Output> short_of = solve(samples, settings, left, right);
  if (settings.max_iter > 0) {
    ASSERT_FALSE(short_of.ok());
    const NoConvergence failure = std::get<NoConvergence>(short_of.error());
    EXPECT_EQ(failure.iterations, settings.max_iter);
    EXPECT_GT(failure.last_change, 1e-10);
  }
}
INSTANTIATE_TEST_SUITE_P(Seeds, ConvexData, ::testing::Range<std::uint64_t>(0, 24));


// ---------------------------------------------------------------- stall rule and Newton

std::pair<double, double> estimated(const Samples& samples) {
  const auto s = samples.secants();
  return {s[0] - (s[1] - s[0]) * 0.5, s.back() + (s.back() - s[s.size() - 2]) * 0.5};
}

// A solve's result is consistent (derivatives those of its w, bit for bit,
// joining C2) and a fixed point: one more sweep moves no w beyond the
// tolerance, or beyond `floor` for a change settled above it.
void expect_solution(const Samples& samples, const Output& out, double floor = 0) {
  const auto [left, right] = estimated(samples);
  EXPECT_EQ(out.derivatives, solve_derivatives(samples, out.w, left, right, 1, 1));
  EXPECT_LT(worst_c2_mismatch(samples, out.derivatives, out.w, 1, 1), 1e-13);
  const Doubles noise = gap_noise(samples);
  double largest = 0, change = 0;
  for (std::size_t i = 0; i < out.w.size(); ++i) {
    const double t =
        convexity_target(samples.secants(), noise, out.derivatives, i, 1, 1, 0.001, 1e6);
    largest = std::max(largest, 0.5 * t + out.w[i] * 0.5);
    change = std::max(change, std::fabs(0.5 * t - out.w[i] * 0.5));
  }
  EXPECT_LE(change, std::max(1e-10 * (largest + 1), floor));
}

SolveSettings with(Method method, std::uint64_t max_iter = 1000) {
  return {1.0, 1.0, 0.001, 0.5, 1e-10, max_iter, 1000000.0, method};
}

// Flat curvature near 0: the change settles at its rounding floor, above
// tol (1 + W); the stall rule accepts it at a multiple of 20 sweeps.
TEST(Solve, ChangeSettledAtTheRoundingFloorConverges) {
  Doubles x(2000), y(2000);
  for (std::size_t i = 0; i < x.size(); ++i) {
    x[i] = -1 + 2 * double(i) / 1999;
    y[i] = std::sqrt(1e-4 + x[i] * x[i]);
  }
  const Samples samples = Samples::create(x, y).value();
  const auto [left, right] = estimated(samples);
  const Output out = solve(samples, defaults(), left, right).value();
  EXPECT_EQ(out.iterations % 20, 0u);
  expect_solution(samples, out, 1e-8);
  EXPECT_FALSE(solve(samples, with(Method::sweep, out.iterations - 1), left, right).ok());
}

// Secants rising by wildly uneven steps: the sweeps crawl and are refused
// (the stall rule takes no drifting solve); Newton converges in a few steps.
class SlowData : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(SlowData, SweepsAreRefusedAndNewtonConverges) {
  std::mt19937_64 rng(GetParam());
  std::lognormal_distribution<double> step(0.0, 2.0);
  Doubles x(300), y(300);
  double secant = 0;
  for (std::size_t i = 1; i < x.size(); ++i, secant += step(rng)) {
    x[i] = double(i);
    y[i] = y[i - 1] + secant;
  }
  const Samples samples = Samples::create(x, y).value();
  const auto [left, right] = estimated(samples);
  EXPECT_EQ(std::get<NoConvergence>(solve(samples, defaults(), left, right).error()).iterations,
            1000u);
  const Output fast = solve(samples, with(Method::newton), left, right).value();
  EXPECT_LE(fast.iterations, 25u);
  expect_solution(samples, fast);
}
INSTANTIATE_TEST_SUITE_P(Seeds, SlowData, ::testing::Values(1, 2, 3));

TEST_P(ConvexData, NewtonReachesAFixedPointOfTheSweeps) {
  const std::uint64_t seed = GetParam();
  const Samples samples = samples_of(random_convex(3 + (seed * 29) % 200, seed));
  const auto [left, right] = estimated(samples);
  const Output out = solve(samples, with(Method::newton), left, right).value();
  EXPECT_LE(out.iterations, 25u);
  expect_solution(samples, out);
  // Newton is finished by the sweeps: with none allowed it is refused.
  const Result<Output> none = solve(samples, with(Method::newton, 0), left, right);
  EXPECT_TRUE(std::isnan(std::get<NoConvergence>(none.error()).last_change));
}

}  // namespace
}  // namespace velarix::rational_cubic::solver
