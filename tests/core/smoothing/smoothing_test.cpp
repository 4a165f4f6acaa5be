// The smoothing fit: what it reproduces, the shapes it keeps, its scaling,
// its continuity, its refusals and its saved states.
#include "smoothing/smoothing.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "smoothing/state.hpp"

namespace velarix::smoothing {
namespace {

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

// Uneven x on [0, 1] and a truth of each shape with normal noise of 5 % of
// its range.
struct Noisy {
  Doubles x;
  Doubles y;
};

double truth(Shape shape, double x) {
  switch (shape) {
    case Shape::increasing: return std::tanh(8 * (x - 0.5));
    case Shape::decreasing: return -std::tanh(8 * (x - 0.3));
    case Shape::convex: return (x - 0.4) * (x - 0.4);
    case Shape::concave: return -std::cosh(2 * (x - 0.6));
    // Flat where the slope's bound sits (the left end when S' grows away
    // from 0, the right end when it shrinks to 0), so that noise there pulls
    // against the bound.
    case Shape::increasing_convex: return x * x;
    case Shape::increasing_concave: return 1 - (1 - x) * (1 - x);
    case Shape::decreasing_convex: return (1 - x) * (1 - x);
    case Shape::decreasing_concave: return -x * x;
    default: return std::sin(6 * x);
  }
}

Noisy noisy(Shape shape, std::size_t n, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<> uniform(0, 1);
  std::normal_distribution<> normal;
  Noisy data;
  for (std::size_t i = 0; i < n; ++i) data.x.push_back(std::pow(uniform(rng), 1.5));
  std::sort(data.x.begin(), data.x.end());
  double lo = INFINITY, hi = -INFINITY;
  for (double x : data.x) lo = std::min(lo, truth(shape, x)), hi = std::max(hi, truth(shape, x));
  for (double x : data.x) data.y.push_back(truth(shape, x) + 0.05 * (hi - lo) * normal(rng));
  return data;
}

Smoother with_shape(Shape shape) {
  Smoother config;
  config.shape = shape;
  return config;
}

class Shapes : public ::testing::TestWithParam<Shape> {};

// The values never turn back against a direction (beyond rounding of the
// values themselves) and S'' has the curvature's sign at every knot, hence
// between them, exactly.
TEST_P(Shapes, NoisyDataNeverBreakTheShape) {
  const Shape shape = GetParam();
  for (unsigned seed = 1; seed <= 4; ++seed) {
    const Noisy data = noisy(shape, 40 + 150 * seed, seed);
    const SmoothingSpline spline = with_shape(shape).fit(data.x, data.y).value();
    EXPECT_EQ(spline.choice().shape, shape);
    EXPECT_TRUE(spline.is_shape_preserving());
    const int s = direction(shape);
    const int m = curvature(shape);
    double previous = spline.value(0);
    for (int i = 1; i <= 4000; ++i) {
      const double v = spline.value(data.x.back() * i / 4000.0);
      EXPECT_GE(s * (v - previous), -1e-15 * std::fabs(v)) << seed << " at " << i;
      previous = v;
    }
    for (const double knot : spline.curve().knots()) EXPECT_GE(m * spline.second_derivative(knot), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Smoothing, Shapes,
                         ::testing::Values(Shape::increasing, Shape::decreasing, Shape::convex,
                                           Shape::concave, Shape::increasing_convex,
                                           Shape::increasing_concave, Shape::decreasing_convex,
                                           Shape::decreasing_concave));

// S'' is shared by the pieces beside a knot; S and S' agree to rounding.
TEST(Smoothing, CurveIsTwiceContinuousAtEveryKnot) {
  const Noisy data = noisy(Shape::none, 300, 5);
  const SmoothingSpline spline = Smoother{}.fit(data.x, data.y).value();
  const auto pieces = spline.curve().pieces();
  const auto knots = spline.curve().knots();
  for (std::size_t j = 1; j < pieces.size(); ++j) {
    const CubicPiece& left = pieces[j - 1];
    const CubicPiece& right = pieces[j];
    EXPECT_EQ(bits(left.second_derivative(knots[j])), bits(right.second_derivative(knots[j])));
    EXPECT_NEAR(left.value(knots[j]), right.value(knots[j]), 1e-14);
    EXPECT_NEAR(left.first_derivative(knots[j]), right.first_derivative(knots[j]), 1e-10);
  }
}

Smoother segments(std::uint64_t count);

// Cubics lie in the spline space and lines in the penalty's null space: a
// cubic comes back at a small lam, a line at any lam.
TEST(Smoothing, ReproducesCubicsAndLines) {
  const Noisy data = noisy(Shape::none, 60, 3);
  Doubles cubic, line;
  for (double x : data.x) {
    cubic.push_back(1 - 2 * x + 3 * x * x - 4 * x * x * x);
    line.push_back(2.5 - 7 * x);
  }
  // Fewer segments than points keep the normal matrix itself regular, so that
  // the tiny lam costs no precision.
  Smoother config = segments(10);
  config.lam = 1e-20;
  const SmoothingSpline c = config.fit(data.x, cubic).value();
  config.lam = 1e6;
  const SmoothingSpline l = config.fit(data.x, line).value();
  for (std::size_t i = 0; i < data.x.size(); ++i) {
    EXPECT_NEAR(c.value(data.x[i]), cubic[i], 1e-12);
    EXPECT_NEAR(l.value(data.x[i]), line[i], 1e-12);
  }
}

// Scaling x, y and the weights by powers of two scales the problem exactly:
// the pieces scale bit for bit and lam takes the factor of w x^3.
TEST(Smoothing, PowerOfTwoUnitsGiveTheSameFitBitForBit) {
  const Noisy data = noisy(Shape::increasing_concave, 400, 9);
  Doubles w(data.x.size());
  for (std::size_t i = 0; i < w.size(); ++i) w[i] = 0.5 + (i % 7) / 4.0;
  const Smoother config = with_shape(Shape::increasing_concave);
  const SmoothingSpline base = config.fit(data.x, data.y, w).value();
  Doubles x = data.x, y = data.y, w2 = w;
  for (double& v : x) v = std::ldexp(v, -20);
  for (double& v : y) v = std::ldexp(v, 33);
  for (double& v : w2) v = std::ldexp(v, 5);
  const SmoothingSpline scaled = config.fit(x, y, w2).value();
  EXPECT_EQ(bits(scaled.choice().lam), bits(std::ldexp(base.choice().lam, -60 + 5)));
  EXPECT_EQ(bits(scaled.choice().edf), bits(base.choice().edf));
  ASSERT_EQ(scaled.intervals(), base.intervals());
  for (std::size_t j = 0; j < base.intervals(); ++j) {
    const auto a = base.curve().pieces()[j].fields();
    const auto b = scaled.curve().pieces()[j].fields();
    EXPECT_EQ(bits(b[0]), bits(std::ldexp(a[0], -20)));  // x0
    EXPECT_EQ(bits(b[2]), bits(std::ldexp(a[2], 33)));   // y0
    EXPECT_EQ(bits(b[4]), bits(std::ldexp(a[4], 73)));   // m0 = S'' in y / x^2
  }
}

// The objective weighs each point's squared residual: a weight of 2 is the
// point twice, a weight of 0 the point left out (at a given lam and knots,
// which the points of weight 0 do not choose then).
TEST(Smoothing, WeightsCountPointsAsTheObjectiveSays) {
  const Noisy data = noisy(Shape::none, 80, 12);
  Smoother config = with_shape(Shape::increasing_concave);
  config.lam = 3e-4;
  config.knots = Doubles{0.1, 0.2, 0.4, 0.7};
  Doubles w(data.x.size(), 1.0), twice_x = data.x, twice_y = data.y, kept_x, kept_y;
  for (std::size_t i = 0; i < w.size(); i += 5) {
    w[i] = 2;
    twice_x.push_back(data.x[i]);
    twice_y.push_back(data.y[i]);
  }
  Doubles holes(data.x.size(), 1.0);
  for (std::size_t i = 0; i < holes.size(); ++i) {
    if (i % 3 == 2) {
      holes[i] = 0;  // never the first or the last point, which set the domain
    } else {
      kept_x.push_back(data.x[i]);
      kept_y.push_back(data.y[i]);
    }
  }
  const SmoothingSpline weighted = config.fit(data.x, data.y, w).value();
  const SmoothingSpline repeated = config.fit(twice_x, twice_y).value();
  const SmoothingSpline holed = config.fit(data.x, data.y, holes).value();
  const SmoothingSpline kept = config.fit(kept_x, kept_y).value();
  for (int i = 0; i <= 100; ++i) {
    const double x = data.x.front() + (data.x.back() - data.x.front()) * i / 100;
    EXPECT_NEAR(weighted.value(x), repeated.value(x), 1e-12);
    EXPECT_NEAR(holed.value(x), kept.value(x), 1e-12);
  }
}

TEST(Smoothing, OrderOfThePointsDoesNotMatter) {
  const Noisy data = noisy(Shape::convex, 200, 4);
  Doubles x = data.x, y = data.y;
  std::reverse(x.begin(), x.end());
  std::reverse(y.begin(), y.end());
  const Smoother config = with_shape(Shape::convex);
  const SmoothingSpline sorted = config.fit(data.x, data.y).value();
  const SmoothingSpline reversed = config.fit(x, y).value();
  for (int i = 0; i <= 100; ++i) EXPECT_EQ(bits(sorted.value(i / 100.0)), bits(reversed.value(i / 100.0)));
}

// 2 % of the points moved by half the range: the robust fit stays near the
// truth, the plain one does not. (Against the truth, not against the fit of
// the clean data: with a knot at every point, GCV's choice for the clean
// data moves by a factor of two between nearby data, and that fit with it.)
TEST(Smoothing, RobustFitResistsOutliers) {
  const Noisy data = noisy(Shape::increasing, 500, 8);
  Doubles dirty = data.y;
  for (std::size_t i = 3; i < dirty.size(); i += 50) dirty[i] += 1.0;
  const Smoother config = with_shape(Shape::increasing);
  Smoother robust = config;
  robust.robust = true;
  const SmoothingSpline plain = config.fit(data.x, dirty).value();
  const SmoothingSpline resistant = robust.fit(data.x, dirty).value();
  double plain_error = 0, robust_error = 0;
  for (int i = 0; i <= 200; ++i) {
    const double x = data.x.back() * i / 200.0;
    const double t = truth(Shape::increasing, x);
    plain_error += (plain.value(x) - t) * (plain.value(x) - t);
    robust_error += (resistant.value(x) - t) * (resistant.value(x) - t);
  }
  EXPECT_LT(robust_error, 0.4 * plain_error);
}

// Knots crowded to 1/40000 of the range make the penalty huge beside the
// data's weight: the degrees of freedom still lie between the line's 2 and
// the coefficient count, and fall as lambda grows.
TEST(Smoothing, DegreesOfFreedomStayBetweenTheLineAndTheCoefficients) {
  Doubles x, y(24, -0.0078125);
  for (int i = 1; i <= 11; ++i) x.push_back(26.5 * i);
  for (int i = 0; i < 5; ++i) x.push_back(318);
  for (const double at : {0.0078125, 0.1640625, 0.171875, 0.1796875, 0.1875, 0.1953125,
                          0.203125, 0.2109375}) {
    x.push_back(318 + at);
  }
  y[8] = -0.015625, y[9] = -0.03125, y[10] = -4.9406564584124654e-324, y[22] = y[23] = 0;
  Smoother config;
  config.robust = true;
  config.segments = 46;
  EXPECT_GE(config.fit(x, y).value().choice().edf, 2 - 1e-6);
  config.robust = false;
  double previous = INFINITY;
  for (const double lam : {1e-4, 1e-2, 1.0, 1e4, 1e12, 1e200}) {
    config.lam = lam;
    const SmoothingSpline spline = config.fit(x, y).value();
    const double edf = spline.choice().edf;
    EXPECT_GE(edf, 2 - 1e-6) << lam;
    EXPECT_LE(edf, previous * (1 + 1e-9)) << lam;
    EXPECT_LE(edf, static_cast<double>(spline.curve().knots().size() + 2)) << lam;
    previous = edf;
  }
}

TEST(Smoothing, AutomaticShapeFindsTheTruthsShape) {
  for (const Shape shape : {Shape::increasing_convex, Shape::decreasing_concave, Shape::convex}) {
    const Noisy data = noisy(shape, 500, 2);
    const SmoothingSpline spline = with_shape(Shape::automatic).fit(data.x, data.y).value();
    EXPECT_EQ(spline.choice().shape, shape);
  }
}

struct Refusal {
  std::string what;
  Smoother config;
  Doubles x, y, w;
  bool weighted;
  std::string message;
};

Smoother lam(double value) {
  Smoother c;
  c.lam = value;
  return c;
}
Smoother knots(Doubles k) {
  Smoother c;
  c.knots = std::move(k);
  return c;
}
Smoother segments(std::uint64_t count) {
  Smoother c;
  c.segments = count;
  return c;
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const Doubles kX = {0, 1, 2, 3};
const Doubles kY = {1, 0, 2, 1};

class Refusals : public ::testing::TestWithParam<Refusal> {};

TEST_P(Refusals, NameTheInputAndTheValue) {
  const Refusal& r = GetParam();
  const Result<SmoothingSpline> fitted = r.weighted ? r.config.fit(r.x, r.y, r.w) : r.config.fit(r.x, r.y);
  ASSERT_FALSE(fitted.ok()) << r.what;
  EXPECT_EQ(message(fitted.error()), r.message) << r.what;
}

INSTANTIATE_TEST_SUITE_P(
    Smoothing, Refusals,
    ::testing::Values(
        Refusal{"lam", lam(-1), kX, kY, {}, false, "smoothing setting `lam` must be finite and > 0, got -1"},
        Refusal{"lam nan", lam(kNaN), kX, kY, {}, false, "smoothing setting `lam` must be finite and > 0, got NaN"},
        Refusal{"knots order", knots({2, 1}), kX, kY, {}, false,
                "knots[1] must be greater than the knot before it, got 1"},
        Refusal{"knots outside", knots({1, 3}), kX, kY, {}, false,
                "knots[1] must be strictly inside the range of x and apart from its neighbours "
                "by more than 1e-10 of that range, got 3"},
        Refusal{"lengths", {}, kX, {1, 2}, {}, false, "x and y must have the same length (got 4 and 2)"},
        Refusal{"weights", {}, kX, kY, {1, 1}, true,
                "weights must have one entry per data point (got 2 for 4 points)"},
        Refusal{"x", {}, {0, kNaN, 2, 3}, kY, {}, false, "x[1] must be finite, got NaN"},
        Refusal{"y", {}, kX, {1, 0, INFINITY, 1}, {}, false, "y[2] must be finite, got inf"},
        Refusal{"negative weight", {}, kX, kY, {1, 1, -0.5, 1}, true, "weights[2] must be >= 0, got -0.5"},
        Refusal{"too few", {}, kX, kY, {1, 0, 0, 1}, true,
                "smoothing needs at least 3 distinct x with positive weight, got 2"},
        Refusal{"ties", {}, {0, 0, 1, 1}, kY, {}, false,
                "smoothing needs at least 3 distinct x with positive weight, got 2"},
        Refusal{"extreme x", {}, {0, 1e-200, 2e-200, 3e-200}, kY, {}, false,
                "the smoothing fit cannot be carried out in doubles: its lam is beyond the "
                "range of doubles in these units of x and weights"}));

TEST(Smoothing, StatesRestoreTheSameBitsAndRefuseAutomaticSplines) {
  const Noisy data = noisy(Shape::decreasing_convex, 100, 6);
  Smoother config = with_shape(Shape::decreasing_convex);
  config.knots = Doubles{0.1, 0.3, 0.35, 0.8};
  config.robust = true;
  EXPECT_EQ(state::load<Smoother>(state::save(config)).value(), config);
  const SmoothingSpline spline = config.fit(data.x, data.y).value();
  const state::Bytes saved = state::save(spline);
  const SmoothingSpline restored = state::load<SmoothingSpline>(saved).value();
  EXPECT_EQ(restored.choice(), spline.choice());
  EXPECT_EQ(state::save(restored), saved);
  for (int i = -10; i <= 110; ++i) EXPECT_EQ(bits(restored.value(i / 100.0)), bits(spline.value(i / 100.0)));
  // A spline never has the automatic shape: a state claiming it is refused.
  SmoothingSpline forged(Piecewise<CubicPiece>(Doubles(spline.curve().knots().begin(),
                                                       spline.curve().knots().end()),
                                               Vector<CubicPiece>(spline.curve().pieces().begin(),
                                                                  spline.curve().pieces().end())),
                         Choice{1, 2, 3, Shape::automatic, 0});
  const Result<SmoothingSpline> refused = state::load<SmoothingSpline>(state::save(forged));
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(message(refused.error()).substr(0, 41), "invalid saved state: tag out of range at ");
}

}  // namespace
}  // namespace velarix::smoothing
