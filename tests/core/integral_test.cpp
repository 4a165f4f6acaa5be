// Integrals of fitted splines: the knots' running sums, limits outside the
// knots, reversed limits, concurrent first calls, sums and short spans far
// from the first knot. The pieces are checked against mpmath in tests/python/test_calculus.py,
// the batch forms against scalar calls by the buffer tests and the fuzzers.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <thread>
#include <vector>

#include "every_method.hpp"

namespace velarix {
namespace {

using V = Doubles;

V knots() {
  V x;
  for (int i = 0; i < 12; ++i) x.push_back(i * 0.7 + 0.05 * (i % 3));
  return x;
}
V map(const V& x, double (*f)(double)) {
  V y;
  for (double v : x) y.push_back(f(v));
  return y;
}
double wavy(double x) { return std::sin(x) + 0.3 * x; }
double convex(double x) { return std::exp(0.4 * x) - 2; }

template <class Spline>
void expect_spline_rules(const Spline& spline) {
  const auto [x0, xn] = spline.domain();
  const auto knots = spline.curve().knots();
  EXPECT_EQ(spline.antiderivative(x0), 0.0);
  double sum = 0;  // the pieces before each knot, in knot order
  for (std::size_t i = 0; i + 1 < knots.size(); ++i) {
    sum += spline.curve().pieces()[i].antiderivative(knots[i + 1]);
    EXPECT_NEAR(spline.antiderivative(knots[i + 1]), sum, 1e-13 * (1 + std::fabs(sum)));
  }
  EXPECT_EQ(spline.antiderivative(x0 - 2), -2 * spline.value(x0));
  const double total = spline.integral(x0, xn);
  EXPECT_NEAR(spline.antiderivative(xn + 3), total + 3 * spline.value(xn), 1e-13 * (1 + total));
  EXPECT_TRUE(std::isnan(spline.integral(x0, std::numeric_limits<double>::quiet_NaN())));
  for (const double a : {x0 - 1, 0.31, xn}) {
    for (const double b : {xn + 2, 4.4, a}) EXPECT_EQ(spline.integral(a, b), -spline.integral(b, a));
  }
}

template <class Config>
class MethodIntegral : public ::testing::Test {};
TYPED_TEST_SUITE(MethodIntegral, testing::Methods, testing::MethodNames);

// On a wave, or a convex curve for a method that needs one.
TYPED_TEST(MethodIntegral, Rules) {
  const V x = knots();
  const bool convex_only = testing::MethodTraits<TypeParam>::convex_data_only;
  expect_spline_rules(TypeParam{}.fit(x, map(x, convex_only ? convex : wavy)).value());
}

// A held zero integrates to zero out to infinity.
TEST(SplineIntegral, InfiniteLimits) {
  const VariableDegreeSpline spline = VariableDegree{}.fit(V{0, 1, 2}, V{0, 1, -2}).value();
  EXPECT_EQ(spline.antiderivative(-INFINITY), 0.0);
  EXPECT_EQ(spline.antiderivative(INFINITY), -INFINITY);
}

// Threads integrating one fresh copy at once see one table: the first built
// is published, and every result has the bits of a spline integrated alone.
TEST(SplineIntegral, ConcurrentFirstCalls) {
  const V x = knots();
  const VariableDegreeSpline alone = VariableDegree{}.fit(x, map(x, wavy)).value();
  for (int round = 0; round < 20; ++round) {
    const VariableDegreeSpline shared = alone;
    std::vector<double> results(8);
    std::vector<std::thread> threads;
    for (std::size_t k = 0; k < results.size(); ++k) {
      threads.emplace_back([&, k] { results[k] = shared.antiderivative(x[k] + 0.3); });
    }
    for (auto& thread : threads) thread.join();
    for (std::size_t k = 0; k < results.size(); ++k) {
      EXPECT_EQ(std::bit_cast<std::uint64_t>(results[k]),
                std::bit_cast<std::uint64_t>(alone.antiderivative(x[k] + 0.3)));
    }
  }
}

// The partial sums carry their rounding errors, so the integral between two
// knots far from the first keeps its accuracy to within eps^2 of the sums; a
// plain running sum would lose eps of them, here a thousand times the result.
// A short span sums only what lies between its limits: beyond the last knot
// the held value to the bit, over a few pieces their integrals, without the
// rounding of the 1e11 before them.
TEST(SplineIntegral, SmallIntegralsAfterLargeOnes) {
  V x;
  V y;
  for (int i = 0; i <= 2000; ++i) {
    x.push_back(i);
    y.push_back(i < 1000 ? 1e8 : 1e-8 * (1 + (i % 7)));
  }
  Tension config;
  config.policy = tension::Policy::uniform(85);
  const TensionSpline spline = config.fit(x, y).value();
  const auto pieces = spline.curve().pieces();
  const double direct = pieces[1500].antiderivative(1501) + pieces[1501].antiderivative(1502);
  const double eps = std::numeric_limits<double>::epsilon();
  const double bound = 4 * eps * (std::fabs(direct) + eps * spline.antiderivative(1500));
  EXPECT_NEAR(spline.integral(1500, 1502), direct, bound);
  EXPECT_EQ(spline.integral(2000, 2000.5), y.back() * 0.5);
  EXPECT_EQ(spline.integral(-0.5, 0), y.front() * 0.5);
  long double parts = pieces[1504].antiderivative(1504.5) - pieces[1500].antiderivative(1500.5);
  for (int k = 1500; k < 1504; ++k) parts += pieces[k].antiderivative(k + 1);
  EXPECT_NEAR(spline.integral(1500.5, 1504.5), parts, 4 * eps * parts);
}

}  // namespace
}  // namespace velarix
