// Natural and periodic ends, for every method that takes them.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <array>
#include <cmath>
#include <numbers>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "every_method.hpp"
#include "period.hpp"
#include "state.hpp"
#include "tension/strict.hpp"

namespace velarix {
namespace {

// S, S' or S'' (order 0, 1, 2) at x.
template <class Spline>
double at(const Spline& s, int order, double x) {
  return std::array{s.value(x), s.first_derivative(x), s.second_derivative(x)}[order];
}

// 2 to 60 uneven knots from x0 to x0 + width.
Doubles random_knots(std::mt19937_64& rng, double x0, double width) {
  std::uniform_real_distribution<double> unit(0, 1);
  Doubles x{0};
  for (int i = 1 + static_cast<int>(unit(rng) * 59); i > 0; --i)
    x.push_back(x.back() + 0.2 + unit(rng));
  for (double& v : x) v = x0 + v * (width / x.back());
  x.back() = x0 + width;
  return x;
}

// Each test runs over the method's configurations that take natural and
// periodic ends on data of any shape, and is skipped for a method without.
template <class Config>
class MethodEnds : public ::testing::Test {
 protected:
  void SetUp() override {
    if (variants.empty()) GTEST_SKIP() << "no configuration takes these ends on any data";
  }
  const std::vector<testing::Named<Config>> variants = testing::MethodTraits<Config>::any_ends();

  static typename Config::Spline fit(Config c, const Doubles& x, const Doubles& y, EndSlopes ends) {
    c.boundary = ends;
    return c.fit(x, y).value();
  }
};
TYPED_TEST_SUITE(MethodEnds, testing::Methods, testing::MethodNames);

// Natural and periodic ends on knots checked once give the fit on the knots
// and values together, state for state; so does one curve after another on
// the same checked knots, which each fit only reads.
TYPED_TEST(MethodEnds, FitOnCheckedKnotsAsOnTheirOwnKnots) {
  const Doubles x{0, 0.7, 1.1, 2.0, 2.4, 3.5, 4.0};
  const Doubles y{1, 0.2, 1.8, 0.5, 1.9, 0.4, 1};  // closed: y[0] == y[n-1]
  const CheckedKnots knots = CheckedKnots::check(x).value();
  for (const auto& [name, variant] : this->variants) {
    for (const EndSlopes& ends : {EndSlopes::natural(), EndSlopes::periodic()}) {
      TypeParam config = variant;
      config.boundary = ends;
      for (const double lift : {0.0, 5.0}) {
        Doubles lifted = y;
        for (double& v : lifted) v += lift;
        EXPECT_EQ(state::save(config.fit(knots, lifted).value()),
                  state::save(config.fit(x, lifted).value()))
            << name << " " << ends.debug_text() << " " << lift;
      }
    }
  }
}

// S'' is 0 at both end knots, exactly, one at a time and in a batch (which
// pairs pieces), on random walks.
TYPED_TEST(MethodEnds, NaturalCurvatureIsExactlyZeroAtBothEnds) {
  for (const auto& [name, config] : this->variants) {
    std::mt19937_64 rng(25);
    std::uniform_real_distribution<double> unit(0, 1);
    for (int set = 0; set < 150; ++set) {
      const Doubles x = random_knots(rng, -1, 10);
      Doubles y{unit(rng)};
      while (y.size() < x.size()) y.push_back(y.back() + 3 * (unit(rng) - 0.4));
      const auto s = this->fit(config, x, y, EndSlopes::natural());
      Doubles batch{x.front(), x[x.size() / 2], x.back(), x.front()};
      s.curve().template evaluate<Derivative::second>(batch, batch);
      ASSERT_TRUE(at(s, 2, x.front()) == 0 && at(s, 2, x.back()) == 0) << name << " " << set;
      ASSERT_TRUE(batch[0] == 0 && batch[2] == 0 && batch[3] == 0) << name << " " << set;
    }
  }
}

// S, S' and S'' at x[0] and x[n-1] agree to 1e-12 of their largest size at
// the knots, on periodic functions sampled at random knots of a period.
TYPED_TEST(MethodEnds, PeriodicIsTwiceDifferentiableAcrossTheWrap) {
  for (const auto& [name, config] : this->variants) {
    std::mt19937_64 rng(26);
    std::uniform_real_distribution<double> unit(0, 1);
    for (int set = 0; set < 150; ++set) {
      const double a = unit(rng), b = 3 * unit(rng), x0 = 10 * (unit(rng) - 0.5);
      const double period = std::ldexp(1 + unit(rng), static_cast<int>(unit(rng) * 8) - 4);
      const Doubles x = random_knots(rng, x0, period);
      Doubles y;
      for (const double v : x) {
        const double t = 2 * std::numbers::pi * (v - x0) / period;
        y.push_back(std::sin(t) + a * std::cos(2 * t) + b);
      }
      y.back() = y.front();
      const auto s = this->fit(config, x, y, EndSlopes::periodic());
      for (int order = 0; order < 3; ++order) {
        double scale = 0;
        for (const double v : x) scale = std::max(scale, std::fabs(at(s, order, v)));
        ASSERT_LE(std::fabs(at(s, order, x.front()) - at(s, order, x.back())), 1e-12 * scale)
            << name << " " << set << " order " << order << " n " << x.size();
      }
    }
  }
}

// Fitted at scales far from 1 (so in power-of-two coordinates), natural and
// periodic fits save as layout 3 (5 for the periodic curve, which repeats)
// and load back to the same bytes, the end kind included, and to the same
// values, outside the knots too; S'' at natural ends stays 0.
TYPED_TEST(MethodEnds, ScaledFitsKeepTheirEndsThroughSavedStates) {
  using Spline = typename TypeParam::Spline;
  const Doubles unit_x{0, 0.7, 1.1, 2, 2.9, 3.4, 4.5}, unit_y{1, 2, 0.5, 3, 2.5, 0.25, 1};
  for (const auto& [name, config] : this->variants) {
    SCOPED_TRACE(name);
    for (const auto& [x_exp, y_exp] : {std::pair{600, -800}, std::pair{-500, 900}}) {
      Doubles x, y;
      for (const double v : unit_x) x.push_back(std::ldexp(v, x_exp));
      for (const double v : unit_y) y.push_back(std::ldexp(v, y_exp));
      for (const EndSlopes& ends : {EndSlopes::natural(), EndSlopes::periodic()}) {
        const Spline fit = this->fit(config, x, y, ends);
        const state::Bytes bytes = state::save(fit);
        ASSERT_EQ(bytes[0], std::byte{ends.is_periodic() ? state::periodic_scaled_layout_version
                                                         : state::scaled_layout_version});
        const Spline loaded = state::load<Spline>(bytes).value();
        EXPECT_EQ(state::save(loaded), bytes);
        const double period = x.back() - x.front();
        for (const double v : x) {
          EXPECT_EQ(loaded.second_derivative(v), fit.second_derivative(v));
          EXPECT_EQ(loaded.value(v + 2 * period), fit.value(v + 2 * period));
        }
        EXPECT_EQ(loaded.curve().periodic(), ends.is_periodic());
        if (ends.is_natural()) {
          EXPECT_TRUE(fit.second_derivative(x.front()) == 0 &&
                      fit.second_derivative(x.back()) == 0);
        }
      }
    }
  }
}

// Periodic ends refuse unequal end values with one message, a NaN end value
// as not finite before the ends are compared, and values fitted in a scale
// where both ends would round to 0 as given.
TYPED_TEST(MethodEnds, PeriodicRefusalsHaveTheSharedMessages) {
  const Doubles x{0, 1, 2, 3};
  for (const auto& [name, config] : this->variants) {
    const auto refusal = [&](const Doubles& y) {
      TypeParam periodic = config;
      periodic.boundary = EndSlopes::periodic();
      const auto result = periodic.fit(x, y);
      return result.ok() ? std::string("fitted") : message(result.error());
    };
    EXPECT_EQ(refusal({1, 2, 0, 1.5}),
              "periodic end conditions need equal first and last values; y[0] = 1 and y[3] = 1.5 "
              "differ") << name;
    EXPECT_EQ(refusal({NAN, 2, 0, NAN}), "y[0] must be finite, got NaN") << name;
    EXPECT_EQ(refusal({1e-25, 1e300, 2e300, 2e-25}),
              "periodic end conditions need equal first and last values; y[0] = 1e-25 and "
              "y[3] = 2e-25 differ") << name;
  }
}

// The strict policy's shape measures, each interval's neighbours taken across
// the wrap, on 64 points per interval: a flat interval stays within 1e-12 of
// the range of its value, one whose neighbours do not turn against it is
// monotone, and none passes its end values by more than 1e-3 of the range.
// The number of intervals that fail.
int periodic_shape_failures(const TensionSpline& s, const Doubles& x, const Doubles& y) {
  const double range =
      *std::max_element(y.begin(), y.end()) - *std::min_element(y.begin(), y.end());
  const double overshoot = tension::strict::overshoot_tolerance * range;
  const std::size_t m = x.size() - 1;
  int failures = 0;
  for (std::size_t i = 0; i < m; ++i) {
    const double rise = y[i + 1] - y[i], sign = rise > 0 ? 1 : -1;
    const double before = i == 0 ? y[m] - y[m - 1] : y[i] - y[i - 1];
    const double after = i + 1 == m ? y[1] - y[0] : y[i + 2] - y[i + 1];
    const bool monotone = rise != 0 && before * rise >= 0 && after * rise >= 0;
    bool failed = false;
    double previous = y[i];
    for (int k = 1; k <= 64; ++k) {
      const double v = s.value(x[i] + (x[i + 1] - x[i]) * k / 64);
      failed |= rise == 0 && std::fabs(v - y[i]) > tension::strict::flat_tolerance * range;
      failed |= monotone && (v - previous) * sign < -1e-12 * range;
      failed |=
          v < std::min(y[i], y[i + 1]) - overshoot || v > std::max(y[i], y[i + 1]) + overshoot;
      previous = v;
    }
    failures += failed;
  }
  return failures;
}

// Periodic data monotone by parts (a sine with flat tops, |sin|, a step,
// random values: extrema everywhere), on 4 to 200 uneven knots: the strict policy reports its shape kept, so does
// the check of the final curve across the wrap (as a loaded spline makes
// it), and the measures find nothing.
TEST(StrictPeriodic, KeepsTheShapeAcrossTheWrap) {
  std::mt19937_64 rng(27);
  std::uniform_real_distribution<double> unit(0, 1);
  const auto data = [](int kind, double t) {
    if (kind == 0) return std::clamp(std::sin(2 * std::numbers::pi * t), -0.8, 0.8);
    return kind == 1 ? std::fabs(std::sin(std::numbers::pi * t)) : t < 0.3 || t >= 0.7 ? 0.0 : 1.0;
  };
  for (int set = 0; set < 160; ++set) {
    Doubles x{0}, y;
    for (int i = 3 + static_cast<int>(unit(rng) * unit(rng) * 196); i > 0; --i)
      x.push_back(x.back() + 0.3 + unit(rng));
    for (double& v : x) v = v / x.back();
    for (const double v : x) y.push_back(set % 4 == 3 ? unit(rng) : data(set % 4, v));
    y.back() = y.front();
    const TensionSpline s =
        Tension{tension::Policy::strict(), EndSlopes::periodic()}.fit(x, y).value();
    const TensionSpline rebuilt(s.curve(), Doubles(s.tensions().begin(), s.tensions().end()),
                                s.iterations(), s.ends());
    ASSERT_TRUE(s.is_shape_preserving() && rebuilt.is_shape_preserving()) << set;
    ASSERT_EQ(periodic_shape_failures(s, x, y), 0) << set << " n " << x.size();
  }
}

// The rational cubic's own refusals (the shared ones are checked for every
// method above).
TEST(Ends, RefusalsHaveTheirMessages) {
  const Doubles x{0, 1, 2, 3};
  const auto refusal = [&](RationalCubic config, const Doubles& y, EndSlopes ends) {
    config.boundary = ends;
    const auto result = config.fit(x, y);
    return result.ok() ? std::string("fitted") : message(result.error());
  };
  EXPECT_EQ(refusal(RationalCubic{}, {1, 0, 0, 1}, EndSlopes::periodic()),
            "the rational cubic cannot have periodic ends: a periodic convex or concave function "
            "is constant");
  // Straight through three knots, then a bend: a convex curve through them
  // is straight up to x[2], which S'' = 0 at x[0] cannot join.
  EXPECT_EQ(refusal(RationalCubic{}, {0, 0, 0, 1}, EndSlopes::natural()),
            "the rational cubic cannot have natural ends: with S'' = 0 at the first knot the "
            "first interval would bend against the convexity of the data");
}

// The rational cubic with natural ends, on convex data and their concave
// mirror: S'' vanishes at both ends to rounding and keeps the data's sign.
TEST(RationalCubicNatural, KeepsTheCurvatureSignWithZeroCurvatureAtTheEnds) {
  const Doubles x{0, 0.5, 1.5, 2, 3.5, 4};
  for (const double sign : {1.0, -1.0}) {
    Doubles y;
    for (const double v : x) y.push_back(sign * (std::exp(v / 2) + v * v / 4));
    const RationalCubicSpline s = RationalCubic{1, 1, EndSlopes::natural()}.fit(x, y).value();
    const double scale = std::fabs(s.second_derivative(x[2]));
    EXPECT_LE(std::fabs(s.second_derivative(x.front())) + std::fabs(s.second_derivative(x.back())),
              1e-13 * scale);
    for (double t = x.front(); t <= x.back(); t += 1.0 / 256) {
      ASSERT_GE(sign * s.second_derivative(t), -1e-13 * scale) << t;
    }
  }
}

// x moved into [first, last] by whole periods of the exact period, against
// exact integer arithmetic in units of 2^-60: within an ulp, however many
// periods away, where the remainder of the rounded difference by the rounded
// period drifts by far more.
TEST(Period, WrapsWithoutDrift) {
  __extension__ typedef __int128 I;  // exact: the knots and x are multiples of 2^-60
  const auto units = [](double v) { return static_cast<I>(std::ldexp(v, 60)); };
  const double first = -1.3, last = 2.3;
  double drift = 0;
  for (const double x : {-0.5, -1.3, 7.25, -40.0, 1e6 + 0.1, -3e9, 4.5e10, 1.5e11}) {
    const I p = units(last) - units(first), r = ((units(x) - units(first)) % p + p) % p;
    const double want = std::ldexp(static_cast<double>(units(first) + r), -60);
    const double got = wrap_into_period(x, first, last);
    EXPECT_TRUE(got >= first && got <= last && std::fabs(got - want) <= 0x1p-52 * 2.3) << x;
    drift = std::max(drift, std::fabs(first + std::fmod(x - first, last - first) - want));
  }
  EXPECT_GT(drift, 1e-6);
  EXPECT_TRUE(std::isnan(wrap_into_period(INFINITY, first, last)));
}

// The fast remainder against the library's, over offsets from a fraction
// of a period to 2^60 periods (where the quotient leaves the fast path),
// periods down to subnormal and up to near overflow, both signs, and
// offsets on and beside whole multiples, where the quotient rounds up.
TEST(Period, ExactFmodIsTheLibrarysToTheBit) {
  std::mt19937_64 random(20261209);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int i = 0; i < 200000; ++i) {
    const double p = std::ldexp(0.5 + unit(random), static_cast<int>(random() % 2000) - 1000);
    const double k = std::floor(std::ldexp(unit(random), static_cast<int>(random() % 61)));
    double d = (k + unit(random)) * p;
    if (i % 3 == 0) d = std::nextafter(k * p, (i % 2 ? 1 : -1) * INFINITY);
    if (i % 5 == 0) d = -d;
    if (!std::isfinite(d)) continue;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(exact_fmod(d, p)),
              std::bit_cast<std::uint64_t>(std::fmod(d, p))) << d << " " << p;
  }
}

}  // namespace
}  // namespace velarix
