#include "scaled_fit.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <vector>

#include "every_method.hpp"
#include "state.hpp"
#include "variable_degree/variable_degree.hpp"

namespace velarix {
namespace {

// A configuration without end conditions (the chords, as degree-3 pieces
// without moments): fit_in_scale has only its samples to scale.
struct Chords {
  using Spline = PiecewiseSpline<VariableDegreePiece>;
  Result<Spline> fit_samples(const Samples& s) const {
    Vector<VariableDegreePiece> pieces;
    for (std::size_t i = 0; i < s.intervals(); ++i) {
      pieces.emplace_back(s.x()[i], s.widths()[i], s.y()[i], s.y()[i + 1], 0.0, 0.0, 3.0);
    }
    return Spline(Piecewise<VariableDegreePiece>({s.x().begin(), s.x().end()}, std::move(pieces)));
  }
};

TEST(ScaledFit, ScalesTheSamplesOfAConfigurationWithoutEnds) {
  const Doubles x{0, std::ldexp(1.0, -700), std::ldexp(3.0, -700)};
  const Doubles y{std::ldexp(1.0, 900), 0, std::ldexp(2.0, 900)};
  const auto fitted = fit_in_scale(Chords{}, Samples::create(x, y).value());
  ASSERT_TRUE(fitted.ok());
  const auto& spline = fitted.value();
  EXPECT_FALSE(spline.curve().scale().identity());
  for (std::size_t i = 0; i < x.size(); ++i) EXPECT_EQ(spline.value(x[i]), y[i]);
  EXPECT_EQ(spline.value(std::ldexp(2.0, -700)), std::ldexp(1.0, 900));  // halfway up a chord
}

// The extremes are gathered in the pass that validates the samples (and
// again for samples assembled from parts): the largest |y| and the narrowest
// width choose the scale wherever they lie, the first and last included.
Scale scale_both_ways(const Doubles& x, const Doubles& y) {
  const Samples created = Samples::create(x, y).value();
  const Samples parts = Samples::from_parts(
      x, y, {created.widths().begin(), created.widths().end()},
      {created.secants().begin(), created.secants().end()});
  const Scale scale = scale_of(created).value();
  EXPECT_TRUE(scale_of(parts).value() == scale);
  return scale;
}

TEST(ScaleOf, FindsEachExtremeAtEveryPosition) {
  for (std::size_t n = 5; n <= 12; ++n) {
    for (std::size_t k = 0; k < n; ++k) {
      Doubles x(n), y(n, 1.0);
      for (std::size_t i = 0; i < n; ++i) x[i] = static_cast<double>(i);
      y[k] = -0x1p200;
      EXPECT_TRUE(scale_both_ways(x, y) == (Scale{0, 200})) << n << k;
      if (k + 1 == n) continue;
      // Knots about x[k] = 0, interval k of width 2^-120, the others 1 (the
      // one after it 1 - 2^-120, which rounds to 1).
      for (std::size_t i = 0; i < n; ++i) x[i] = static_cast<double>(i) - (i <= k ? k : k + 1.0);
      x[k + 1] = 0x1p-120;
      y.assign(n, 1.0);
      EXPECT_TRUE(scale_both_ways(x, y) == (Scale{-60, 0})) << n << k;
    }
  }
}

template <class Config>
class ScaledSpline : public ::testing::Test {};
TYPED_TEST_SUITE(ScaledSpline, testing::Methods, testing::MethodNames);

// The scaled batches read blocks of the caller's abscissas before writing:
// into another array, in place, and into the same array shifted either way,
// each result carries the bits of the single evaluations made in index order.
TYPED_TEST(ScaledSpline, BatchesAgreeWithSingleEvaluationsWhereverOutLies) {
  const Doubles x{0, 0.4, 1.1, 1.5, 2.6, 3.0}, y{1, 1.2, 1.8, 2.3, 3.9, 4.8};
  Doubles sx, sy;
  for (std::size_t i = 0; i < x.size(); ++i) {
    sx.push_back(std::ldexp(x[i], 700));
    sy.push_back(std::ldexp(y[i], -900));
  }
  const auto spline = TypeParam{}.fit(sx, sy).value();
  const auto& curve = spline.curve();
  ASSERT_FALSE(curve.scale().identity());
  const auto bits = [](double v) { return std::bit_cast<std::uint64_t>(v); };
  const auto check = [&](auto single, auto batch) {
    for (const std::size_t to : {50, 51, 49, 53}) {
      Doubles buffer(700), reference(700);
      for (std::size_t i = 0; i < buffer.size(); ++i) {
        buffer[i] = reference[i] = std::ldexp(-0.3 + 3.6 * double((i * 37) % 700) / 699, 700);
      }
      for (std::size_t i = 0; i < 600; ++i) reference[to + i] = single(reference[50 + i]);
      batch(std::span<const double>(&buffer[50], 600), std::span<double>(&buffer[to], 600));
      for (std::size_t i = 0; i < buffer.size(); ++i) {
        ASSERT_EQ(bits(buffer[i]), bits(reference[i])) << "out at " << to << ", element " << i;
      }
    }
  };
  using enum Derivative;
  check([&](double v) { return curve.template evaluate<value>(v); },
        [&](auto in, auto out) { curve.template evaluate<value>(in, out); });
  check([&](double v) { return curve.template evaluate<second>(v); },
        [&](auto in, auto out) { curve.template evaluate<second>(in, out); });
  check([&](double v) { return curve.antiderivative(v); },
        [&](auto in, auto out) { curve.antiderivative(in, out); });
}

// A curve fitted on knots checked once is the fit of its knots and values
// together, to the bit, in the caller's scale and far from it; its refusals
// (a value that is not finite, values that do not close a period) are the
// same words.
TYPED_TEST(ScaledSpline, FitsOnCheckedKnotsAsOnItsOwnKnots) {
  const Doubles x{0, 0.4, 1.1, 1.5, 2.6, 3.0}, y{1, 1.2, 1.8, 2.3, 3.9, 4.8};
  const TypeParam config{};
  for (const int shift : {0, 700}) {
    Doubles sx, sy;
    for (std::size_t i = 0; i < x.size(); ++i) sx.push_back(std::ldexp(x[i], shift));
    for (std::size_t i = 0; i < y.size(); ++i) sy.push_back(std::ldexp(y[i], -shift));
    const CheckedKnots knots = CheckedKnots::check(sx).value();
    EXPECT_EQ(state::save(config.fit(knots, sy).value()), state::save(config.fit(sx, sy).value()));
    sy[3] = std::nan("");
    EXPECT_EQ(message(config.fit(knots, sy).error()), message(config.fit(sx, sy).error()));
  }
  TypeParam periodic = config;
  periodic.boundary = EndSlopes::periodic();
  const CheckedKnots knots = CheckedKnots::check(x).value();
  EXPECT_EQ(message(periodic.fit(knots, y).error()), message(periodic.fit(x, y).error()));
}

}  // namespace
}  // namespace velarix
