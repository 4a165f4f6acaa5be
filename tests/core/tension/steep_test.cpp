#include <gtest/gtest.h>

#include <cmath>
#include <variant>

#include "tension/piece.hpp"

namespace velarix::tension {
namespace {

// The exponential form in long double with exact local coordinates
// b1 = (x1 - x) / h and b2 = (x - x0) / h: the reference the double
// evaluation must meet near both knots and in the middle.
struct Reference {
  long double x0, x1, y0, s, d1, d2, sigma;

  long double h() const { return x1 - x0; }
  struct Terms {
    long double b1, b2, e1, e2, ems, tm, e;
  };
  Terms at(long double x) const {
    const long double b1 = (x1 - x) / h(), b2 = (x - x0) / h(), ems = std::exp(-sigma);
    const long double tm = 1 - ems;
    return {b1, b2, std::exp(-sigma * b1), std::exp(-sigma * b2), ems, tm,
            tm * (sigma * (ems + 1) - 2 * tm)};
  }
  long double value(long double x) const {
    const auto [b1, b2, e1, e2, ems, tm, e] = at(x);
    const long double bend = (d1 + d2) * tm * ((ems + 1) - e1 - e2) +
                             sigma * (d1 * (e2 + (e1 - 2) * ems - b1 * tm * tm) +
                                      d2 * (e1 + (e2 - 2) * ems - b2 * tm * tm));
    return y0 + s * (x - x0) + h() * bend / (sigma * e);
  }
  long double first(long double x) const {
    const auto [b1, b2, e1, e2, ems, tm, e] = at(x);
    return s + (tm * ((d1 + d2) * (e2 - e1) + tm * (d1 - d2)) +
                sigma * (d1 * (e1 * ems - e2) + d2 * (e1 - e2 * ems))) /
                   e;
  }
  long double second(long double x) const {
    const auto [b1, b2, e1, e2, ems, tm, e] = at(x);
    return sigma * (sigma * (d1 * (e2 + e1 * ems) + d2 * (e1 + e2 * ems)) - (d1 + d2) * (e1 + e2) * tm) /
           (h() * e);
  }
};

constexpr double x0 = 1.0, x1 = 1.75, y0 = 0.3, y1 = 1.1, yp0 = 2.0, yp1 = -0.5;

// Abscissae approaching both knots geometrically, and the middle.
std::vector<double> probes() {
  std::vector<double> xs{x0 + 0.5 * (x1 - x0)};
  for (double k = 2; k <= 12; ++k) {
    xs.push_back(x0 + (x1 - x0) * std::pow(10.0, -k));
    xs.push_back(x1 - (x1 - x0) * std::pow(10.0, -k));
  }
  return xs;
}

double relative(double got, long double want, long double scale) {
  return static_cast<double>(std::fabs(got - want) / scale);
}

class SteepPiece : public ::testing::TestWithParam<double> {};

// Value, S' and S'' agree with the long double reference to 1e-13 of their
// size (the value to 1e-14 of the data's scale) at every probe, for tensions up to
// 1e8, where 1 - b2 alone would cost 1e-8 of S'' near the right knot.
TEST_P(SteepPiece, MatchesHighPrecisionNearBothKnots) {
  const double sigma = GetParam();
  const TensionPiece piece(x0, x1, x1 - x0, y0, y1, yp0, yp1, sigma,
                           TensionPiece::form_for(sigma));
  EXPECT_EQ(std::holds_alternative<TensionPiece::Steep>(piece.form()), sigma > steep_above);
  const long double s = (static_cast<long double>(y1) - y0) / (x1 - x0);
  const Reference ref{x0, x1, y0, s, s - yp0, yp1 - s, sigma};
  for (const double x : probes()) {
    const long double second = ref.second(x);
    EXPECT_LT(relative(piece.value(x), ref.value(x), 1), 1e-14) << sigma << " " << x;
    EXPECT_LT(relative(piece.first_derivative(x), ref.first(x), std::fabs(ref.first(x)) + 1e-300),
              1e-13)
        << sigma << " " << x;
    EXPECT_LT(relative(piece.second_derivative(x), second, std::fabs(second) + 1e-300), 1e-13)
        << sigma << " " << x;
  }
}

INSTANTIATE_TEST_SUITE_P(UpTo1e8, SteepPiece,
                         ::testing::Values(1.0, 20.0, 85.0, 86.0, 1e3, 1e5, 1e8));

// 85 keeps the exponential form and its arithmetic; the next double up is
// measured from the right knot and still describes the same curve.
TEST(SteepPiece, TakesOverJustAbove85) {
  const double above = std::nextafter(steep_above, 100.0);
  const TensionPiece at(x0, x1, x1 - x0, y0, y1, yp0, yp1, steep_above,
                        TensionPiece::form_for(steep_above));
  const TensionPiece past(x0, x1, x1 - x0, y0, y1, yp0, yp1, above, TensionPiece::form_for(above));
  EXPECT_TRUE(std::holds_alternative<TensionPiece::Exponential>(at.form()));
  EXPECT_TRUE(std::holds_alternative<TensionPiece::Steep>(past.form()));
  for (const double x : probes()) {
    EXPECT_NEAR(at.second_derivative(x), past.second_derivative(x),
                1e-12 * std::fabs(at.second_derivative(x1)));
  }
}

}  // namespace
}  // namespace velarix::tension
