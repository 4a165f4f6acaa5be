// Natural and periodic ends, for every method that takes them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <numbers>
#include <random>
#include <string>
#include <variant>

#include "period.hpp"
#include "rational_cubic/rational_cubic.hpp"
#include "tension/strict.hpp"
#include "tension/tension.hpp"
#include "variable_degree/variable_degree.hpp"

namespace velarix {
namespace {

using AnySpline = std::variant<TensionSpline, VariableDegreeSpline, RationalCubicSpline>;
using Fit = std::function<Result<AnySpline>(const Doubles&, const Doubles&, EndSlopes)>;

template <class Config>
Fit fit_with(Config config) {
  return [config](const Doubles& x, const Doubles& y, EndSlopes ends) -> Result<AnySpline> {
    Config c = config;
    c.boundary = ends;
    Result<typename Config::Spline> r = c.fit(x, y);
    if (!r.ok()) return r.error();
    return AnySpline(std::move(r).value());
  };
}

struct Method {
  const char* name;
  Fit fit;
};
std::ostream& operator<<(std::ostream& out, const Method& m) { return out << m.name; }

const Method tension_methods[] = {
    {"published", fit_with(Tension{})},
    {"strict", fit_with(Tension{tension::Policy::strict()})},
    {"uniform_0", fit_with(Tension{tension::Policy::uniform(0)})},
    {"uniform_0_3", fit_with(Tension{tension::Policy::uniform(0.3)})},
    {"uniform_3", fit_with(Tension{tension::Policy::uniform(3)})},
    {"uniform_200", fit_with(Tension{tension::Policy::uniform(200)})},
    {"variable_degree", fit_with(VariableDegree{})},
};

// S, S' or S'' (order 0, 1, 2) at x, one at a time or as a batch.
double at(const AnySpline& s, int order, double x) {
  return std::visit(
      [&](const auto& spline) {
        if (order == 0) return spline.value(x);
        return order == 1 ? spline.first_derivative(x) : spline.second_derivative(x);
      },
      s);
}

Doubles second_batch(const AnySpline& s, const Doubles& xs) {
  Doubles out(xs.size());
  std::visit([&](const auto& spline) { spline.curve().template evaluate<Derivative::second>(xs, out); },
             s);
  return out;
}

// 2 to 60 uneven knots over [x0, x0 + width], with values of `f` there.
Doubles random_knots(std::mt19937_64& rng, double x0, double width) {
  std::uniform_real_distribution<double> unit(0, 1);
  const int n = 2 + static_cast<int>(unit(rng) * 59);
  Doubles x{0};
  for (int i = 1; i < n; ++i) x.push_back(x.back() + 0.2 + unit(rng));
  for (double& v : x) v = x0 + v * (width / x.back());
  x.back() = x0 + width;
  return x;
}

class NaturalEnds : public ::testing::TestWithParam<Method> {};

// S'' is 0 at both end knots, exactly, one at a time and in a batch (whose
// paired evaluation runs the same arithmetic), on random data from a
// random walk.
TEST_P(NaturalEnds, CurvatureIsExactlyZeroAtBothEnds) {
  std::mt19937_64 rng(25);
  std::uniform_real_distribution<double> unit(0, 1);
  for (int set = 0; set < 150; ++set) {
    const Doubles x = random_knots(rng, -1, 10);
    Doubles y{unit(rng)};
    while (y.size() < x.size()) y.push_back(y.back() + 3 * (unit(rng) - 0.4));
    const AnySpline s = GetParam().fit(x, y, EndSlopes::natural()).value();
    ASSERT_EQ(at(s, 2, x.front()), 0) << set;
    ASSERT_EQ(at(s, 2, x.back()), 0) << set;
    const Doubles batch = second_batch(s, {x.front(), x[x.size() / 2], x.back(), x.front()});
    ASSERT_EQ(batch[0], 0);
    ASSERT_EQ(batch[2], 0);
    ASSERT_EQ(batch[3], 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Methods, NaturalEnds, ::testing::ValuesIn(tension_methods),
                         [](const auto& info) { return std::string(info.param.name); });

class PeriodicEnds : public ::testing::TestWithParam<Method> {};

double largest(const AnySpline& s, int order, const Doubles& x) {
  double m = 0;
  for (const double v : x) m = std::max(m, std::fabs(at(s, order, v)));
  return m;
}

// S, S' and S'' at x[0] and at x[n-1] agree to 1e-12 of their size over the
// knots, on periodic functions sampled at random knots of a period.
TEST_P(PeriodicEnds, TwiceDifferentiableAcrossTheWrap) {
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
    const AnySpline s = GetParam().fit(x, y, EndSlopes::periodic()).value();
    for (int order = 0; order < 3; ++order) {
      const double scale = largest(s, order, x);
      ASSERT_LE(std::fabs(at(s, order, x.front()) - at(s, order, x.back())), 1e-12 * scale)
          << set << " order " << order << " n " << x.size();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Methods, PeriodicEnds, ::testing::ValuesIn(tension_methods),
                         [](const auto& info) { return std::string(info.param.name); });

// The shape measures of the strict policy, with every interval's neighbours
// taken across the wrap: a flat interval stays within 1e-12 of the range of
// its value; an interval whose neighbours do not turn against it is
// monotone; beside a data extremum the curve passes the extremum value by
// at most 1e-3 of the range. Returns the number of intervals that fail, on
// 64 points each.
int periodic_shape_failures(const TensionSpline& s, const Doubles& x, const Doubles& y) {
  const double range = *std::max_element(y.begin(), y.end()) - *std::min_element(y.begin(), y.end());
  const std::size_t m = x.size() - 1;
  int failures = 0;
  for (std::size_t i = 0; i < m; ++i) {
    const double secant = y[i + 1] - y[i];
    const double before = y[i == 0 ? m : i] - y[i == 0 ? m - 1 : i - 1];
    const double after = y[i + 2 > m ? 1 : i + 2] - y[i + 1 > m - 1 ? 0 : i + 1];
    const double lo = std::min(y[i], y[i + 1]) - tension::strict::overshoot_tolerance * range;
    const double hi = std::max(y[i], y[i + 1]) + tension::strict::overshoot_tolerance * range;
    bool failed = false;
    double previous = y[i];
    for (int k = 1; k <= 64; ++k) {
      const double v = s.value(x[i] + (x[i + 1] - x[i]) * k / 64);
      if (secant == 0) failed |= std::fabs(v - y[i]) > tension::strict::flat_tolerance * range;
      if (secant != 0 && before * secant >= 0 && after * secant >= 0) {
        failed |= (v - previous) * (secant > 0 ? 1 : -1) < -1e-12 * range;
      }
      failed |= v < lo || v > hi;
      previous = v;
    }
    failures += failed;
  }
  return failures;
}

struct PeriodicData {
  const char* name;
  std::function<double(double)> f;  // of t in [0, 1)
};
std::ostream& operator<<(std::ostream& out, const PeriodicData& d) { return out << d.name; }

class StrictPeriodic : public ::testing::TestWithParam<PeriodicData> {};

// Periodic data that are monotone by parts, on 8 to 200 uneven knots: the
// strict policy reports its shape as kept, the saved flag agrees with the
// check of the final curve across the wrap, and the dense measures find
// nothing.
TEST_P(StrictPeriodic, KeepsTheShapeAcrossTheWrap) {
  std::mt19937_64 rng(27);
  std::uniform_real_distribution<double> unit(0, 1);
  for (int set = 0; set < 40; ++set) {
    const int n = 8 + static_cast<int>(unit(rng) * 192);
    Doubles x{0}, y;
    for (int i = 1; i < n; ++i) x.push_back(x.back() + 0.3 + unit(rng));
    for (double& v : x) v = v / x.back();
    for (const double v : x) y.push_back(GetParam().f(v));
    y.back() = y.front();
    const Tension config{tension::Policy::strict(), EndSlopes::periodic()};
    const TensionSpline s = config.fit(x, y).value();
    ASSERT_TRUE(s.is_shape_preserving()) << set;
    const TensionSpline rebuilt(s.curve(), Doubles(s.tensions().begin(), s.tensions().end()),
                                s.iterations(), s.ends());
    ASSERT_TRUE(rebuilt.is_shape_preserving()) << set;
    ASSERT_EQ(periodic_shape_failures(s, x, y), 0) << set << " n " << n;
  }
}

double flat_topped_sin(double t) {
  return std::clamp(std::sin(2 * std::numbers::pi * t), -0.8, 0.8);
}
double abs_sin(double t) { return std::fabs(std::sin(std::numbers::pi * t)); }
double step(double t) { return t < 0.3 ? 0.0 : t < 0.7 ? 1.0 : 0.0; }

INSTANTIATE_TEST_SUITE_P(MonotoneByParts, StrictPeriodic,
                         ::testing::Values(PeriodicData{"flat_topped_sin", flat_topped_sin},
                                           PeriodicData{"abs_sin", abs_sin},
                                           PeriodicData{"step", step}),
                         [](const auto& info) { return std::string(info.param.name); });

struct Refusal {
  const char* name;
  Fit fit;
  Doubles y;
  EndSlopes ends;
  const char* message;
};
std::ostream& operator<<(std::ostream& out, const Refusal& r) { return out << r.name; }

class EndRefusals : public ::testing::TestWithParam<Refusal> {};

TEST_P(EndRefusals, HaveTheirMessages) {
  const Refusal& r = GetParam();
  const Result<AnySpline> result = r.fit({0, 1, 2, 3}, r.y, r.ends);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(message(result.error()), r.message);
}

const char* const open_data =
    "periodic end conditions need equal first and last values; y[0] = 1 and y[3] = 1.5 differ";
const char* const rational_periodic =
    "the rational cubic cannot have periodic ends: a periodic convex or concave function is "
    "constant";

INSTANTIATE_TEST_SUITE_P(
    Table, EndRefusals,
    ::testing::Values(
        Refusal{"tension", fit_with(Tension{}), {1, 2, 0, 1.5}, EndSlopes::periodic(), open_data},
        Refusal{"strict", fit_with(Tension{tension::Policy::strict()}), {1, 2, 0, 1.5},
                EndSlopes::periodic(), open_data},
        Refusal{"variable_degree", fit_with(VariableDegree{}), {1, 2, 0, 1.5},
                EndSlopes::periodic(), open_data},
        Refusal{"nan", fit_with(VariableDegree{}), {NAN, 2, 0, NAN}, EndSlopes::periodic(),
                "periodic end conditions need equal first and last values; y[0] = NaN and y[3] "
                "= NaN differ"},
        Refusal{"rational_periodic", fit_with(RationalCubic{}), {0, 1, 4, 9},
                EndSlopes::periodic(), rational_periodic},
        Refusal{"rational_periodic_closed", fit_with(RationalCubic{}), {1, 0, 0, 1},
                EndSlopes::periodic(), rational_periodic},
        // Straight through three knots, then a bend: a convex curve through
        // them is straight up to x[2], which S'' = 0 at x[0] cannot join.
        Refusal{"rational_natural", fit_with(RationalCubic{}), {0, 0, 0, 1}, EndSlopes::natural(),
                "the rational cubic cannot have natural ends: with S'' = 0 at the first knot the "
                "first interval would bend against the convexity of the data"}),
    [](const auto& info) { return std::string(info.param.name); });

// The rational cubic with natural ends: S'' vanishes at both ends to
// rounding and keeps the data's sign everywhere, on convex data and their
// concave mirror.
TEST(RationalCubicNatural, ConvexWithZeroCurvatureAtTheEnds) {
  const Doubles x{0, 0.5, 1.5, 2, 3.5, 4};
  for (const double sign : {1.0, -1.0}) {
    Doubles y;
    for (const double v : x) y.push_back(sign * (std::exp(v / 2) + v * v / 4));
    RationalCubic config;
    config.boundary = EndSlopes::natural();
    const RationalCubicSpline s = config.fit(x, y).value();
    const double scale = std::fabs(s.second_derivative(x[2]));
    EXPECT_LE(std::fabs(s.second_derivative(x.front())), 1e-13 * scale);
    EXPECT_LE(std::fabs(s.second_derivative(x.back())), 1e-13 * scale);
    for (double t = x.front(); t <= x.back(); t += 1.0 / 256) {
      ASSERT_GE(sign * s.second_derivative(t), -1e-13 * scale) << t;
    }
  }
}

// x moved into [first, last] by whole periods of the exact period: against
// exact integer arithmetic in units of 2^-60, within an ulp of the knots,
// however many periods away; the remainder of the rounded difference by the
// rounded period drifts by far more.
TEST(Period, WrapsWithoutDrift) {
  __extension__ typedef __int128 I;  // exact: the knots and x are multiples of 2^-60
  const auto units = [](double v) { return static_cast<I>(std::ldexp(v, 60)); };
  const double first = -1.3, last = 2.3;
  const I p = units(last) - units(first);
  double drift = 0;
  for (const double x : {-0.5, -1.3, 7.25, -40.0, 1e6 + 0.1, -3e9, 4.5e10, 1.5e11}) {
    I r = (units(x) - units(first)) % p;
    if (r < 0) r += p;
    const double want = std::ldexp(static_cast<double>(units(first) + r), -60);
    const double got = wrap_into_period(x, first, last);
    EXPECT_GE(got, first);
    EXPECT_LE(got, last);
    EXPECT_LE(std::fabs(got - want), 0x1p-52 * 2.3) << x;
    drift = std::max(drift, std::fabs(first + std::fmod(x - first, last - first) - want));
  }
  EXPECT_GT(drift, 1e-6);
  EXPECT_EQ(wrap_into_period(1.0, first, last), 1.0);
  EXPECT_TRUE(std::isnan(wrap_into_period(INFINITY, first, last)));
}

}  // namespace
}  // namespace velarix
