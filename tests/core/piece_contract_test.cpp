// The promises every piece keeps (see SplinePiece): the knot's value to the
// bit at its left knot, and finite results for values near the largest
// double.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "every_method.hpp"

namespace velarix {
namespace {

template <class Config>
class PieceContract : public ::testing::Test {};
TYPED_TEST_SUITE(PieceContract, testing::Methods, testing::MethodNames);

// Convex and rising, so that every method fits them; uneven widths and
// values that are not round in binary.
const std::vector<double> kX{0, 0.3, 1.1, 1.7, 2.9, 3.4, 5.0};
const std::vector<double> kY{1, 1.07, 1.55, 2.1, 3.9, 4.85, 8.3};

TYPED_TEST(PieceContract, EachKnotKeepsItsValueAndEveryResultStaysFinite) {
  for (const int exponent : {0, 600, 1020}) {
    std::vector<double> y(kY.size());
    for (std::size_t i = 0; i < y.size(); ++i) y[i] = std::ldexp(kY[i], exponent);
    const auto fitted = TypeParam{}.fit(kX, y);
    ASSERT_TRUE(fitted.ok()) << exponent;
    const auto& spline = fitted.value();
    for (std::size_t i = 0; i + 1 < kX.size(); ++i) EXPECT_EQ(spline.value(kX[i]), y[i]) << i;
    for (double x = kX.front(); x <= kX.back(); x += 1.0 / 64) {
      EXPECT_TRUE(std::isfinite(spline.value(x)) && std::isfinite(spline.first_derivative(x)) &&
                  std::isfinite(spline.second_derivative(x)))
          << exponent << " at " << x;
    }
  }
}

}  // namespace
}  // namespace velarix
