// Integrals of fitted splines: the closed forms of every piece against
// quadrature of the piece's own values, and the spline-level rules (limits
// outside the knots, reversed limits, batch against single, copies).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <string>
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

// Gauss-Legendre with 20 nodes on each of 64 panels, in long double: far
// below double rounding for every piece below (the rational cubic's poles,
// at least 1e-6 of the width away, are resolved by the panels near the ends,
// which are graded geometrically).
long double quadrature(const std::function<double(double)>& f, double a, double b) {
  static const std::vector<std::pair<long double, long double>> nodes = [] {
    std::vector<std::pair<long double, long double>> r;
    const int n = 20;
    for (int i = 1; i <= n; ++i) {
      long double x = std::cos(3.14159265358979323846L * (i - 0.25L) / (n + 0.5L));
      long double dp = 0;
      for (int it = 0; it < 100; ++it) {
        long double p0 = 1, p1 = x;
        for (int k = 2; k <= n; ++k) {
          const long double p2 = ((2 * k - 1) * x * p1 - (k - 1) * p0) / k;
          p0 = p1;
          p1 = p2;
        }
        dp = n * (x * p1 - p0) / (x * x - 1);
        x -= p1 / dp;
      }
      r.emplace_back(x, 2 / ((1 - x * x) * dp * dp));
    }
    return r;
  }();
  // Panel ends graded towards both ends of [a, b].
  std::vector<long double> cuts{0};
  for (int e = 7; e >= 1; --e) cuts.push_back(std::pow(10.0L, -e) / 2);
  for (int k = 2; k <= 16; ++k) cuts.push_back(k / 32.0L);
  std::vector<long double> all(cuts);
  for (auto it = cuts.rbegin(); it != cuts.rend(); ++it) all.push_back(1 - *it);
  std::sort(all.begin(), all.end());
  long double sum = 0;
  for (std::size_t p = 0; p + 1 < all.size(); ++p) {
    const long double lo = a + (b - a) * all[p];
    const long double hi = a + (b - a) * all[p + 1];
    if (!(hi > lo)) continue;
    for (const auto& [x, weight] : nodes) {
      sum += weight * (hi - lo) / 2 * f(static_cast<double>((lo + hi) / 2 + (hi - lo) / 2 * x));
    }
  }
  return sum;
}

struct Case {
  std::string name;
  std::function<Result<RationalCubicSpline>()> rational;
  std::function<Result<TensionSpline>()> tension;
  std::function<Result<VariableDegreeSpline>()> variable;
};

// A piece's closed form against quadrature of its values at points across
// [a, b], relative to the integral of |S| over the piece.
template <class P>
void expect_piece_integrates(const P& piece, double a, double b, double tolerance) {
  const auto value = [&](double x) { return piece.value(x); };
  const auto size = [&](double x) { return std::fabs(piece.value(x)); };
  const double scale = static_cast<double>(quadrature(size, a, b));
  EXPECT_EQ(piece.antiderivative(a), 0.0);
  for (const double f : {1e-7, 0.01, 0.3, 0.5, 0.71, 0.999, 1.0}) {
    const double x = a + (b - a) * f;
    const double expected = static_cast<double>(quadrature(value, a, x));
    EXPECT_NEAR(piece.antiderivative(x), expected, tolerance * scale) << a << " at " << f;
    EXPECT_EQ(bits(piece.antiderivative(x)), bits(piece.antiderivative(piece.primitive(), x)));
  }
}

template <class Spline>
void expect_pieces_integrate(const Spline& spline, double tolerance) {
  const auto& curve = spline.curve();
  for (std::size_t i = 0; i < curve.pieces().size(); ++i) {
    expect_piece_integrates(curve.pieces()[i], curve.knots()[i], curve.knots()[i + 1], tolerance);
  }
}

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

TEST(PieceIntegral, RationalCubicAcrossShapesAndConvexity) {
  const V x = sine_x();
  const V y = convex_y(x);
  for (const auto& [u, v] : std::vector<std::pair<double, double>>{
           {1, 1}, {1, 40}, {40, 1}, {0.2, 3}, {2, 3}}) {
    for (const double margin : {0.001, 10.0, 1e5}) {
      RationalCubic config;
      config.u = u;
      config.v = v;
      config.margin = margin;
      const auto fitted = config.fit(x, y);
      ASSERT_TRUE(fitted.ok()) << u << " " << v << " " << margin;
      expect_pieces_integrate(fitted.value(), 1e-14);
    }
  }
}

// Denominators that fits do not produce (w below sqrt(u v)): both poles far
// from the interval, a linear and a constant Q.
TEST(PieceIntegral, RationalCubicFarPolesAndLowDegreeDenominators) {
  for (const auto& [u, v, w] : std::vector<std::array<double, 3>>{
           {1, 1, 0.01}, {1, 1, 0.3}, {1, 1.5, 0.2}, {1, 2, 0}, {2, 1, 0}, {1, 1, 0}}) {
    const auto piece = rational_cubic::RationalCubicPiece::from_interval(1.5, -0.5, 2, -3, 0.25,
                                                                         0.5, u, v, w);
    expect_piece_integrates(piece, 0.25, 0.75, 1e-14);
  }
}

TEST(PieceIntegral, TensionInEveryForm) {
  const V x = sine_x();
  const V y = sine_y(x);
  for (const double sigma : {0.0, 1e-9, 0.2, 0.5, 0.51, 3.0, 8.0, 8.01, 85.0, 1e4}) {
    Tension config;
    config.policy = tension::Policy::uniform(sigma);
    const auto fitted = config.fit(x, y);
    ASSERT_TRUE(fitted.ok());
    expect_pieces_integrate(fitted.value(), 1e-14);
  }
  const auto selected = Tension{}.fit(x, y);
  ASSERT_TRUE(selected.ok());
  expect_pieces_integrate(selected.value(), 1e-14);
}

TEST(PieceIntegral, VariableDegreeWithRaisedDegrees) {
  const V x = sine_x();
  const V y = sine_y(x);
  for (const double cap : {3.0, 12.0, 50.0}) {
    VariableDegree config;
    config.max_degree = cap;
    const auto fitted = config.fit(x, y);
    ASSERT_TRUE(fitted.ok());
    expect_pieces_integrate(fitted.value(), 1e-14);
  }
}

// ------------------------------------------------------------ spline level

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
