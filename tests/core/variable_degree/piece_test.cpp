#include "variable_degree/piece.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace velarix::variable_degree {
namespace {

constexpr double kX0 = 1.25, kH = 0.75, kY0 = -0.5, kY1 = 2.0, kM0 = 3.0, kM1 = -1.5;

// The piece written in the data, without the folded coefficients:
// (1 - t) y0 + t y1 + h^2/(k (k - 1)) [m0 ((1 - t)^k - (1 - t)) + m1 (t^k - t)].
double data_form(double k, double x) {
  const double t = (x - kX0) / kH;
  const double c = kH * kH / (k * (k - 1));
  return (1 - t) * kY0 + t * kY1 +
         c * (kM0 * (std::pow(1 - t, k) - (1 - t)) + kM1 * (std::pow(t, k) - t));
}

class PieceOfDegree : public ::testing::TestWithParam<double> {
 protected:
  VariableDegreePiece piece{kX0, kH, kY0, kY1, kM0, kM1, GetParam()};
};

TEST_P(PieceOfDegree, InterpolatesAndTakesTheMomentsAtBothEnds) {
  EXPECT_EQ(piece.value(kX0), kY0);
  EXPECT_NEAR(piece.value(kX0 + kH), kY1, 1e-15);
  EXPECT_EQ(piece.second_derivative(kX0), kM0);
  EXPECT_EQ(piece.second_derivative(kX0 + kH), kM1);
}

TEST_P(PieceOfDegree, MatchesTheDataFormAndItsDerivatives) {
  const double k = GetParam();
  const double step = 1e-5;
  for (int i = 1; i < 20; ++i) {
    const double x = kX0 + kH * i / 20.0;
    EXPECT_NEAR(piece.value(x), data_form(k, x), 1e-14) << x;
    const double slope = (piece.value(x + step) - piece.value(x - step)) / (2 * step);
    EXPECT_NEAR(piece.first_derivative(x), slope, 1e-8) << x;
    const double bend =
        (piece.first_derivative(x + step) - piece.first_derivative(x - step)) / (2 * step);
    EXPECT_NEAR(piece.second_derivative(x), bend, 1e-6 * (1 + std::fabs(bend))) << x;
  }
}

INSTANTIATE_TEST_SUITE_P(Degrees, PieceOfDegree, ::testing::Values(3.0, 5.1, 14.739, 50.0));

TEST(VariableDegreePiece, HighDegreeLeavesTheMiddleStraight) {
  const VariableDegreePiece piece(0, 1, 0, 1, 4, 4, 50);
  EXPECT_LT(std::fabs(piece.second_derivative(0.5)), 4e-14);
  EXPECT_EQ(piece.second_derivative(0), 4);
  EXPECT_EQ(piece.second_derivative(1), 4);
}

}  // namespace
}  // namespace velarix::variable_degree
