#include "quintic/quintic.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <variant>
#include <tuple>

#include "checksum.hpp"
#include "quintic/shape.hpp"
#include "quintic/state.hpp"

namespace velarix::quintic {
namespace {

const double kNaN = std::nan("");

QuinticSpline fit(const Doubles& x, const Doubles& y, Quintic config = {}) {
  Result<QuinticSpline> result = config.fit(x, y);
  if (!result.ok()) ADD_FAILURE() << message(result.error());
  return std::move(result).value();
}

// Random data of one kind on 5 to 1000 uneven knots: 0 monotone, 1 convex,
// 2 monotone with repeated values, 3 with extrema, 4 monotone with straight
// stretches, 5 convex with flats.
std::pair<Doubles, Doubles> random_data(std::mt19937_64& rng, int kind) {
  std::uniform_real_distribution<double> unit(0, 1);
  std::normal_distribution<double> normal;
  const int n = static_cast<int>(std::exp(std::log(5.0) + unit(rng) * std::log(200.0)));
  Doubles x{0}, y{0}, slopes;
  for (int i = 1; i < n; ++i) x.push_back(x.back() + std::pow(0.05 + unit(rng), 2));
  for (int i = 1; i < n; ++i) {
    double v = kind == 1 || kind == 5 ? normal(rng) : std::pow(unit(rng), 3);
    if (kind == 2 && unit(rng) < 0.4) v = 0;
    if (kind == 3) v = normal(rng);
    if (kind == 4 && i > 1 && unit(rng) < 0.5) v = slopes.back();
    slopes.push_back(v);
  }
  if (kind == 1 || kind == 5) std::sort(slopes.begin(), slopes.end());
  for (double& v : slopes) v = kind == 5 && std::fabs(v) < 0.5 ? 0 : v;
  for (int i = 1; i < n; ++i) y.push_back(y.back() + slopes[i - 1] * (x[i] - x[i - 1]));
  return {x, y};
}

// What data interval i asks for: its rise's sign (0 flat), its bending by
// the fit's own classification of the knots, the secant change that bending
// is measured against, and whether a data extremum is at one of its knots.
struct Asked {
  int sign;
  int bend;
  double change;
  bool extremum;
};

Asked asked(const Samples& samples, const Classes& classes, std::size_t i) {
  const auto s = samples.secants();
  const auto y = samples.y();
  const int sign = y[i + 1] == y[i] ? 0 : s[i] > 0 ? 1 : -1;
  double change = 0;
  if (i > 0) change = std::fabs(s[i] - s[i - 1]);
  if (i + 1 < s.size()) change = std::max(change, std::fabs(s[i + 1] - s[i]));
  const bool extremum = (i > 0 && s[i - 1] * s[i] < 0) || (i + 1 < s.size() && s[i + 1] * s[i] < 0);
  return {sign, orientation(classes.shape[i]), change, extremum};
}

class RandomFit : public ::testing::TestWithParam<std::tuple<int, int>> {};

// Every data interval keeps its shape on a dense grid: constant where flat
// (exactly), never turning back where monotone, within its values beside an
// extremum, bending as the data do where they are convex or concave; the
// data are interpolated exactly; S, S' and S'' are continuous at every
// breakpoint (the one-sided limits from the two pieces).
TEST_P(RandomFit, KeepsTheShapeAndIsTwiceContinuous) {
  const auto [kind, seed] = GetParam();
  std::mt19937_64 rng(100 * kind + seed);
  const auto [x, y] = random_data(rng, kind);
  const QuinticSpline spline = fit(x, y);
  EXPECT_TRUE(spline.shape_preserved());
  const Samples samples = Samples::create(x, y).value();
  const Classes classes = classify(samples);
  const double range = *std::max_element(y.begin(), y.end()) - *std::min_element(y.begin(), y.end());
  for (std::size_t k = 0; k < x.size(); ++k) EXPECT_EQ(spline.value(x[k]), y[k]) << k;

  const auto pieces = spline.curve().pieces();
  const auto breaks = spline.breakpoints();
  double largest = 0;
  for (const QuinticPiece& p : pieces) {
    largest = std::max({largest, std::fabs(p.second_derivative(p.x0())),
                        std::fabs(p.second_derivative(p.x1()))});
  }
  for (std::size_t i = 1; i < pieces.size(); ++i) {
    const QuinticPiece& l = pieces[i - 1];
    const QuinticPiece& r = pieces[i];
    EXPECT_EQ(l.value(breaks[i]), r.value(breaks[i])) << i;
    EXPECT_NEAR(l.first_derivative(breaks[i]), r.first_derivative(breaks[i]),
                1e-10 * (1 + std::fabs(r.first_derivative(breaks[i]))));
    EXPECT_LE(std::fabs(l.second_derivative(breaks[i]) - r.second_derivative(breaks[i])),
              1e-10 * largest) << i;
  }

  for (std::size_t i = 0; i + 1 < x.size(); ++i) {
    const Asked a = asked(samples, classes, i);
    const double h = x[i + 1] - x[i];
    const double lo = std::min(y[i], y[i + 1]), hi = std::max(y[i], y[i + 1]);
    double previous = y[i];
    for (int j = 1; j <= 64; ++j) {
      const double t = x[i] + h * j / 64;
      const double inside = std::min(t, std::nextafter(x[i + 1], x[i]));
      const double v = spline.value(inside);
      if (a.sign == 0) {
        ASSERT_EQ(v, y[i]) << "flat interval " << i;
        EXPECT_EQ(spline.first_derivative(inside), 0);
        EXPECT_EQ(spline.second_derivative(inside), 0);
      } else {
        EXPECT_GE(a.sign * (v - previous), -1e-14 * range) << "interval " << i;
      }
      if (a.extremum) {
        EXPECT_TRUE(v >= lo && v <= hi) << "overshoot on " << i;
      }
      if (a.bend != 0 && a.sign != 0) {
        EXPECT_GE(a.bend * spline.second_derivative(inside) * h, -1e-12 * a.change)
            << "bending on " << i;
      }
      previous = v;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, RandomFit,
                         ::testing::Combine(::testing::Range(0, 6), ::testing::Range(0, 12)));

// Periodic ends on closed data (random sets of each kind, up and back down
// along the mirrored widths): the fit keeps every interval's shape with the
// bends seen across the wrap, interpolates, and S, S' and S'' agree at the
// two ends.
class PeriodicFit : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(PeriodicFit, ClosesUpTwiceContinuouslyAndKeepsTheShape) {
  const auto [kind, seed] = GetParam();
  std::mt19937_64 rng(1000 + 100 * kind + seed);
  auto [x, y] = random_data(rng, kind);
  const std::size_t n = x.size();
  for (std::size_t k = n - 1; k-- > 0;) {
    x.push_back(x.back() + (x[k + 1] - x[k]));
    y.push_back(y[k]);
  }
  Quintic config;
  config.boundary = EndSlopes::periodic();
  const QuinticSpline spline = fit(x, y, config);
  EXPECT_TRUE(spline.shape_preserved());
  for (std::size_t k = 0; k < x.size(); ++k) EXPECT_EQ(spline.value(x[k]), y[k]) << k;
  const auto pieces = spline.curve().pieces();
  const QuinticPiece& first = pieces.front();
  const QuinticPiece& last = pieces.back();
  EXPECT_NEAR(first.first_derivative(x.front()), last.first_derivative(x.back()),
              1e-12 * (1 + std::fabs(first.first_derivative(x.front()))));
  double largest = 0;
  for (const QuinticPiece& p : pieces) largest = std::max(largest, std::fabs(p.second_derivative(p.x0())));
  EXPECT_LE(std::fabs(first.second_derivative(x.front()) - last.second_derivative(x.back())),
            1e-12 * largest);

  const Samples samples = Samples::create(x, y).value();
  const Classes classes = classify(samples, true);
  for (std::size_t i = 0; i + 1 < x.size(); ++i) {
    const int bend = orientation(classes.shape[i]);
    const int sign = y[i + 1] == y[i] ? 0 : y[i + 1] > y[i] ? 1 : -1;
    double previous = y[i];
    for (int j = 1; j <= 32; ++j) {
      const double t = std::min(x[i] + (x[i + 1] - x[i]) * j / 32, std::nextafter(x[i + 1], x[i]));
      const double v = spline.value(t);
      if (sign == 0) {
        ASSERT_EQ(v, y[i]) << "flat interval " << i;
      }
      EXPECT_GE(sign * (v - previous), -1e-14 * (std::fabs(y[i]) + std::fabs(y[i + 1]))) << i;
      if (bend != 0) {
        EXPECT_GE(bend * spline.second_derivative(t), -1e-9 * largest) << i;
      }
      previous = v;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, PeriodicFit,
                         ::testing::Combine(::testing::Values(0, 2, 3, 5), ::testing::Range(0, 6)));

// A straight stretch through the closing knot of periodic data (the last
// interval and the first on one line, flanked by knots bending the same way)
// forces the line's slope and S'' = 0 on the closing knot, and [0, 1] is
// that line; with natural ends S'' is exactly 0 at both ends.
TEST(Ends, StraightAcrossTheWrapAndFreeEnds) {
  const Doubles x{0, 1, 2, 3, 4, 5, 6, 7};
  const Doubles y{0, 1, 3, 4.5, 2, -1.5, -1, 0};  // slope 1 on [6, 7] and [0, 1]
  const Samples samples = Samples::create(x, y).value();
  const Classes classes = classify(samples, true);
  EXPECT_EQ(classes.straight.front(), 1);
  EXPECT_EQ(classes.straight.back(), 1);
  Quintic config;
  config.boundary = EndSlopes::periodic();
  const QuinticSpline periodic = fit(x, y, config);
  EXPECT_TRUE(periodic.shape_preserved());
  for (const double t : {0.0, 0.3, 0.9, 7.0}) {
    EXPECT_NEAR(periodic.first_derivative(t), 1, 1e-14) << t;
    EXPECT_NEAR(periodic.second_derivative(t), 0, 1e-13) << t;
  }
  config.boundary = EndSlopes::natural();
  const Doubles ex{0, 0.2, 0.5, 1.5, 2, 2.2};
  Doubles ey;
  for (const double t : ex) ey.push_back(std::exp(3 * t));
  const QuinticSpline natural = fit(ex, ey, config);
  EXPECT_EQ(natural.second_derivative(0), 0);
  EXPECT_EQ(natural.second_derivative(2.2), 0);
  EXPECT_TRUE(natural.shape_preserved());
  // Values down to -DBL_MAX put the others below the normal range in the
  // fit's scale; the repair of the last interval must still end at S'' = 0.
  config.stencil = 7;
  const Doubles sx{0, 0.25, 0.75, 1, 1.75, 2, 2.25, 3.25, 3.75, 4, 4.5, 5.25};
  const Doubles sy{0, 0.75, 2.25, -1.7976931348623157e308, 2, 0.25, 0.5, 0.75, 0.25, 0, 0.75, 2.25};
  const QuinticSpline extreme = fit(sx, sy, config);
  EXPECT_EQ(extreme.second_derivative(0), 0);
  EXPECT_EQ(extreme.second_derivative(5.25), 0);
}

// Without knot insertion a convex interval that one quintic cannot follow
// is kept monotone only, and the fit says so.
TEST(KnotInsertion, WithoutItConvexityIsGivenUpHonestly) {
  std::mt19937_64 rng(7);
  const auto [x, y] = random_data(rng, 1);
  ASSERT_GT(fit(x, y).inserted(), 0u);
  Quintic config;
  config.knot_insertion = false;
  const QuinticSpline spline = fit(x, y, config);
  EXPECT_EQ(spline.inserted(), 0u);
  EXPECT_FALSE(spline.shape_preserved());
  for (std::size_t i = 0; i + 1 < x.size(); ++i) {
    for (int j = 1; j <= 16; ++j) {
      const double t = x[i] + (x[i + 1] - x[i]) * j / 16;
      EXPECT_GE(spline.first_derivative(t) * (y[i + 1] - y[i]), -1e-12) << i;
    }
  }
}

// Where no interval fails its test the knot stage writes the pieces itself;
// the fit without insertion always assembles them afterwards. Both must be
// the same curve, bit for bit, on fewer knots than one block of the knot
// stage's writing and across several, for each kind of end it writes, and
// also when a late interval fails.
class WrittenPieces : public ::testing::TestWithParam<EndSlopes> {};

TEST_P(WrittenPieces, AreTheAssembledOnes) {
  for (const int n : {2, 3, 7, 65, 66, 300}) {
    for (const bool late_kink : {false, true}) {
      Doubles x, y;
      for (int i = 0; i < n; ++i) {
        x.push_back(i + 0.3 * std::sin(i));
        y.push_back(std::exp(x.back() / n));
      }
      if (late_kink && n > 3) y[n - 2] += 0.4 * (y[n - 1] - y[n - 2]);
      Quintic written;
      written.boundary = GetParam();
      Quintic assembled = written;
      assembled.knot_insertion = false;
      const QuinticSpline a = fit(x, y, written), b = fit(x, y, assembled);
      if (a.inserted() != 0) continue;
      ASSERT_EQ(a.curve().pieces().size(), b.curve().pieces().size());
      EXPECT_EQ(a.shape_preserved(), b.shape_preserved()) << n;
      for (std::size_t i = 0; i < a.curve().pieces().size(); ++i) {
        const auto fa = a.curve().pieces()[i].fields(), fb = b.curve().pieces()[i].fields();
        for (std::size_t f = 0; f < fa.size(); ++f) {
          EXPECT_EQ(std::bit_cast<std::uint64_t>(fa[f]), std::bit_cast<std::uint64_t>(fb[f]))
              << n << " " << i;
        }
      }
    }
  }
}
INSTANTIATE_TEST_SUITE_P(Ends, WrittenPieces,
                         ::testing::Values(EndSlopes::limited(), EndSlopes::natural(),
                                           EndSlopes::clamped(0.5, 1.5), EndSlopes::estimated()));

// Collinear data give a line: straight stretches force the secant slope
// and zero curvature at every knot.
TEST(Straight, LinesAreReproduced) {
  const Doubles x{0, 0.3, 1.7, 2.0, 5.5, 6.25};
  Doubles y;
  for (double xi : x) y.push_back(3 * xi - 2);
  const QuinticSpline spline = fit(x, y);
  for (double t = 0; t <= 6.25; t += 0.01) {
    EXPECT_NEAR(spline.value(t), 3 * t - 2, 1e-13);
    EXPECT_NEAR(spline.first_derivative(t), 3, 1e-12);
    EXPECT_NEAR(spline.second_derivative(t), 0, 1e-10);
  }
}

TEST(EndSlopes, ClampedAndEstimatedEndsAreTakenAsGiven) {
  const Doubles x{0, 0.5, 1.25, 2, 3.5, 4};
  Doubles y;
  for (double xi : x) y.push_back(xi * xi * xi * xi / 10);  // a quartic: exact estimates
  Quintic clamped;
  clamped.boundary = EndSlopes::clamped(-0.5, 9.0);
  const QuinticSpline c = fit(x, y, clamped);
  EXPECT_NEAR(c.first_derivative(0), -0.5, 1e-14);
  EXPECT_NEAR(c.first_derivative(4), 9.0, 1e-12);
  EXPECT_FALSE(c.shape_preserved());  // a falling start on rising data
  Quintic estimated;
  estimated.boundary = EndSlopes::estimated();
  const QuinticSpline e = fit(x, y, estimated);
  EXPECT_NEAR(e.first_derivative(4), 0.4 * 64, 1e-10);
}

// Data the fuzzer found: a width of two ulps, whose middle rounds onto an
// end (the knot must still take its own end); values near the underflow
// threshold, where the convexity test's products would underflow; and a
// secant that underflows to 0 under clamped slopes that turn the curve back.
TEST(EdgeData, KnotsStayExactAndTheShapeFlagHonest) {
  const Doubles x{0, 0.25, 1e16 + 32, 1e16 + 36, 1e16 + 38};
  const Doubles y{14, 1, 15, 0.25, 0};
  const QuinticSpline wide = fit(x, y);
  for (std::size_t k = 0; k < x.size(); ++k) EXPECT_EQ(wide.value(x[k]), y[k]) << k;

  const Doubles tx{0, 0.25, 0.75, 17, 17.75, 18};
  const Doubles ty{5.7e-299, -2.9e47, -2.3e-265, -0.0, 0, 0};
  const QuinticSpline tiny = fit(tx, ty);
  const bool rises = tiny.value(tx[2] + 14) <= 0 && tiny.value(tx[2] + 10) <= 0;
  EXPECT_TRUE(rises || !tiny.shape_preserved());

  Quintic clamped;
  clamped.boundary = EndSlopes::clamped(-0.015625, 0);
  // A slope that cannot be held in the fit's scale is refused; any other
  // outcome must own up to the shape it breaks.
  const auto steep = clamped.fit(Doubles{1e-298, 5.5e303}, Doubles{1.9e-295, 0});
  EXPECT_TRUE(!steep.ok() || !steep.value().shape_preserved());

  // The largest slope at a concave end, whose curvature test's coefficients
  // overflowed and once passed a piece rising to 2.6e305 as concave: now
  // refused as out of scale with the data before any fit.
  clamped.boundary = EndSlopes::clamped(std::numeric_limits<double>::max(), 0);
  const auto sharp = clamped.fit(Doubles{5e-299, 0.0078125, 1}, Doubles{-0.0078125, 0.1953125, 10});
  ASSERT_FALSE(sharp.ok());
  EXPECT_TRUE(std::holds_alternative<OutOfScale>(sharp.error()));

  // A rise of 2.6e-308 over a width of 1e16 beside values of 1e16: the
  // secant is subnormal, and the slope-unit tests passed a piece that dips
  // below its left value.
  Quintic periodic;
  periodic.boundary = EndSlopes::periodic();
  periodic.stencil = 3;
  const double big = 0x1.1c37937e08p+53;
  const double low = 0x1.10227270201p-991;
  const double high = 0x1.1022727272727p-991;
  Doubles px, py{high, 13.25, 0.25, 9.75};
  for (int i = 1; i <= 25; ++i) px.push_back(i * big);
  for (int i = 4; i < 22; ++i) py.push_back(i == 17 ? -0.0078125 : i == 18 ? -0.640625 : big);
  py.insert(py.end(), {0, low, high});
  const QuinticSpline dip = fit(px, py, periodic);
  const double v = dip.value(px[23] + big / 4);
  EXPECT_TRUE(!dip.shape_preserved() || (v >= low && v <= high)) << v;
}

TEST(Configuration, RefusalsNameTheSettingBeforeTheData) {
  const std::tuple<std::uint64_t, EndSlopes, std::string> cases[] = {
      {4, EndSlopes::limited(), "shape parameter `stencil` must be 3, 5 or 7, got 4"},
      {0, EndSlopes::limited(), "shape parameter `stencil` must be 3, 5 or 7, got 0"},
      {5, EndSlopes::clamped(kNaN, 1), "shape parameter `left` must be finite, got NaN"},
      {5, EndSlopes::clamped(1, -INFINITY), "shape parameter `right` must be finite, got -inf"},
  };
  for (const auto& [stencil, boundary, text] : cases) {
    Quintic config;
    config.stencil = stencil;
    config.boundary = boundary;
    const auto result = config.fit(Doubles{1}, Doubles{});
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(message(result.error()), text);
  }
  EXPECT_EQ(Quintic{}.debug_text(), "Quintic { boundary: Limited, stencil: 5, knot_insertion: true }");
}

// A saved spline loads to the same breakpoints, knots and bits; a mark that
// is neither 0 nor 1 is refused at its byte.
TEST(State, RoundTripsAndRefusesABadMark) {
  std::mt19937_64 rng(3);
  const auto [x, y] = random_data(rng, 1);
  const QuinticSpline spline = fit(x, y);
  ASSERT_GT(spline.inserted(), 0u);
  state::Bytes bytes = state::save(spline);
  const QuinticSpline back = state::load<QuinticSpline>(bytes).value();
  EXPECT_EQ(back.debug_text(), spline.debug_text());
  EXPECT_TRUE(std::equal(back.knots().begin(), back.knots().end(), x.begin(), x.end()));
  for (double t = x.front(); t < x.back(); t += 0.013) {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(back.second_derivative(t)),
              std::bit_cast<std::uint64_t>(spline.second_derivative(t)));
  }
  const std::size_t mark = 2 + 8 + 8 * spline.breakpoints().size() + 8 * 9;  // piece 1
  bytes[mark + 7] = std::byte{0x40};                                         // 2.0
  const std::uint32_t sum = crc32(std::span<const std::byte>(bytes).first(bytes.size() - 4));
  for (int b = 0; b < 4; ++b) bytes[bytes.size() - 4 + b] = std::byte((sum >> (8 * b)) & 0xFF);
  const auto refused = state::load<QuinticSpline>(bytes);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(message(refused.error()),
            "invalid saved state: inserted-knot mark out of range at byte " + std::to_string(mark));
}

}  // namespace
}  // namespace velarix::quintic
