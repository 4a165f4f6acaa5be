#include "scaled_fit.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <variant>
#include <vector>

#include "rational_cubic/rational_cubic.hpp"
#include "tension/tension.hpp"
#include "variable_degree/variable_degree.hpp"

namespace velarix {
namespace {

// Knots 0, 2^a, 2^a + 2^b, ... (one width per exponent) and values 2^c times 1, 2, ...
Samples data(std::vector<int> width_exponents, int value_exponent) {
  Doubles x{0.0}, y{0.0};
  for (const int e : width_exponents) {
    x.push_back(x.back() + std::ldexp(1.0, e));
    y.push_back(std::ldexp(static_cast<double>(y.size()), value_exponent));
  }
  return Samples::create(x, y).value();
}

struct Choice {
  std::vector<int> widths;
  int values;
  Scale expected;
};

class ScaleOf : public ::testing::TestWithParam<Choice> {};

// The identity while the widths and the largest |y| lie in [2^-100, 2^101);
// beyond, the widths are centred on 1 and the largest |y| brought into [1, 2)
// (the values 2^c (n - 1) here have the exponent c + 2 for n = 5 knots).
TEST_P(ScaleOf, IsTheIdentityOnlyInTheOrdinaryRange) {
  const Choice& c = GetParam();
  const Result<Scale> scale = scale_of(data(c.widths, c.values));
  ASSERT_TRUE(scale.ok()) << message(scale.error());
  EXPECT_EQ(scale.value(), c.expected) << scale.value().x_exp << " " << scale.value().y_exp;
}
INSTANTIATE_TEST_SUITE_P(
    Edges, ScaleOf,
    ::testing::Values(Choice{{-100, 0, 100, 100}, -102, {0, 0}},
                      Choice{{-100, 0, 100, 100}, 98, {0, 0}},
                      Choice{{-101, 0, 100, 100}, 0, {0, 2}},
                      Choice{{-100, 0, 101, 100}, 0, {0, 2}},
                      Choice{{0, 0, 0, 0}, -103, {0, -101}},
                      Choice{{0, 0, 0, 0}, 99, {0, 101}},
                      Choice{{-600, -600, -600, -600}, 0, {-600, 2}},
                      Choice{{700, 650, 700, 700}, -1000, {675, -998}},
                      Choice{{-250, 0, 250, 250}, 0, {0, 2}}));

TEST(ScaleOf, ValuesAllZeroAreInRange) {
  const Doubles x{0, 1, 2}, y{0, 0, 0};
  EXPECT_TRUE(scale_of(Samples::create(x, y).value()).value().identity());
}

// A fit's errors come back in the caller's units: the knots of an interval
// and the width named, the secants of a change of curvature.
TEST(Unscaled, CarriesKnotsWidthsAndSecantsBack) {
  const Scale scale{10, -3};
  const Error width = unscaled(UnusableWidth{1, 0.5, 0.75, "too far apart"}, scale);
  EXPECT_EQ(std::get<UnusableWidth>(width).left, 512);
  EXPECT_EQ(std::get<UnusableWidth>(width).right, 768);
  EXPECT_EQ(std::get<OutOfScale>(unscaled(OutOfScale{"u", 1e-300, 2, 0.25}, scale)).width, 256);
  const Error bend = unscaled(MixedCurvature{3, 1024, -2048}, scale);
  EXPECT_EQ(std::get<MixedCurvature>(bend).before, 0.125);
  EXPECT_EQ(std::get<MixedCurvature>(bend).after, -0.25);
}

template <class Config>
class ScaledSpline : public ::testing::Test {};
using Configs = ::testing::Types<Tension, RationalCubic, VariableDegree>;
TYPED_TEST_SUITE(ScaledSpline, Configs);

// The scaled batches read blocks of the caller's abscissas before writing
// them: into another array, in place, and into the same array shifted either
// way, each result carries the bits of the single evaluation made in index
// order.
TYPED_TEST(ScaledSpline, BatchesAgreeWithSingleEvaluationsWhereverOutLies) {
  const Doubles x{0, 0.4, 1.1, 1.5, 2.6, 3.0}, y{1, 1.2, 1.8, 2.3, 3.9, 4.8};
  Doubles sx(x.size()), sy(y.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    sx[i] = std::ldexp(x[i], 700);
    sy[i] = std::ldexp(y[i], -900);
  }
  const auto spline = TypeParam{}.fit(sx, sy).value();
  const auto& curve = spline.curve();
  ASSERT_FALSE(curve.scale().identity());
  const auto bits = [](double v) { return std::bit_cast<std::uint64_t>(v); };
  const auto each = [&](auto single, auto batch) {
    for (const std::ptrdiff_t shift : {0, 1, -1, 3}) {
      Doubles buffer(700);
      for (std::size_t i = 0; i < buffer.size(); ++i) {
        buffer[i] = std::ldexp(-0.3 + 3.6 * static_cast<double>((i * 37) % 700) / 699, 700);
      }
      Doubles reference = buffer;
      const std::size_t count = 600, from = 50;
      const std::size_t to = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(from) + shift);
      for (std::size_t i = 0; i < count; ++i) reference[to + i] = single(reference[from + i]);
      batch(std::span<const double>(buffer.data() + from, count),
            std::span<double>(buffer.data() + to, count));
      for (std::size_t i = 0; i < buffer.size(); ++i) {
        ASSERT_EQ(bits(buffer[i]), bits(reference[i])) << "shift " << shift << " at " << i;
      }
    }
  };
  using enum Derivative;
  each([&](double v) { return curve.template evaluate<value>(v); },
       [&](auto in, auto out) { curve.template evaluate<value>(in, out); });
  each([&](double v) { return curve.template evaluate<second>(v); },
       [&](auto in, auto out) { curve.template evaluate<second>(in, out); });
  each([&](double v) { return curve.antiderivative(v); },
       [&](auto in, auto out) { curve.antiderivative(in, out); });
}

}  // namespace
}  // namespace velarix
