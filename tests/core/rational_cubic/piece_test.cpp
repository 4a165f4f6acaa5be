#include "rational_cubic/piece.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "batch_agreement.hpp"
#include "memory.hpp"
#include "piecewise.hpp"

namespace velarix::rational_cubic {
namespace {

constexpr double kEps = std::numeric_limits<double>::epsilon();

struct Interval {
  double y0, y1, d0, d1, x_left, h, u, v, w;

  RationalCubicPiece piece() const {
    return RationalCubicPiece::from_interval(y0, y1, d0, d1, x_left, h, u, v, w);
  }
  double x_right() const { return x_left + h; }
};

// The power-basis coefficients grow like w |Y| while the curve stays of size
// |Y|, so rounding in the value is of order eps * sum|p| / min Q.
double value_scale(const RationalCubicPiece& p) {
  const double size_p = std::fabs(p.p0) + std::fabs(p.p1) + std::fabs(p.p2) + std::fabs(p.p3);
  return kEps * size_p / std::min(p.q0, p.q0 + p.q1 + p.q2);
}

std::vector<Interval> random_intervals() {
  std::mt19937_64 rng(314);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<Interval> cases;
  for (double w : {0.0, 0.3, 2.0, 25.0, 1000.0}) {
    for (int rep = 0; rep < 8; ++rep) {
      cases.push_back(Interval{-5 + 10 * unit(rng), -5 + 10 * unit(rng), -4 + 8 * unit(rng),
                               -4 + 8 * unit(rng), -3 + 6 * unit(rng), 0.05 + 3 * unit(rng),
                               0.2 + 3 * unit(rng), 0.2 + 3 * unit(rng), w});
    }
  }
  return cases;
}

class PieceOnInterval : public ::testing::TestWithParam<Interval> {};

TEST_P(PieceOnInterval, InterpolatesValuesAndDerivativesAtBothEnds) {
  const Interval& c = GetParam();
  const RationalCubicPiece p = c.piece();
  const double tol = 8 * value_scale(p);
  EXPECT_NEAR(p.value(c.x_left), c.y0, tol);
  EXPECT_NEAR(p.value(c.x_right()), c.y1, tol);
  EXPECT_NEAR(p.first_derivative(c.x_left), c.d0, 8 * tol / c.h * (1 + c.w));
  EXPECT_NEAR(p.first_derivative(c.x_right()), c.d1, 8 * tol / c.h * (1 + c.w));
}

// Central differences of the value and of the first derivative, with a step
// small against the interval and large against rounding.
TEST_P(PieceOnInterval, DerivativesMatchFiniteDifferences) {
  const Interval& c = GetParam();
  const RationalCubicPiece p = c.piece();
  const double step = c.h * 1e-5;
  for (double t : {0.1, 0.35, 0.5, 0.8, 0.95}) {
    const double x = c.x_left + t * c.h;
    const double d1 = (p.value(x + step) - p.value(x - step)) / (2 * step);
    const double d2 = (p.first_derivative(x + step) - p.first_derivative(x - step)) / (2 * step);
    const double s1 = p.first_derivative(x);
    const double s2 = p.second_derivative(x);
    EXPECT_NEAR(d1, s1, 1e-6 * (1 + std::fabs(s1))) << "t = " << t;
    EXPECT_NEAR(d2, s2, 1e-5 * (1 + std::fabs(s2))) << "t = " << t;
  }
}

// Derivatives equal to the secant leave nothing but the chord, for any w.
TEST_P(PieceOnInterval, SecantDerivativesGiveTheChord) {
  const Interval& base = GetParam();
  Interval c = base;
  c.d0 = c.d1 = (c.y1 - c.y0) / c.h;
  const RationalCubicPiece p = c.piece();
  const double tol = 8 * value_scale(p);
  for (double t : {0.0, 0.2, 0.5, 0.7, 1.0}) {
    const double x = c.x_left + t * c.h;
    EXPECT_NEAR(p.value(x), c.y0 + t * (c.y1 - c.y0), tol);
    EXPECT_NEAR(p.first_derivative(x), c.d0, 64 * tol / c.h * (1 + c.w) * (1 + c.w));
  }
}

INSTANTIATE_TEST_SUITE_P(Random, PieceOnInterval, ::testing::ValuesIn(random_intervals()));

TEST(RationalCubicPiece, UnitShapeWithoutTensionIsTheCubicHermite) {
  std::mt19937_64 rng(99);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int rep = 0; rep < 50; ++rep) {
    const double y0 = -3 + 6 * unit(rng), y1 = -3 + 6 * unit(rng);
    const double d0 = -3 + 6 * unit(rng), d1 = -3 + 6 * unit(rng);
    const double x_left = -1 + 2 * unit(rng), h = 0.1 + 2 * unit(rng);
    const RationalCubicPiece p =
        RationalCubicPiece::from_interval(y0, y1, d0, d1, x_left, h, 1.0, 1.0, 0.0);
    for (int j = 0; j <= 10; ++j) {
      const double t = j / 10.0;
      // H(t) = h00 y0 + h10 h d0 + h01 y1 + h11 h d1
      const double h00 = (1 + 2 * t) * (1 - t) * (1 - t);
      const double h10 = t * (1 - t) * (1 - t);
      const double h01 = t * t * (3 - 2 * t);
      const double h11 = t * t * (t - 1);
      const double hermite = h00 * y0 + h10 * h * d0 + h01 * y1 + h11 * h * d1;
      const double hermite2 =
          ((12 * t - 6) * y0 + (6 * t - 4) * h * d0 + (6 - 12 * t) * y1 + (6 * t - 2) * h * d1) /
          (h * h);
      const double x = x_left + t * h;
      EXPECT_NEAR(p.value(x), hermite, 1e-13);
      EXPECT_NEAR(p.second_derivative(x), hermite2, 1e-10 / (h * h));
    }
  }
}

// Pieces whose fields are NaN of both signs: which NaN an operation returns
// depends on its operand order, so the paired batch evaluation and the
// single one must run the same code to agree on every bit.
TEST(RationalCubicPiece, BatchesAgreeWithSingleEvaluationOnNanOfBothSigns) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  Vector<RationalCubicPiece> pieces{
      {-nan, -nan, -nan, -nan, 0.0, 0.0625, 1, 0x1.0624dc28f5cp-10, -0x1.0624dc28f5c29p-10},
      {-0x1.c0c0302f84208p-52, -nan, -nan, nan, 0.0625, 1, 1, 0x1.0624dc28f5cp-10,
       -0x1.0624dc28f5c29p-10},
      {nan, nan, nan, nan, 1.0625, 1, 1, 0x1.0624dc28f5cp-10, -0x1.0624dc28f5c29p-10},
  };
  const Piecewise<RationalCubicPiece> curve(Doubles{0, 0.0625, 1.0625, 2.0625}, std::move(pieces));
  std::vector<double> xs{0, 0.0625, 1.0625, 2.0625, 0.03125, 0.5625, 1.5625, nan, -1, 3, 0.1};
  std::vector<double> sorted = xs;
  std::sort(sorted.begin(), sorted.end());
  testing::expect_batch_agrees_with_single(curve, xs);
  testing::expect_batch_agrees_with_single(curve, sorted);
}


// ---------------------------------------------------------------- chord form

// From the threshold on, S, S' and S'' at the ends are right to a few ulps
// of their size for any w (the power form loses about w, w^2 and w^3 ulps).
// x_left = 0 keeps t
// exactly 0 and 1 at the ends: near a knot S'' varies on a scale of h / w.
TEST(RationalCubicPiece, ChordFormKeepsEndsToRounding) {
  std::mt19937_64 rng(17);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (double w : {RationalCubicPiece::kChordFormFrom, 1e3, 1e6}) {
    for (int rep = 0; rep < 20; ++rep) {
      const double h = 0.1 + 3 * unit(rng), y0 = -5 + 10 * unit(rng), s = -3 + 6 * unit(rng);
      const double y1 = y0 + s * h, d0 = s - unit(rng) * 1e-3, d1 = s + unit(rng) * 1e-3;
      const double u = 0.5 + unit(rng), v = 0.5 + unit(rng);
      const RationalCubicPiece p = RationalCubicPiece::from_interval(y0, y1, d0, d1, 0, h, u, v, w);
      ASSERT_EQ(p.q2, w);
      const long double gl = (static_cast<long double>(y1) - y0) / h - d0;
      const long double gr = d1 - (static_cast<long double>(y1) - y0) / h;
      const double left = static_cast<double>(2 * ((u + v + w) * gl - v * gr) / (h * u));
      const double right = static_cast<double>(2 * ((u + v + w) * gr - u * gl) / (h * v));
      const double size = std::fabs(left) + std::fabs(right);
      EXPECT_NEAR(p.second_derivative(0), left, 1e-12 * size);
      EXPECT_NEAR(p.second_derivative(h), right, 1e-12 * size);
      EXPECT_NEAR(p.first_derivative(h), d1, 4 * kEps * std::fabs(s));
      EXPECT_NEAR(p.value(h), y1, 4 * kEps * (std::fabs(y0) + std::fabs(y1)));
    }
  }
}

// Data near the largest doubles: a and b are finite but b - a overflows. The
// value is still Y0 at the left knot and, inside, the chord form evaluated in
// extended range to within rounding of the data's size.
TEST(RationalCubicPiece, ChordFormValueSurvivesAnOverflowingBend) {
  const double big = std::numeric_limits<double>::max();
  for (double sign : {1.0, -1.0}) {
    const double y0 = -sign * big, slope = -sign * 9.5, h = 0x1.cdaffff7fdap+418;
    const RationalCubicPiece p =
        RationalCubicPiece::from_interval(y0, slope, slope, slope, -9.25, h, 1, 1, 1e6);
    ASSERT_TRUE(std::isinf(p.p3 - p.p2));
    EXPECT_EQ(p.value(-9.25), y0);
    for (double t : {0.25, 0.5, 0.75, 1.0}) {
      const long double g = t * (1 - t), q = 1 + g * p.q2;
      const long double c = p.p2 + t * (static_cast<long double>(p.p3) - p.p2);
      const long double exact = p.p0 + t * static_cast<long double>(p.p1) + g * c / q;
      EXPECT_NEAR(p.value(-9.25 + t * h), static_cast<double>(exact), 4 * kEps * big) << t;
    }
  }
}

// A line with exact data stays exactly a line at the cap; and batches that
// pair the two forms give each lane the bits of its single evaluation.
TEST(RationalCubicPiece, ChordFormOfALineIsExactAndPairsWithThePowerForm) {
  const RationalCubicPiece line = RationalCubicPiece::from_interval(1, 3, 1, 1, 0, 2, 1, 1, 1e6);
  for (double x : {0.0, 0.125, 0.5, 1.0, 1.875, 2.0}) {
    EXPECT_EQ(line.value(x), 1 + x);
    EXPECT_EQ(line.first_derivative(x), 1);
    EXPECT_EQ(line.second_derivative(x), 0);
  }
  Vector<RationalCubicPiece> pieces{
      RationalCubicPiece::from_interval(0, 1, 0.2, 1.5, 0, 1, 1, 1, 3.0),
      RationalCubicPiece::from_interval(1, 3, 1.9, 2.1, 1, 1, 1, 1, 5e4),
      RationalCubicPiece::from_interval(3, 6, 2.5, 4.0, 2, 1, 1, 1, 0.5)};
  const Piecewise<RationalCubicPiece> curve(Doubles{0, 1, 2, 3}, std::move(pieces));
  std::vector<double> xs{0.5, 1.5, 2.5, 1.25, 0.75, 2.0, 1.0, 2.9, 1.01, 0.1, 2.2};
  testing::expect_batch_agrees_with_single(curve, xs);
}

}  // namespace
}  // namespace velarix::rational_cubic
