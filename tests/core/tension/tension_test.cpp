#include "tension/tension.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace velarix::tension {
namespace {

using Data = std::pair<Doubles, Doubles>;

Data sample(int n, const std::function<double(double)>& f) {
  Doubles x(n), y(n);
  for (int i = 0; i < n; ++i) {
    x[i] = static_cast<double>(i) / (n - 1);
    y[i] = f(x[i]);
  }
  return {x, y};
}

TensionSpline fit(const Tension& config, const Data& data) {
  Result<TensionSpline> result = config.fit(data.first, data.second);
  if (!result.ok()) ADD_FAILURE() << message(result.error());
  return std::move(result).value();
}

Tension uniform(double sigma, EndSlopes boundary = {}) {
  return Tension{Policy::uniform(sigma), boundary};
}

// The complete cubic spline from its moments M (second derivatives at the
// knots), in long double: on interval i,
// S = M_i (x_{i+1} - x)^3 / 6h + M_{i+1} (x - x_i)^3 / 6h
//     + (y_i / h - M_i h / 6)(x_{i+1} - x) + (y_{i+1} / h - M_{i+1} h / 6)(x - x_i).
struct CubicSpline {
  std::vector<long double> x, y, m;

  CubicSpline(const Data& data, long double left, long double right)
      : x(data.first.begin(), data.first.end()), y(data.second.begin(), data.second.end()) {
    const std::size_t n = x.size();
    std::vector<long double> a(n), b(n), c(n), r(n);
    const auto h = [&](std::size_t i) { return x[i + 1] - x[i]; };
    const auto s = [&](std::size_t i) { return (y[i + 1] - y[i]) / h(i); };
    b[0] = 2 * h(0), c[0] = h(0), r[0] = 6 * (s(0) - left);
    b[n - 1] = 2 * h(n - 2), a[n - 1] = h(n - 2), r[n - 1] = 6 * (right - s(n - 2));
    for (std::size_t i = 1; i + 1 < n; ++i) {
      a[i] = h(i - 1), b[i] = 2 * (h(i - 1) + h(i)), c[i] = h(i), r[i] = 6 * (s(i) - s(i - 1));
    }
    for (std::size_t i = 1; i < n; ++i) {
      const long double w = a[i] / b[i - 1];
      b[i] -= w * c[i - 1], r[i] -= w * r[i - 1];
    }
    m.assign(n, 0);
    m[n - 1] = r[n - 1] / b[n - 1];
    for (std::size_t i = n - 1; i-- > 0;) m[i] = (r[i] - c[i] * m[i + 1]) / b[i];
  }

  // Value, first and second derivative at t in interval i.
  std::array<long double, 3> at(std::size_t i, long double t) const {
    const long double h = x[i + 1] - x[i], p = x[i + 1] - t, q = t - x[i];
    const long double cl = y[i] / h - m[i] * h / 6, cr = y[i + 1] / h - m[i + 1] * h / 6;
    return {m[i] * p * p * p / (6 * h) + m[i + 1] * q * q * q / (6 * h) + cl * p + cr * q,
            -m[i] * p * p / (2 * h) + m[i + 1] * q * q / (2 * h) - cl + cr,
            (m[i] * p + m[i + 1] * q) / h};
  }
};

// The slope at x0 of the parabola through three points, by Lagrange.
long double parabola_slope(long double x0, long double x1, long double x2, long double y0,
                           long double y1, long double y2) {
  return y0 * (2 * x0 - x1 - x2) / ((x0 - x1) * (x0 - x2)) +
         y1 * (x0 - x2) / ((x1 - x0) * (x1 - x2)) + y2 * (x0 - x1) / ((x2 - x0) * (x2 - x1));
}

const Data uneven{{-1.0, -0.4, 0.1, 0.35, 1.2, 2.0, 2.2, 3.5},
                  {0.3, 1.1, -0.2, 0.05, 0.9, 0.4, -0.6, 1.4}};

class ZeroTension : public ::testing::TestWithParam<bool> {};

TEST_P(ZeroTension, IsTheCompleteCubicSpline) {
  const bool clamped = GetParam();
  const auto& [x, y] = uneven;
  const std::size_t n = x.size();
  const long double left = clamped ? 0.75L : parabola_slope(x[0], x[1], x[2], y[0], y[1], y[2]);
  const long double right =
      clamped ? -2.0L : parabola_slope(x[n - 1], x[n - 2], x[n - 3], y[n - 1], y[n - 2], y[n - 3]);
  const TensionSpline spline =
      fit(uniform(0, clamped ? EndSlopes::clamped(0.75, -2.0) : EndSlopes{}), uneven);
  const CubicSpline reference(uneven, left, right);
  EXPECT_EQ(spline.iterations(), 0u);
  for (std::size_t i = 0; i + 1 < n; ++i) {
    EXPECT_EQ(spline.tensions()[i], 0.0);
    for (int j = 0; j < 10; ++j) {
      const double t = x[i] + (x[i + 1] - x[i]) * j / 10;
      const auto [v, d1, d2] = reference.at(i, t);
      EXPECT_NEAR(spline.value(t), static_cast<double>(v), 1e-13);
      EXPECT_NEAR(spline.first_derivative(t), static_cast<double>(d1), 1e-12);
      EXPECT_NEAR(spline.second_derivative(t), static_cast<double>(d2), 1e-10);
    }
  }
  // The published policy without passes is the same spline, bit for bit.
  Tension no_passes{Policy::published(),
                    clamped ? EndSlopes::clamped(0.75, -2.0) : EndSlopes{}, 0.0, 0};
  const TensionSpline cubic = fit(no_passes, uneven);
  EXPECT_EQ(cubic.iterations(), 0u);
  for (double t = -1.0; t <= 3.5; t += 0.01) {
    EXPECT_EQ(cubic.value(t), spline.value(t));
    EXPECT_EQ(cubic.second_derivative(t), spline.second_derivative(t));
  }
}

INSTANTIATE_TEST_SUITE_P(EndSlopes, ZeroTension, ::testing::Bool());

TEST(UniformTension, SignedZeroAndNan) {
  const TensionSpline zero = fit(uniform(0.0), uneven), negative = fit(uniform(-0.0), uneven);
  EXPECT_TRUE(std::signbit(negative.tensions()[0]));
  for (double t = -1.0; t <= 3.5; t += 0.05) EXPECT_EQ(negative.value(t), zero.value(t));

  // A NaN or infinite tension would make every value NaN; -inf is negative.
  for (const auto& [sigma, text] : {std::pair{std::nan(""), "must be finite, got NaN"},
                                    std::pair{HUGE_VAL, "must be finite, got inf"},
                                    std::pair{-HUGE_VAL, "must be >= 0, got -inf"}}) {
    const Result<TensionSpline> refused = uniform(sigma).fit(uneven.first, uneven.second);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(message(refused.error()), std::string("shape parameter `sigma` ") + text);
  }
}

struct Refusal {
  Doubles x, y;
  double sigma;
  const char* text;
};

class Refused : public ::testing::TestWithParam<Refusal> {};

TEST_P(Refused, WithTheExactMessage) {
  const Refusal& r = GetParam();
  const Result<TensionSpline> result = uniform(r.sigma).fit(r.x, r.y);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(message(result.error()), r.text);
}

// The data are checked before the tension.
INSTANTIATE_TEST_SUITE_P(
    DataFirst, Refused,
    ::testing::Values(
        Refusal{{0, 1}, {5}, -1, "x and y must have the same length (got 2 and 1)"},
        Refusal{{1}, {2}, -1, "need at least 2 data points, got 1"},
        Refusal{
            {0, 1, 1}, {0, 0, 0}, -1, "x must be strictly increasing; x[1] = 1 is not < x[2] = 1"},
        Refusal{{0, 1, 2}, {0, 1, 0}, -1, "shape parameter `sigma` must be >= 0, got -1"},
        Refusal{{0, 1},
                {0, 1},
                -std::numeric_limits<double>::infinity(),
                "shape parameter `sigma` must be >= 0, got -inf"}));

TEST(Published, TwoPointsTakeOnePassAndGiveTheLine) {
  const TensionSpline line = fit(Tension{}, {{1.0, 3.0}, {2.0, -1.0}});
  EXPECT_EQ(line.iterations(), 1u);
  EXPECT_EQ(line.tensions()[0], 0.0);
  for (double t : {1.0, 1.5, 2.9, 3.0}) {
    EXPECT_NEAR(line.value(t), 2.0 - 1.5 * (t - 1.0), 1e-15);
    EXPECT_EQ(line.first_derivative(t), -1.5);
  }
}

TEST(Published, ParabolaNeedsNoTension) {
  const TensionSpline spline = fit(Tension{}, sample(9, [](double t) { return 3 * t * t - t; }));
  EXPECT_EQ(spline.iterations(), 1u);
  for (double sigma : spline.tensions()) EXPECT_EQ(sigma, 0.0);
}

TEST(Published, FlatIntervalGetsInfiniteTension) {
  const TensionSpline spline = fit(Tension{}, {{0, 1, 2, 3, 4}, {0, 1, 1, 2, 3}});
  EXPECT_EQ(spline.tensions()[1], 85.0);
}

TEST(Published, EstimatedEndSlopeIsNotLimited) {
  const TensionSpline spline = fit(Tension{}, {{0, 1, 2, 3, 4}, {0, 0.1, 0.2, 3, 3.1}});
  EXPECT_NEAR(spline.first_derivative(4.0), -1.25, 1e-14);
  EXPECT_GT(spline.value(3.99), spline.value(4.0));
}

// On every interval where the derivatives ask for monotonicity (d1 d2 < 0 and
// no end slope against the secant) the spline is monotone on a dense grid.
TEST(Published, MonotoneWhereMonotonicityIsAsked) {
  const std::vector<Data> datasets{
      sample(12, [](double t) { return std::tanh(20 * (t - 0.5)); }),
      sample(40, [](double t) { return std::floor(4 * t) + 0.05 * t; }),
      sample(25, [](double t) { return -std::floor(5 * t * t); })};
  for (const Data& data : datasets) {
    const TensionSpline spline = fit(Tension{}, data);
    std::size_t asked = 0;
    for (const TensionPiece& p : spline.curve().pieces()) {
      const double s = p.secant(), s1 = p.yp0(), s2 = s + p.d2();
      if (!(p.d1() * p.d2() < 0 && s1 * s >= 0 && s2 * s >= 0 && s != 0)) continue;
      ++asked;
      double before = p.value(p.x0());
      for (int j = 1; j <= 500; ++j) {
        const double now = p.value(p.x0() + p.h() * j / 500);
        EXPECT_GE((now - before) * s, -1e-15 * std::fabs(s)) << p.x0();
        before = now;
      }
    }
    EXPECT_GT(asked, 0u);
  }
}

// Convex data whose cubic spline bends the wrong way somewhere.
TEST(Published, ConvexOnConvexData) {
  const std::vector<Data> datasets{
      sample(8, [](double t) { return std::exp(12 * t); }),
      sample(12, [](double t) { return 1 / (t + 0.02); }),
      sample(8, [](double t) { return std::hypot(1, 10 * (t - 0.5)); })};
  const auto least_second_difference = [](const TensionSpline& spline) {
    double least = INFINITY;
    const int m = 4000;
    for (int j = 1; j < m; ++j) {
      const double a = spline.value((j - 1.0) / m), b = spline.value(double(j) / m),
                   c = spline.value((j + 1.0) / m);
      least = std::min(least, (c - b) - (b - a) + 1e-12 * std::fabs(b));
    }
    return least;
  };
  for (const Data& data : datasets) {
    EXPECT_LT(least_second_difference(fit(uniform(0), data)), 0);
    const TensionSpline spline = fit(Tension{}, data);
    EXPECT_GE(least_second_difference(spline), 0);
    EXPECT_GT(spline.iterations(), 1u);
  }
}

// The state after j passes is the fit with max_iter = j. The passes stop at
// the first one that raised no tension or moved no interior derivative by
// more than 1% of itself.
TEST(Published, StopsAtTheFirstSettledPass) {
  const std::vector<Data> datasets{
      sample(12, [](double t) { return std::tanh(20 * (t - 0.5)); }),
      sample(30, [](double t) { return std::sin(9 * t) + 0.3 * std::floor(6 * t); })};
  for (const Data& data : datasets) {
    const auto state = [&](std::uint64_t passes) {
      return fit(Tension{Policy{}, EndSlopes{}, 0.0, passes}, data);
    };
    const std::uint64_t k = fit(Tension{}, data).iterations();
    ASSERT_GT(k, 2u);
    for (std::uint64_t j = 1; j <= k; ++j) {
      const TensionSpline before = state(j - 1), after = state(j);
      const auto a = before.tensions(), b = after.tensions();
      const bool raised = !std::equal(a.begin(), a.end(), b.begin());
      double change = 0;
      for (std::size_t i = 1; i < a.size(); ++i) {
        const double prev = before.curve().pieces()[i].yp0(), now = after.curve().pieces()[i].yp0();
        change = std::max(change, std::fabs(prev == 0 ? now - prev : (now - prev) / prev));
      }
      EXPECT_EQ(!raised || change <= 0.01, j == k) << j;
    }
  }
}

// Noisy data drive every form of the piece; S'' must match across each knot.
class Continuity : public ::testing::TestWithParam<Tension> {};

TEST_P(Continuity, SecondDerivativeIsContinuousAtInteriorKnots) {
  std::mt19937_64 rng(7);
  std::normal_distribution<double> noise(0.0, 0.3);
  std::uniform_real_distribution<double> gap(0.2, 1.5);
  Doubles x{0.0}, y{0.0};
  for (int i = 1; i < 60; ++i) {
    x.push_back(x.back() + gap(rng));
    y.push_back(std::sin(x.back()) + noise(rng));
  }
  const TensionSpline spline = fit(GetParam(), {x, y});
  const auto pieces = spline.curve().pieces();
  for (std::size_t k = 1; k + 1 < x.size(); ++k) {
    const double left = pieces[k - 1].second_derivative(x[k]);
    const double right = pieces[k].second_derivative(x[k]);
    const double scale = 1 + std::fabs(left) + 85 * 85 * std::fabs(pieces[k].d1()) / pieces[k].h();
    EXPECT_NEAR(left, right, 1e-11 * scale) << k;
    EXPECT_NEAR(pieces[k - 1].first_derivative(x[k]), pieces[k].first_derivative(x[k]), 1e-12);
  }
}

INSTANTIATE_TEST_SUITE_P(Policies, Continuity,
                         ::testing::Values(Tension{}, uniform(0.3), uniform(3), uniform(40),
                                           Tension{Policy{}, EndSlopes::clamped(1, -1), 1e-3, 5}));

TEST(TensionConfig, TextsAndEquality) {
  EXPECT_EQ(Tension{}.debug_text(),
            "Tension { policy: ShapePreserving, boundary: Estimated, tol: 0.0, max_iter: 99 }");
  EXPECT_EQ(
      uniform(2.5, EndSlopes::clamped(1, -2)).debug_text(),
      "Tension { policy: Uniform(2.5), boundary: Clamped { left: 1.0, right: -2.0 }, tol: 0.0, "
      "max_iter: 99 }");
  EXPECT_EQ(uniform(2.0), uniform(2.0));
  EXPECT_NE(uniform(2.0), Tension{});
  EXPECT_EQ(uniform(0.0), uniform(-0.0));
  EXPECT_NE(uniform(std::nan("")), uniform(std::nan("")));
  EXPECT_EQ((Tension{Policy{}, EndSlopes{}, 0.0, 99}), Tension{});
  EXPECT_NE((Tension{Policy{}, EndSlopes{}, 0.0, 0}), Tension{});

  const TensionSpline spline = fit(uniform(1), {{0, 1, 2, 3}, {0, 1, 0, 1}});
  EXPECT_EQ(spline.debug_text(),
            "TensionSpline { domain: 0.0..=3.0, intervals: 3, iterations: 0 }");
  EXPECT_EQ(spline.domain(), std::make_pair(0.0, 3.0));
  EXPECT_EQ(spline.tensions().size(), 3u);
}

}  // namespace
}  // namespace velarix::tension
