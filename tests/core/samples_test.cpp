#include "samples.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace velarix {
namespace {

struct Refusal {
  Doubles x;
  Doubles y;
  std::string message;
};

class SamplesRefuse : public ::testing::TestWithParam<Refusal> {};

TEST_P(SamplesRefuse, WithTheExactMessage) {
  const auto result = Samples::create(GetParam().x, GetParam().y);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(message(result.error()), GetParam().message);
  const auto borrowed = Samples::borrow(GetParam().x, GetParam().y);
  ASSERT_FALSE(borrowed.ok());
  EXPECT_EQ(message(borrowed.error()), GetParam().message);
  // Knots checked once, then a curve's values on them: the same refusal
  // (but for a length compared with knots that are refused first).
  const Result<CheckedKnots> knots = CheckedKnots::check(GetParam().x);
  const Error apart = knots ? Samples::borrow(knots.value(), GetParam().y).error() : knots.error();
  if (knots || GetParam().x.size() == GetParam().y.size()) {
    EXPECT_EQ(message(apart), GetParam().message);
  }
  // The two halves, which the NumPy layer calls on the knots and on all the
  // values apart, refuse what create refuses, in its order.
  if (GetParam().x.size() != GetParam().y.size()) return;
  std::optional<Error> half = Samples::check_knots(GetParam().x);
  if (!half) half = Samples::check_values(GetParam().y);
  ASSERT_TRUE(half.has_value());
  EXPECT_EQ(message(*half), GetParam().message);
}

const double nan = std::numeric_limits<double>::quiet_NaN();
const double inf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Examples, SamplesRefuse,
    ::testing::Values(
        Refusal{{0, 1}, {5}, "x and y must have the same length (got 2 and 1)"},
        Refusal{{}, {}, "need at least 2 data points, got 0"},
        Refusal{{1}, {2}, "need at least 2 data points, got 1"},
        Refusal{{0}, {}, "x and y must have the same length (got 1 and 0)"},
        Refusal{{0, 1, 1, 2}, {0, 0, 0, 0},
                "x must be strictly increasing; x[1] = 1 is not < x[2] = 1"},
        Refusal{{0, 2, 1.5, 1}, {0, 0, 0, 0},
                "x must be strictly increasing; x[1] = 2 is not < x[2] = 1.5"},
        Refusal{{0.5, 0.25}, {0, 0},
                "x must be strictly increasing; x[0] = 0.5 is not < x[1] = 0.25"},
        // A NaN knot would leave a spline that cannot be located; it is
        // refused at its first pair.
        Refusal{{0, nan, 2}, {0, 0, 0},
                "x must be strictly increasing; x[0] = 0 is not < x[1] = NaN"},
        Refusal{{nan, 1}, {0, 0},
                "x must be strictly increasing; x[0] = NaN is not < x[1] = 1"},
        Refusal{{0, 1e21}, {0, 0, 0}, "x and y must have the same length (got 2 and 3)"},
        // Order first: an infinite knot out of order keeps the order refusal.
        Refusal{{0, inf, 1}, {0, 0, 0}, "x must be strictly increasing; x[1] = inf is not < x[2] = 1"},
        Refusal{{-inf, 0, 1}, {0, 0, 0}, "x must be finite; x[0] = -inf is not"},
        Refusal{{0, 1, inf}, {0, 0, 0}, "x must be finite; x[2] = inf is not"},
        Refusal{{-1, 0, 5e-324, 1}, {0, 0, 0, 0},
                "x[1] = 0 and x[2] = 5e-324 are too close together: their difference is "
                "subnormal"},
        Refusal{{-1e308, 1e308, 1.5e308}, {0, 0, 0},
                "x[0] = -1e308 and x[1] = 1e308 are too far apart: their difference overflows"}));

TEST(Samples, DerivesWidthsAndSecants) {
  const Doubles x{0, 0.5, 2};
  const Doubles y{1, 2, -1};
  const auto samples = Samples::create(x, y);
  ASSERT_TRUE(samples.ok());
  const Samples& s = samples.value();
  EXPECT_EQ(Doubles(s.widths().begin(), s.widths().end()), (Doubles{0.5, 1.5}));
  EXPECT_EQ(Doubles(s.secants().begin(), s.secants().end()), (Doubles{2.0, -2.0}));
  EXPECT_EQ(s.size(), 3u);
  EXPECT_EQ(s.intervals(), 2u);
  // create keeps copies, which a move carries along; borrow reads the
  // caller's arrays.
  EXPECT_NE(s.x().data(), x.data());
  Samples moved = std::move(Samples::create(x, y)).value();
  EXPECT_EQ(Doubles(moved.x().begin(), moved.x().end()), x);
  EXPECT_EQ(Doubles(moved.y().begin(), moved.y().end()), y);
  const auto borrowed = Samples::borrow(x, y);
  EXPECT_EQ(borrowed.value().x().data(), x.data());
  EXPECT_EQ(borrowed.value().y().data(), y.data());
  EXPECT_EQ(Doubles(borrowed.value().secants().begin(), borrowed.value().secants().end()),
            (Doubles{2.0, -2.0}));
}

// The values are checked after the knots; the first non-finite one is named.
TEST(Samples, RefusesNonFiniteValuesAfterTheKnots) {
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(message(Samples::create(Doubles{0, 1, 2}, Doubles{0, -inf, nan}).error()),
            "y[1] must be finite, got -inf");
  EXPECT_EQ(message(Samples::create(Doubles{0, 0}, Doubles{nan, 1}).error()),
            "x must be strictly increasing; x[0] = 0 is not < x[1] = 0");
}

// The intervals are checked two at a time with a single one left over: every
// position of a fault, on an even and an odd count, names its own index, and
// the widths and secants are those of one interval at a time.
TEST(Samples, NamesEveryPositionAndDerivesEveryInterval) {
  for (const std::size_t n : {6u, 7u}) {
    Doubles x(n), y(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = 0.3 * (i * i) + 0.1 * i, y[i] = std::sin(x[i]) * 7;
    const Samples s = Samples::create(x, y).value();
    const CheckedKnots knots = CheckedKnots::check(x).value();
    const Samples on = Samples::borrow(knots, y).value();
    EXPECT_TRUE(on.extremes().narrow == s.extremes().narrow && on.extremes().wide == s.extremes().wide &&
                on.extremes().largest == s.extremes().largest);
    for (std::size_t i = 0; i + 1 < n; ++i) {
      EXPECT_TRUE(s.widths()[i] == x[i + 1] - x[i] && s.secants()[i] == (y[i + 1] - y[i]) / s.widths()[i]);
      EXPECT_TRUE(on.widths()[i] == s.widths()[i] && on.secants()[i] == s.secants()[i]);
    }
    for (std::size_t k = 0; k < n; ++k) {
      const std::string at = "x[" + std::to_string(k) + "] = ";
      Doubles bad = y, back = x, close(n);
      for (const double v : {inf, nan}) {
        bad[k] = v;
        EXPECT_EQ(message(Samples::create(x, bad).error()),
                  "y[" + std::to_string(k) + "] must be finite, got " + (v == inf ? "inf" : "NaN"));
        EXPECT_EQ(message(Samples::borrow(knots, bad).error()),
                  message(Samples::create(x, bad).error()));
      }
      if (k + 1 == n) continue;
      back[k + 1] = back[k];
      EXPECT_NE(message(Samples::create(back, y).error()).find(at), std::string::npos);
      // Knots about x[k] = 0, with x[k + 1] the smallest subnormal.
      for (std::size_t i = 0; i < n; ++i) close[i] = (static_cast<double>(i) - k) * 0.5;
      close[k + 1] = 5e-324;
      const std::string refusal = message(Samples::create(close, y).error());
      EXPECT_TRUE(refusal.rfind(at + "0 and", 0) == 0 && refusal.find("subnormal") != refusal.npos)
          << refusal;
    }
  }
}

TEST(Samples, FromPartsRefusesInconsistentLengths) {
  EXPECT_THROW(Samples::from_parts({0, 1}, {0, 1}, {1, 1}, {1}), InternalError);
}

TEST(Errors, RemainingMessages) {
  EXPECT_EQ(message(NoConvergence{1000, 2.5e-7}),
            "convexity solve did not converge in 1000 iterations (last change 2.5e-7); "
            "try raising max_iterations or relaxation");
  EXPECT_EQ(message(NoConvergence{0, nan}),
            "convexity solve did not converge in 0 iterations (last change NaN); "
            "try raising max_iterations or relaxation");
  EXPECT_EQ(message(InvalidParameter{"relaxation", "in (0, 1]", 1.5}),
            "shape parameter `relaxation` must be in (0, 1], got 1.5");
  EXPECT_EQ(message(InvalidParameter{"u", "> 0", 0}), "shape parameter `u` must be > 0, got 0");
  EXPECT_EQ(message(OutOfScale{"v", 0.5, 3, 0.25}),
            "shape parameter `v` = 0.5 is out of scale with interval 3 of width 0.25: the solve "
            "would have no usable pivot");
  EXPECT_EQ(message(MixedCurvature{2, 3.5, 3, -2}),
            "data change curvature at knot 2 (x = 3.5): secant slopes 3 then -2 turn against the "
            "earlier knots; this method needs data that is concave throughout or convex "
            "throughout");
}

TEST(Errors, ResultRefusesTheWrongAccess) {
  Result<int> good(3);
  Result<int> bad(TooFewPoints{1});
  EXPECT_EQ(good.value(), 3);
  EXPECT_THROW((void)good.error(), InternalError);
  EXPECT_THROW((void)bad.value(), InternalError);
}

}  // namespace
}  // namespace velarix
