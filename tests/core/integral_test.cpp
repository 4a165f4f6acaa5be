// Integrals of fitted splines: limits outside the knots, reversed limits,
// batch against single, copies and concurrent first calls. The closed forms
// of the pieces are checked against mpmath in tests/python/test_calculus.py.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include "rational_cubic/rational_cubic.hpp"
#include "tension/tension.hpp"
#include "variable_degree/variable_degree.hpp"

namespace velarix {
namespace {

using V = Doubles;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

V sine_x() {
  V x;
  for (int i = 0; i < 12; ++i) x.push_back(i * 0.7 + 0.05 * (i % 3));
  return x;
}
V sine_y(const V& x) {
  V y;
  for (double v : x) y.push_back(std::sin(v) + 0.3 * v);
  return y;
}
V convex_y(const V& x) {
  V y;
  for (double v : x) y.push_back(std::exp(0.4 * v) - 2);
  return y;
}

template <class Spline>
void expect_spline_rules(const Spline& spline) {
  const auto& curve = spline.curve();
  const auto [x0, xn] = spline.domain();
  const auto knots = curve.knots();
  EXPECT_EQ(spline.antiderivative(x0), 0.0);
  // At a knot the running sum of the pieces before it, in knot order.
  double sum = 0;
  for (std::size_t i = 0; i + 1 < knots.size(); ++i) {
    sum += curve.pieces()[i].antiderivative(knots[i + 1]);
    EXPECT_NEAR(spline.antiderivative(knots[i + 1]), sum, 1e-13 * (1 + std::fabs(sum)));
  }
  // The held end values integrate as constants.
  EXPECT_EQ(spline.antiderivative(x0 - 2), (x0 - 2 - x0) * spline.value(x0));
  const double total = spline.integral(x0, xn);
  EXPECT_NEAR(spline.antiderivative(xn + 3), total + 3 * spline.value(xn), 1e-13 * (1 + total));
  EXPECT_TRUE(std::isnan(spline.antiderivative(kNaN)));
  EXPECT_TRUE(std::isnan(spline.integral(x0, kNaN)));

  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> spread(x0 - 1, xn + 1);
  V batch;
  for (int k = 0; k < 300; ++k) batch.push_back(spread(random));
  batch.push_back(kNaN);
  batch.push_back(x0);
  batch.push_back(xn);
  for (const double a : {batch[0], batch[1], x0, xn}) {
    for (const double b : {batch[2], batch[3], a}) {
      EXPECT_EQ(spline.integral(a, b), -spline.integral(b, a));
    }
  }
  const auto expect_batch = [&](const V& in) {
    V out(in.size());
    curve.antiderivative(in, out);
    for (std::size_t k = 0; k < in.size(); ++k) {
      EXPECT_EQ(bits(out[k]), bits(spline.antiderivative(in[k]))) << in[k];
    }
    V in_place(in);
    curve.antiderivative(in_place, in_place);
    EXPECT_TRUE(std::equal(in_place.begin(), in_place.end(), out.begin(), out.end(),
                           [](double p, double q) { return bits(p) == bits(q); }));
  };
  expect_batch(batch);
  std::sort(batch.begin(), batch.end() - 3);
  expect_batch(batch);

  // A copy has no integral table yet; it builds the same one.
  const Spline copy = spline;
  for (const double x : batch) EXPECT_EQ(bits(copy.antiderivative(x)), bits(spline.antiderivative(x)));
}

TEST(SplineIntegral, RulesForEveryMethod) {
  const V x = sine_x();
  const auto rational = RationalCubic{}.fit(x, convex_y(x));
  ASSERT_TRUE(rational.ok());
  expect_spline_rules(rational.value());
  const auto tension = Tension{}.fit(x, sine_y(x));
  ASSERT_TRUE(tension.ok());
  expect_spline_rules(tension.value());
  const auto variable = VariableDegree{}.fit(x, sine_y(x));
  ASSERT_TRUE(variable.ok());
  expect_spline_rules(variable.value());
}

// Threads that integrate one fresh copy at once all see one table: each
// builds at most its own, the first published wins, and every result is the
// bits of a spline integrated alone.
TEST(SplineIntegral, ConcurrentFirstCalls) {
  const V x = sine_x();
  const auto fitted = VariableDegree{}.fit(x, sine_y(x));
  ASSERT_TRUE(fitted.ok());
  const VariableDegreeSpline& alone = fitted.value();
  for (int round = 0; round < 20; ++round) {
    const VariableDegreeSpline shared = alone;
    std::vector<double> results(8);
    std::vector<std::thread> threads;
    for (std::size_t k = 0; k < results.size(); ++k) {
      threads.emplace_back([&, k] { results[k] = shared.antiderivative(x[k % x.size()] + 0.3); });
    }
    for (auto& thread : threads) thread.join();
    for (std::size_t k = 0; k < results.size(); ++k) {
      EXPECT_EQ(bits(results[k]), bits(alone.antiderivative(x[k % x.size()] + 0.3)));
    }
  }
}

// A held zero integrates to zero out to infinity; a held non-zero value to
// an infinity of its sign.
TEST(SplineIntegral, InfiniteLimits) {
  const auto fitted = VariableDegree{}.fit(V{0, 1, 2}, V{0, 1, -2});
  ASSERT_TRUE(fitted.ok());
  const VariableDegreeSpline& spline = fitted.value();
  EXPECT_EQ(spline.antiderivative(-INFINITY), 0.0);
  EXPECT_EQ(spline.antiderivative(INFINITY), -INFINITY);
  EXPECT_EQ(spline.integral(-INFINITY, 1), spline.antiderivative(1));
}

// Partial sums carried with their rounding errors: the difference of two
// large sums keeps the accuracy of the small integral between them, up to
// eps^2 of the sums (a plain running sum would lose eps of them, here a
// thousand times the integral).
TEST(SplineIntegral, SmallIntegralsAfterLargeOnes) {
  V x;
  V y;
  for (int i = 0; i <= 2000; ++i) {
    x.push_back(i);
    y.push_back(i < 1000 ? 1e8 : 1e-8 * (1 + (i % 7)));
  }
  Tension config;
  config.policy = tension::Policy::uniform(85);
  const auto fitted = config.fit(x, y);
  ASSERT_TRUE(fitted.ok());
  const TensionSpline& spline = fitted.value();
  const double direct = spline.curve().pieces()[1500].antiderivative(1501) +
                        spline.curve().pieces()[1501].antiderivative(1502);
  const double eps = std::numeric_limits<double>::epsilon();
  const double bound = 4 * eps * std::fabs(direct) + 4 * eps * eps * spline.antiderivative(1500);
  EXPECT_NEAR(spline.integral(1500, 1502), direct, bound);
}

}  // namespace
}  // namespace velarix
