#include "tension/slopes.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "error.hpp"
#include "series.hpp"

namespace velarix::tension::slopes {
namespace {

constexpr double eps = std::numeric_limits<double>::epsilon();

using reference::series;

Samples samples(Doubles x, Doubles y) { return Samples::create(x, y).value(); }

class Coefficient : public ::testing::TestWithParam<double> {};

TEST_P(Coefficient, MatchesDefinitionAndIsDominant) {
  const double sigma = GetParam();
  const double h = 0.7;
  // d = sigma (sigma coshm - sinhm) / (h E), sd = sigma sinhm / (h E),
  // E = sigma sinh - 2 coshm, each expanded in its own series:
  // sigma coshm - sinhm = sum of (k - 1) sigma^k / k! over odd k >= 3 and
  // E = sum of (k - 2) sigma^k / k! over even k >= 4.
  const long double sm = series(sigma, 3, [](int) { return 1; });
  const long double numerator = series(sigma, 3, [](int k) { return k - 1; });
  const long double e = series(sigma, 4, [](int k) { return k - 2; });
  const auto [d, sd] = ypcoef(sigma, h);
  EXPECT_NEAR(d, static_cast<double>(sigma * numerator / (h * e)), 64 * eps * d);
  EXPECT_NEAR(sd, static_cast<double>(sigma * sm / (h * e)), 64 * eps * sd);
  EXPECT_GT(d, sd);
  EXPECT_GT(sd, 0);
  const auto [dn, sdn] = ypcoef(-sigma, h);
  EXPECT_EQ(dn, d);
  EXPECT_EQ(sdn, sd);
}

INSTANTIATE_TEST_SUITE_P(Tensions, Coefficient,
                         ::testing::Values(1e-9, 1e-3, 0.1, 0.5, 0.7, 3.0, 20.0, 85.0));

TEST(Coefficient, LimitsAndThreshold) {
  EXPECT_EQ(ypcoef(1e-10, 0.5).d, 4 / 0.5);
  EXPECT_EQ(ypcoef(1e-10, 0.5).sd, 2 / 0.5);
  const Coefficients at = ypcoef(0.5, 2.0), above = ypcoef(std::nextafter(0.5, 1.0), 2.0);
  EXPECT_NEAR(at.d, above.d, 256 * eps * at.d);
  EXPECT_NEAR(at.sd, above.sd, 256 * eps * at.sd);
  // sd -> 1/h while d grows without bound; nothing overflows.
  const Coefficients huge = ypcoef(1e8, 2.0);
  EXPECT_NEAR(huge.sd * 2.0, 1.0, 1e-7);
  EXPECT_NEAR(huge.d * 2.0, 1e8, 1e8 * 1e-7);
}

TEST(EstimatedEndSlopes, AreTheEndParabolasSlopes) {
  // y = 2 - x + 3 x^2 on uneven knots: y' = -1 + 6 x.
  const Doubles x{-1.0, -0.2, 0.5, 1.75, 3.0};
  Doubles y;
  for (double v : x) y.push_back(2 - v + 3 * v * v);
  const auto [left, right] = estimated_end_slopes(samples(x, y));
  EXPECT_NEAR(left, -7.0, 1e-13);
  EXPECT_NEAR(right, 17.0, 1e-13);

  const auto [l2, r2] = estimated_end_slopes(samples({0.0, 2.0}, {1.0, 4.0}));
  EXPECT_EQ(l2, 1.5);
  EXPECT_EQ(r2, 1.5);
  // Not limited: the last secant rises by 0.1 while the estimate falls.
  EXPECT_NEAR(estimated_end_slopes(samples({0, 1, 2, 3, 4}, {0, 0.1, 0.2, 3, 3.1})).second, -1.25,
              4 * eps);
}

TEST(Solve, TwoPointsIgnoreTheTensions) {
  const Doubles yp = solve(samples({0.0, 1.0}, {0.0, 1.0}), {}, 3.0, -2.0);
  EXPECT_EQ(yp, (Doubles{3.0, -2.0}));
}

TEST(Solve, LineKeepsItsSlopeForAnyTensions) {
  const Doubles x{0.0, 0.3, 1.0, 1.1, 2.5, 4.0};
  Doubles y;
  for (double v : x) y.push_back(1.5 - 0.75 * v);
  const Doubles tensions{0.0, 1e-5, 0.4, 2.0, 85.0};
  const Doubles yp = solve(samples(x, y), tensions, -0.75, -0.75);
  ASSERT_EQ(yp.size(), x.size());
  for (double v : yp) EXPECT_NEAR(v, -0.75, 4 * eps);
}

TEST(Solve, EndSlopesComeBackExactlyAndRowsHold) {
  const Samples data = samples({0, 1, 2.5, 3, 5}, {1, -1, 2, 2.5, 0});
  const Doubles tensions{0.0, 0.3, 7.0, 85.0};
  const Doubles yp = solve(data, tensions, 0.125, -3.5);
  EXPECT_EQ(yp.front(), 0.125);
  EXPECT_EQ(yp.back(), -3.5);
  const auto h = data.widths();
  const auto s = data.secants();
  for (std::size_t i = 1; i + 1 < yp.size(); ++i) {
    const Coefficients a = ypcoef(tensions[i - 1], h[i - 1]), b = ypcoef(tensions[i], h[i]);
    const double lhs = a.sd * yp[i - 1] + (a.d + b.d) * yp[i] + b.sd * yp[i + 1];
    const double rhs = (a.d + a.sd) * s[i - 1] + (b.d + b.sd) * s[i];
    EXPECT_NEAR(lhs, rhs, 1e-12 * std::fabs(rhs) + 1e-12);
  }
}

TEST(Solve, TooFewTensionsIsAnInternalFault) {
  EXPECT_THROW(solve(samples({0, 1, 2}, {0, 1, 0}), Doubles{0.0}, 0, 0), InternalError);
}

}  // namespace
}  // namespace velarix::tension::slopes
