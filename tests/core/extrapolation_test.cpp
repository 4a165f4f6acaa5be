// Evaluation outside the knots by mode: the batch agrees with the scalar
// calls bit for bit (across blocks, in place, NaN and infinities included),
// hold is the plain evaluation, each mode's antiderivative and derivatives
// are those of its values, and periodic maps far abscissas without drift.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <tuple>

#include "tension/tension.hpp"

namespace velarix {
namespace {

using V = Doubles;

const TensionSpline& spline() {
  static const TensionSpline fitted = [] {
    V x;
    V y;
    for (int i = 0; i <= 16; ++i) {
      x.push_back(i * 0.25);  // the period, 4, is a power of two
      y.push_back(std::sin(x.back()) + 0.2 * x.back());
    }
    return Tension{}.fit(x, y).value();
  }();
  return fitted;
}

template <int Order>
double one(double x, Extrapolation mode) {
  if constexpr (Order < 0) {
    return spline().curve().antiderivative(x, mode);
  } else {
    return spline().curve().evaluate<static_cast<Derivative>(Order)>(x, mode);
  }
}

template <int Order>
void batch(std::span<const double> xs, std::span<double> out, Extrapolation mode) {
  if constexpr (Order < 0) {
    spline().curve().antiderivative(xs, out, mode);
  } else {
    spline().curve().evaluate<static_cast<Derivative>(Order)>(xs, out, mode);
  }
}

template <int Order>
void expect_batch_is_scalar(Extrapolation mode) {
  const double inf = std::numeric_limits<double>::infinity();
  V xs;
  for (int i = 0; i < 700; ++i) xs.push_back(-9 + 0.031 * ((i * 389) % 700));  // shuffled
  for (double x : {std::nan(""), inf, -inf, 0.0, 4.0, -1e300, 1e300}) xs.push_back(x);
  V ascending(xs.begin(), xs.begin() + 700);
  std::sort(ascending.begin(), ascending.end());
  for (const V& in : {xs, ascending}) {
    V out(in.size());
    batch<Order>(in, out, mode);
    V in_place = in;
    batch<Order>(in_place, in_place, mode);
    for (std::size_t i = 0; i < in.size(); ++i) {
      const auto expected = std::bit_cast<std::uint64_t>(one<Order>(in[i], mode));
      ASSERT_EQ(std::bit_cast<std::uint64_t>(out[i]), expected) << "x = " << in[i];
      ASSERT_EQ(std::bit_cast<std::uint64_t>(in_place[i]), expected) << "x = " << in[i];
    }
  }
  if (mode != Extrapolation::hold) {
    EXPECT_TRUE(std::isnan(one<Order>(std::nan(""), mode)));
  }
}

class EveryMode : public ::testing::TestWithParam<Extrapolation> {};

TEST_P(EveryMode, BatchIsScalarBitForBit) {
  expect_batch_is_scalar<-1>(GetParam());
  expect_batch_is_scalar<0>(GetParam());
  expect_batch_is_scalar<1>(GetParam());
  expect_batch_is_scalar<2>(GetParam());
  expect_batch_is_scalar<3>(GetParam());
}

// Central differences outside the knots: the antiderivative's slope is the
// value and the value's slope the first derivative, for the mode's own
// continuation (a mode that integrated another curve than it evaluates, or
// whose derivative were not its value's, fails here).
TEST_P(EveryMode, DerivativesAndAntiderivativeAgreeOutside) {
  const Extrapolation mode = GetParam();
  // hold keeps the end derivatives, which are not its held value's; nan has none.
  if (mode == Extrapolation::nan || mode == Extrapolation::hold) GTEST_SKIP();
  const double h = 1e-5;
  for (double x : {-2.3, -0.4, 4.6, 7.9}) {
    const double integrand = (one<-1>(x + h, mode) - one<-1>(x - h, mode)) / (2 * h);
    EXPECT_NEAR(integrand, one<0>(x, mode), 1e-8) << x;
    const double slope = (one<0>(x + h, mode) - one<0>(x - h, mode)) / (2 * h);
    EXPECT_NEAR(slope, one<1>(x, mode), 1e-7) << x;
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, EveryMode,
                         ::testing::Values(Extrapolation::hold, Extrapolation::linear,
                                           Extrapolation::constant, Extrapolation::nan,
                                           Extrapolation::extend, Extrapolation::periodic));

TEST(Extrapolation, HoldIsThePlainEvaluation) {
  for (double x : {-3.0, 0.7, 5.0, std::nan("")}) {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(one<0>(x, Extrapolation::hold)),
              std::bit_cast<std::uint64_t>(spline().value(x)));
    EXPECT_EQ(std::bit_cast<std::uint64_t>(one<-1>(x, Extrapolation::hold)),
              std::bit_cast<std::uint64_t>(spline().antiderivative(x)));
  }
}

// x = t + k p is exact for these k (p = 4, t dyadic), so the map into the
// period must give t itself: the values equal those at t to the bit, and the
// antiderivative is k whole periods plus that at t.
class FarPeriods : public ::testing::TestWithParam<double> {};

TEST_P(FarPeriods, MapWithoutDrift) {
  const double k = GetParam();
  const double whole = spline().antiderivative(4.0);
  for (double t : {0.125, 1.5, 3.75}) {
    const double x = t + 4 * k;
    EXPECT_EQ(one<0>(x, Extrapolation::periodic), spline().value(t)) << x;
    EXPECT_EQ(one<2>(x, Extrapolation::periodic), spline().second_derivative(t)) << x;
    EXPECT_EQ(one<-1>(x, Extrapolation::periodic), k * whole + spline().antiderivative(t)) << x;
  }
}

INSTANTIATE_TEST_SUITE_P(Periods, FarPeriods,
                         ::testing::Values(-1.0, 1.0, 3.0, -1e6, 1e9, 1048577.0));

TEST(Extrapolation, NamesRoundTrip) {
  for (std::size_t i = 0; i < extrapolation_names.size(); ++i) {
    EXPECT_EQ(extrapolation_named(extrapolation_names[i]), static_cast<Extrapolation>(i));
  }
  EXPECT_FALSE(extrapolation_named("raise").has_value());
}

}  // namespace
}  // namespace velarix
