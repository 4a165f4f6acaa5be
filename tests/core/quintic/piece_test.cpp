#include "quintic/piece.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "batch_agreement.hpp"
#include "quintic/convexity.hpp"
#include "quintic/estimates.hpp"

namespace velarix::quintic {
namespace {

// Random Hermite data on [x0, x1], values offset far from 0 so that the
// halves' rounding would show.
struct Case {
  double x0, x1;
  Hermite e;
};

Case random_case(std::mt19937_64& rng) {
  std::uniform_real_distribution<double> u(-1, 1);
  const double x0 = 100 * u(rng);
  const double x1 = x0 + 0.01 + std::fabs(u(rng));
  const double y0 = 1e3 + u(rng), y1 = 1e3 + u(rng);
  return {x0, x1, {y0, y1, (y1 - y0) / (x1 - x0), u(rng), u(rng), 10 * u(rng), 10 * u(rng)}};
}

class RandomPiece : public ::testing::TestWithParam<int> {};

// The value at either knot is the knot's own; slope and curvature there are
// the knot's to rounding, whichever half evaluates them.
TEST_P(RandomPiece, ReproducesItsEndDataAboutEitherEnd) {
  std::mt19937_64 rng(GetParam());
  const Case c = random_case(rng);
  const QuinticPiece piece(c.x0, c.x1, c.e);
  const double s = c.e.s;
  EXPECT_EQ(piece.value(c.x0), c.e.y0);
  EXPECT_EQ(piece.value(c.x1), c.e.y1);
  EXPECT_NEAR(piece.first_derivative(c.x0), s - c.e.p0, 1e-9);
  EXPECT_NEAR(piece.first_derivative(c.x1), s + c.e.p1, 1e-9);
  EXPECT_NEAR(piece.second_derivative(c.x0), c.e.a0, 1e-9 * (1 + std::fabs(c.e.a0)));
  EXPECT_NEAR(piece.second_derivative(c.x1), c.e.a1, 1e-9 * (1 + std::fabs(c.e.a1)));
  // The two halves are one quintic: they meet at the middle to rounding.
  const double mid = c.x0 + 0.5 * (c.x1 - c.x0);
  const double below = std::nextafter(mid, c.x0);
  EXPECT_NEAR(piece.value(below), piece.value(mid), 1e-12 * 1e3);
  EXPECT_NEAR(piece.second_derivative(below), piece.second_derivative(mid), 1e-8 * 10);
}

// The closed-form integral against three-point Gauss-Legendre quadrature,
// exact for a quintic, on the left half, across the middle and whole.
TEST_P(RandomPiece, IntegratesInClosedForm) {
  std::mt19937_64 rng(GetParam());
  const Case c = random_case(rng);
  const QuinticPiece piece(c.x0, c.x1, c.e);
  const double nodes[3] = {0.0, 0.7745966692414834, -0.7745966692414834};
  const double weights[3] = {8.0 / 9, 5.0 / 9, 5.0 / 9};
  for (const double b : {c.x0 + 0.3 * (c.x1 - c.x0), c.x0 + 0.8 * (c.x1 - c.x0), c.x1}) {
    double sum = 0;
    for (int j = 0; j < 3; ++j) {
      sum += weights[j] * piece.value(c.x0 + (b - c.x0) * (1 + nodes[j]) / 2);
    }
    EXPECT_NEAR(piece.antiderivative(b), sum * (b - c.x0) / 2, 1e-12 * 1e3);
  }
}

TEST_P(RandomPiece, PairsGiveTheBitsOfSingleEvaluations) {
  std::mt19937_64 rng(GetParam());
  Doubles knots{-1};
  Vector<QuinticPiece> pieces;
  for (int i = 0; i < 5; ++i) {
    Case c = random_case(rng);
    knots.push_back(knots.back() + (c.x1 - c.x0));
    pieces.emplace_back(knots[i], knots[i + 1], c.e);
  }
  const Piecewise<QuinticPiece> curve(knots, std::move(pieces));
  std::vector<double> batch;
  std::uniform_real_distribution<double> u(knots.front() - 1, knots.back() + 1);
  for (int i = 0; i < 64; ++i) batch.push_back(u(rng));
  batch.insert(batch.end(), knots.begin(), knots.end());
  batch.push_back(std::nan(""));
  testing::expect_batch_agrees_with_single(curve, batch);
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomPiece, ::testing::Range(0, 8));

// Zero gaps and curvatures with equal values: every coefficient but the
// value is exactly zero, so rounding cannot move the constant.
TEST(FlatPiece, IsExactlyConstant) {
  const double y = 0.1 + 1e-17;
  const QuinticPiece piece(3.25, 7.5, {y, y, 0, 0, 0, 0, 0});
  for (double x = 3.25; x <= 7.5; x += 0.0371) {
    EXPECT_EQ(piece.value(x), y);
    EXPECT_EQ(piece.first_derivative(x), 0);
    EXPECT_EQ(piece.second_derivative(x), 0);
  }
  EXPECT_EQ(piece.antiderivative(7.5), y * (7.5 - 3.25));
}

// The halves of a split interval bend as the interval does, whatever the
// gaps, when the end curvatures respect the caps (here at them).
TEST(Split, HalvesKeepTheBendingAtTheCaps) {
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> u(1e-3, 1);
  for (int i = 0; i < 200; ++i) {
    const int k = i % 2 == 0 ? 1 : -1;
    const double p0 = u(rng), p1 = u(rng), h = 2 * u(rng);
    const double a0 = 2 * p0 * (p0 + p1) / (p1 * h), a1 = 2 * p1 * (p0 + p1) / (p0 * h);
    const Hermite e{0, k * 3 * h, k * 3.0, k * p0, k * p1, k * a0 * u(rng), k * a1 * u(rng)};
    const auto halves = split(k, 1, 1 + h, e);
    ASSERT_TRUE(halves.has_value());
    EXPECT_TRUE(keeps_bending(oriented(k, halves->x - 1, halves->left))) << i;
    EXPECT_TRUE(keeps_bending(oriented(k, 1 + h - halves->x, halves->right))) << i;
  }
}

// The estimates are exact for a polynomial of degree below the stencil, at
// every knot, ends included, on uneven knots far from the origin.
class Stencil : public ::testing::TestWithParam<int> {};

TEST_P(Stencil, EstimatesAreExactForPolynomialsBelowItsDegree) {
  const int p = GetParam();
  Doubles x, y;
  const auto poly = [p](double t) {
    double v = 0;
    for (int j = 0; j < p; ++j) v = v * (t - 1e3) + (j + 1) * 0.5;
    return v;
  };
  for (int i = 0; i < 12; ++i) x.push_back(1e3 + 0.3 * i + 0.05 * (i % 3));
  for (double xi : x) y.push_back(poly(xi));
  const Estimates e = estimate(Samples::create(x, y).value(), p);
  for (std::size_t k = 0; k < x.size(); ++k) {
    const double t = x[k] - 1e3;
    // The derivatives of the polynomial in t, from its coefficients.
    double d = 0, a = 0;
    for (int j = 0; j < p; ++j) {
      const double c = (p - j) * 0.5;  // coefficient of t^j
      if (j >= 1) d += j * c * std::pow(t, j - 1);
      if (j >= 2) a += j * (j - 1) * c * std::pow(t, j - 2);
    }
    EXPECT_NEAR(e.slope[k], d, 1e-8 * (1 + std::fabs(d))) << "knot " << k;
    EXPECT_NEAR(e.curvature[k], a, 1e-6 * (1 + std::fabs(a))) << "knot " << k;
  }
}

INSTANTIATE_TEST_SUITE_P(Points, Stencil, ::testing::Values(3, 5, 7));

}  // namespace
}  // namespace velarix::quintic
