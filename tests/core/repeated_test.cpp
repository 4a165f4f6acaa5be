// The pieces' repeated integrals: the first is the antiderivative to the bit,
// each vanishes at the left knot and is the derivative of the next, inside
// the interval and just beyond it, in every form of every piece. The curves'
// orders are checked against mpmath in tests/python/test_antiderivatives.py.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

#include "quintic/piece.hpp"
#include "rational_cubic/piece.hpp"
#include "repeated.hpp"
#include "cubic/piece.hpp"
#include "tension/piece.hpp"
#include "variable_degree/piece.hpp"

namespace velarix {
namespace {

template <class P>
void expect_repeated_rules(const P& piece, double x0, double h) {
  const auto f = piece.primitive();
  const auto at = [&](int n, double x) { return piece.repeated_integral(f, n, x); };
  const double fractions[] = {-0.05, 0, 1e-3, 0.3, 0.5, 0.77, 1, 1.05};
  for (int n = 2; n <= highest_antiderivative; ++n) {
    EXPECT_NEAR(at(n, x0), 0.0, 1e-15);
    double size = 1;
    for (const double t : fractions) {
      const double below = at(n - 1, x0 + t * h);
      if (std::isfinite(below)) size = std::max(size, std::fabs(below));
    }
    for (const double t : fractions) {
      const double x = x0 + t * h;
      // Beyond a pole of a quotient just past the knots every order is NaN.
      if (std::isnan(at(1, x))) {
        EXPECT_TRUE(std::isnan(at(n, x)));
        continue;
      }
      const double d = 1e-6 * h;
      const double slope = (at(n, x + d) - at(n, x - d)) / (2 * d);
      EXPECT_NEAR(slope, at(n - 1, x), 1e-7 * size) << "n = " << n << ", t = " << t;
      EXPECT_EQ(std::bit_cast<std::uint64_t>(at(1, x)),
                std::bit_cast<std::uint64_t>(piece.antiderivative(f, x)));
    }
  }
}

TEST(RepeatedIntegral, EveryPieceForm) {
  expect_repeated_rules(quintic::QuinticPiece(0.5, 1.7, {1.0, 2.5, 1.25, 0.4, -0.3, 2.0, -1.0}),
                        0.5, 1.2);
  // The tension piece's cubic, hyperbolic, symmetric exponential, exponential
  // and steep forms.
  for (const double sigma : {0.0, 0.3, 3.0, 20.0, 200.0}) {
    expect_repeated_rules(tension::TensionPiece(0.5, 1.2, 1.0, 2.5, 0.2, 3.1, sigma), 0.5, 1.2);
  }
  // The rational cubic's power form with near and far poles, and its chord form.
  for (const double w : {0.0, 0.05, 2.0, 40.0}) {
    using rational_cubic::RationalCubicPiece;
    const auto piece = RationalCubicPiece::from_interval(1.0, 2.5, 0.4, 2.9, 0.5, 1.2, 1, 1.5, w);
    expect_repeated_rules(piece, 0.5, 1.2);
  }
  expect_repeated_rules(
      rational_cubic::RationalCubicPiece::in_chord_form(1.0, 2.5, 0.4, 2.9, 0.5, 1.2, 1, 1, 3.0),
      0.5, 1.2);
  for (const double k : {3.0, 4.0, 7.5}) {
    expect_repeated_rules(variable_degree::VariableDegreePiece(0.5, 1.2, 1.0, 2.5, 0.7, -1.3, k),
                          0.5, 1.2);
  }
  expect_repeated_rules(cubic::CubicPiece(0.5, 1.2, 1.0, 2.5, 0.7, -1.3), 0.5, 1.2);
}

}  // namespace
}  // namespace velarix
