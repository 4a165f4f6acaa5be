// The smoother's parts: shape names, the basis and its penalty, the piece,
// and the bounded quadratic programme.
#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <random>
#include <vector>

#include "cubic/piece.hpp"
#include "smoothing/active_set.hpp"
#include "smoothing/basis.hpp"
#include "smoothing/shape.hpp"

namespace velarix::smoothing {
namespace {

using cubic::CubicPiece;

struct Parsed {
  const char* text;
  Shape shape;
};

class ShapeNames : public ::testing::TestWithParam<Parsed> {};

TEST_P(ShapeNames, ParseInAnyOrderAndPrintCanonically) {
  const Result<Shape> parsed = parse_shape(GetParam().text);
  ASSERT_TRUE(parsed.ok()) << GetParam().text;
  EXPECT_EQ(parsed.value(), GetParam().shape);
  EXPECT_EQ(parse_shape(name(parsed.value())).value(), parsed.value());
}

INSTANTIATE_TEST_SUITE_P(
    Smoothing, ShapeNames,
    ::testing::Values(Parsed{"none", Shape::none}, Parsed{"auto", Shape::automatic},
                      Parsed{" increasing ", Shape::increasing},
                      Parsed{"concave", Shape::concave},
                      Parsed{"convex increasing", Shape::increasing_convex},
                      Parsed{"decreasing\tconcave", Shape::decreasing_concave}));

TEST(ShapeNames, RefuseRepeatsMixturesAndUnknownWords) {
  for (const char* text : {"", "  ", "increasing decreasing", "convex convex", "none convex",
                           "auto auto", "monotone", "Increasing"}) {
    const Result<Shape> parsed = parse_shape(text);
    ASSERT_FALSE(parsed.ok()) << text;
    EXPECT_EQ(message(parsed.error()),
              "shape must be 'none', 'increasing', 'decreasing', 'convex', 'concave', a "
              "direction and a curvature such as 'increasing convex', or 'auto'; got '" +
                  std::string(text) + "'");
  }
}

// Uneven breakpoints and their full knot vector (ends repeated four times).
const Doubles kBreaks = {-1.0, -0.4, 0.1, 0.15, 0.9, 2.0};

Doubles full_knots() {
  Doubles t(3, kBreaks.front());
  t.insert(t.end(), kBreaks.begin(), kBreaks.end());
  t.insert(t.end(), 3, kBreaks.back());
  return t;
}

// Marsden's identity: the cubic p(x) = a + b x + c x^2 + d x^3 has the
// coefficients of its blossom at the three inner knots of each function.
Doubles cubic_coefficients(double a, double b, double c, double d) {
  const Doubles t = full_knots();
  Doubles out;
  for (std::size_t j = 0; j + 4 < t.size(); ++j) {
    const double t1 = t[j + 1], t2 = t[j + 2], t3 = t[j + 3];
    out.push_back(a + b * (t1 + t2 + t3) / 3 + c * (t1 * t2 + t1 * t3 + t2 * t3) / 3 +
                  d * t1 * t2 * t3);
  }
  return out;
}

TEST(Basis, ValuesReproduceCubicsThroughMarsdensIdentity) {
  const Basis basis(kBreaks);
  const Doubles c = cubic_coefficients(1.0, 0.5, -2.0, 1.0);
  std::mt19937_64 rng(7);
  for (int i = 0; i < 200; ++i) {
    const std::size_t s = rng() % basis.segments();
    const double u = kBreaks[s] + (kBreaks[s + 1] - kBreaks[s]) * std::uniform_real_distribution<>(0, 1)(rng);
    double b[4];
    basis.values(s, u, b);
    EXPECT_NEAR(b[0] + b[1] + b[2] + b[3], 1.0, 1e-15);
    for (const double v : b) EXPECT_GE(v, 0.0);
    const double s_u = b[0] * c[s] + b[1] * c[s + 1] + b[2] * c[s + 2] + b[3] * c[s + 3];
    EXPECT_NEAR(s_u, 1 + 0.5 * u - 2 * u * u + u * u * u, 1e-13) << u;
  }
}

double penalty_of(const Basis& basis, const Doubles& c) {
  const Band band = basis.penalty_band();
  double sum = 0;
  for (std::size_t i = 0; i < c.size(); ++i) {
    for (std::size_t d = 0; d < 4 && i + d < c.size(); ++d) {
      sum += (d == 0 ? 1 : 2) * c[i] * band.upper(i, i + d) * c[i + d];
    }
  }
  return sum;
}

TEST(Basis, PenaltyIsTheIntegralOfTheSquaredCurvature) {
  const Basis basis(kBreaks);
  // Lines have no curvature; x^3 has integral (6x)^2 = 12 (b^3 - a^3).
  EXPECT_NEAR(penalty_of(basis, cubic_coefficients(3.0, -2.0, 0, 0)), 0.0, 1e-11);
  const double a = kBreaks.front(), b = kBreaks.back();
  EXPECT_NEAR(penalty_of(basis, cubic_coefficients(0, 0, 0, 1)), 12 * (b * b * b - a * a * a),
              1e-11);
  // x^2 - x^3: S'' = 2 - 6x, integral 4 (b - a) - 12 (b^2 - a^2) + 12 (b^3 - a^3).
  EXPECT_NEAR(penalty_of(basis, cubic_coefficients(0, 0, 1, -1)),
              4 * (b - a) - 12 * (b * b - a * a) + 12 * (b * b * b - a * a * a), 1e-11);
}

struct Cubic {
  double x0, step, a, b, c, d;  // p(x) = a + b s + c s^2 + d s^3, s = x - x0
  double p(double x) const { const double s = x - x0; return a + s * (b + s * (c + s * d)); }
  double dp(double x) const { const double s = x - x0; return b + s * (2 * c + 3 * s * d); }
  double ddp(double x) const { return 2 * c + 6 * d * (x - x0); }
  double ip(double x) const {
    const double s = x - x0;
    return s * (a + s * (b / 2 + s * (c / 3 + s * d / 4)));
  }
  // The right knot as a double, and the width as the fit takes it from knots.
  double x1() const { return x0 + step; }
  double h() const { return x1() - x0; }
  CubicPiece piece() const { return CubicPiece(x0, h(), p(x0), p(x1()), ddp(x0), ddp(x1())); }
};

class Pieces : public ::testing::TestWithParam<Cubic> {};

TEST_P(Pieces, MomentFormIsTheCubicItsEndsDetermine) {
  const Cubic& q = GetParam();
  const CubicPiece piece = q.piece();
  const double h = q.h();
  const double scale = std::fabs(q.a) + std::fabs(q.b * h) + std::fabs(q.c * h * h) +
                       std::fabs(q.d * h * h * h);
  EXPECT_EQ(piece.value(q.x0), q.p(q.x0));  // exact at the left knot
  EXPECT_EQ(piece.second_derivative(q.x0), q.ddp(q.x0));
  EXPECT_EQ(piece.second_derivative(q.x1()), q.ddp(q.x1()));
  for (int i = 0; i <= 16; ++i) {
    const double x = q.x0 + h * i / 16.0;
    EXPECT_NEAR(piece.value(x), q.p(x), 1e-14 * scale);
    EXPECT_NEAR(piece.first_derivative(x), q.dp(x), 1e-13 * scale / h);
    EXPECT_NEAR(piece.second_derivative(x), q.ddp(x), 1e-13 * scale / (h * h));
    EXPECT_NEAR(piece.antiderivative(x), q.ip(x), 1e-14 * scale * h);
  }
}

INSTANTIATE_TEST_SUITE_P(Smoothing, Pieces,
                         ::testing::Values(Cubic{0, 1, 1, -2, 3, -4}, Cubic{-3, 0.25, 5, 0, 0, 7},
                                           Cubic{1e6, 1e-3, -2, 1e3, 0, -1e8},
                                           Cubic{2, 10, 0, 0, 1, 0}));

}  // namespace
}  // namespace velarix::smoothing
