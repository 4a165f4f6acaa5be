#include "piecewise.hpp"
#include "probe.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "boundary.hpp"

namespace velarix {
namespace {

using testing::Probe;
using testing::probes;

struct Lookup {
  double x;
  double piece;
  double handed;
};

class ThreeKnots : public ::testing::TestWithParam<Lookup> {};

TEST_P(ThreeKnots, ChoosesPieceAndClampsAbscissa) {
  const auto curve = probes({0, 1, 2});
  EXPECT_EQ(curve.value(GetParam().x), GetParam().piece);
  EXPECT_EQ(curve.first_derivative(GetParam().x), GetParam().handed);
}

INSTANTIATE_TEST_SUITE_P(Rules, ThreeKnots,
                         ::testing::Values(Lookup{1, 1, 1}, Lookup{0.999, 0, 0.999},
                                           Lookup{2, 1, 2}, Lookup{0, 0, 0},
                                           Lookup{-5, 0, 0}, Lookup{7, 1, 2},
                                           Lookup{-std::numeric_limits<double>::infinity(), 0, 0},
                                           Lookup{std::numeric_limits<double>::infinity(), 1, 2}));

TEST(Piecewise, NanGoesToPieceZeroUnclamped) {
  const auto curve = probes({0, 1, 2});
  EXPECT_EQ(curve.value(std::nan("")), 0);
  EXPECT_TRUE(std::isnan(curve.first_derivative(std::nan(""))));
}

TEST(Piecewise, TwoKnotsUseOnePiece) {
  const auto curve = probes({0, 1});
  for (double x : {-5.0, 0.0, 0.5, 1.0, 7.0}) EXPECT_EQ(curve.value(x), 0);
  EXPECT_EQ(curve.domain(), std::make_pair(0.0, 1.0));
}

// The binary search agrees with a linear count on random sorted knots.
TEST(Piecewise, LocateCountsKnotsAtOrBelow) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> u(-10, 10);
  for (int trial = 0; trial < 200; ++trial) {
    Doubles knots(1 + trial % 37);
    for (double& k : knots) k = u(rng);
    std::sort(knots.begin(), knots.end());
    for (int q = 0; q < 50; ++q) {
      const double x = q % 5 == 0 ? knots[q % knots.size()] : u(rng);
      std::size_t count = 0;
      for (double k : knots) count += k <= x;
      EXPECT_EQ(locate(knots, x), count);
    }
  }
  EXPECT_EQ(locate(Doubles{1, 2}, std::nan("")), 0u);
}

TEST(Piecewise, BatchMatchesScalarAndMayAlias) {
  const auto curve = probes({-1, 0.5, 3});
  Doubles xs{-2, -1, 0.5, 1, 3, 4, std::nan("")};
  Doubles expected;
  for (double x : xs) expected.push_back(curve.second_derivative(x));
  curve.evaluate<Derivative::second>(xs, xs);  // in place
  for (std::size_t i = 0; i < xs.size(); ++i) {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(xs[i]), std::bit_cast<std::uint64_t>(expected[i]));
  }
  EXPECT_EQ(curve.domain(), std::make_pair(-1.0, 3.0));
}

TEST(Piecewise, RefusesBrokenShapes) {
  EXPECT_THROW(Piecewise<Probe>({0, 1, 2}, {Probe{0}}), InternalError);
  EXPECT_THROW(Piecewise<Probe>({0}, {}), InternalError);
}

TEST(EndSlopes, DebugTextEqualityAndResolution) {
  EXPECT_EQ(EndSlopes().debug_text(), "Estimated");
  EXPECT_EQ(EndSlopes::clamped(1, -2).debug_text(), "Clamped { left: 1.0, right: -2.0 }");
  EXPECT_EQ(EndSlopes::clamped(0.0, 1), EndSlopes::clamped(-0.0, 1));
  EXPECT_NE(EndSlopes::clamped(std::nan(""), 1), EndSlopes::clamped(std::nan(""), 1));
  EXPECT_NE(EndSlopes::estimated(), EndSlopes::clamped(0, 0));
  const auto estimate = [] { return std::make_pair(7.0, 8.0); };
  const Doubles x{0, 1, 2}, y{0, 2, 3};
  const Samples samples = Samples::create(x, y).value();
  EXPECT_EQ(EndSlopes().resolve(samples, estimate), std::make_pair(7.0, 8.0));
  EXPECT_EQ(EndSlopes::clamped(1, 2).resolve(samples, estimate), std::make_pair(1.0, 2.0));
  // Limited, on concave data: the left estimate may be steeper than its
  // secant, the right one may not.
  EXPECT_EQ(EndSlopes::limited().debug_text(), "Limited");
  EXPECT_NE(EndSlopes::limited(), EndSlopes::estimated());
  EXPECT_EQ(EndSlopes::limited().resolve(samples, estimate), std::make_pair(7.0, 1.0));
}

}  // namespace
}  // namespace velarix
