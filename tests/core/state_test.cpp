#include "checksum.hpp"
#include "every_method.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

namespace velarix::state {
namespace {

// Rising data with a flat start and a steep end: the selected tensions are
// 0 and large (the cubic and exponential forms of the tension piece); a
// small uniform tension gives the hyperbolic form.
const Doubles x = {0, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15};
const Doubles y = {10, 10, 10, 10, 10, 10, 10.5, 15, 50, 60, 85};

template <class Spline>
void expect_same_bits(const Spline& a, const Spline& b) {
  ASSERT_EQ(a.intervals(), b.intervals());
  for (int i = -10; i <= 170; ++i) {
    const double at = 0.1 * i;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(a.value(at)), std::bit_cast<std::uint64_t>(b.value(at)));
    EXPECT_EQ(std::bit_cast<std::uint64_t>(a.first_derivative(at)),
              std::bit_cast<std::uint64_t>(b.first_derivative(at)));
    EXPECT_EQ(std::bit_cast<std::uint64_t>(a.second_derivative(at)),
              std::bit_cast<std::uint64_t>(b.second_derivative(at)));
  }
}

TEST(State, TensionSplineRoundTripKeepsEveryForm) {
  Tension small;
  small.policy = tension::Policy::uniform(0.3);
  bool forms[3] = {};
  for (const Tension& config : {Tension{}, small}) {
    const TensionSpline spline = config.fit(x, y).value();
    for (const TensionPiece& piece : spline.curve().pieces()) forms[piece.form().index()] = true;
    const Result<TensionSpline> restored = load<TensionSpline>(save(spline));
    ASSERT_TRUE(restored.ok()) << message(restored.error());
    expect_same_bits(spline, restored.value());
    EXPECT_EQ(restored.value().iterations(), spline.iterations());
    EXPECT_EQ(save(restored.value()), save(spline));
  }
  EXPECT_TRUE(forms[0] && forms[1] && forms[2]);
}

template <class Config>
class MethodState : public ::testing::Test {
 protected:
  // The rising data above, or convex data for a method that needs them.
  static typename Config::Spline fitted() {
    if (!testing::MethodTraits<Config>::convex_data_only) return Config{}.fit(x, y).value();
    return Config{}.fit(Doubles{0, 1, 2, 3, 4}, Doubles{1.0, 0.5, 0.4, 0.6, 1.5}).value();
  }
};
TYPED_TEST_SUITE(MethodState, testing::Methods, testing::MethodNames);

TYPED_TEST(MethodState, SplineRoundTrip) {
  using Spline = typename TypeParam::Spline;
  const Spline spline = this->fitted();
  const Result<Spline> restored = load<Spline>(save(spline));
  ASSERT_TRUE(restored.ok()) << message(restored.error());
  expect_same_bits(spline, restored.value());
  EXPECT_EQ(save(restored.value()), save(spline));
}

TYPED_TEST(MethodState, ConfigurationRoundTripsFieldByField) {
  const TypeParam changed = testing::MethodTraits<TypeParam>::changed();
  // The defaults are compared by their saved bytes, which hold every field:
  // GCC's sanitizer build takes a variant compared with a fresh temporary
  // for one that may be uninitialized.
  ASSERT_NE(save(changed), save(TypeParam{}));
  EXPECT_EQ(load<TypeParam>(save(changed)).value(), changed);
  EXPECT_EQ(save(load<TypeParam>(save(TypeParam{})).value()), save(TypeParam{}));
}

// A configuration's state does not load as its spline, nor the spline's as
// its configuration: each names the kind's byte.
TYPED_TEST(MethodState, StatesOfTheOtherClassAreRefused) {
  using Spline = typename TypeParam::Spline;
  const Result<Spline> spline = load<Spline>(save(TypeParam{}));
  ASSERT_FALSE(spline.ok());
  EXPECT_EQ(message(spline.error()), "invalid saved state: state of another class at byte 1");
  const Result<TypeParam> config = load<TypeParam>(save(this->fitted()));
  ASSERT_FALSE(config.ok());
  EXPECT_EQ(message(config.error()), "invalid saved state: state of another class at byte 1");
}

// A curve saved without per-interval results reads back the same pieces and
// no invented results; read as a curve with results it is refused.
TYPED_TEST(MethodState, CurveWithoutResults) {
  const auto spline = this->fitted();
  using Piece = std::decay_t<decltype(spline.curve().pieces()[0])>;
  Writer out(testing::spline_kind<TypeParam>);
  out.curve(spline.curve());
  const Bytes bytes = std::move(out).finish();
  Reader in(bytes, testing::spline_kind<TypeParam>);
  const auto curve = in.curve<Piece>(Results::absent);
  ASSERT_FALSE(in.finish().has_value());
  EXPECT_TRUE(curve.results.empty());
  ASSERT_EQ(curve.pieces.size(), spline.curve().pieces().size());
  for (std::size_t i = 0; i < curve.pieces.size(); ++i) {
    EXPECT_EQ(curve.pieces[i].fields(), spline.curve().pieces()[i].fields());
  }
  Reader misread(bytes, testing::spline_kind<TypeParam>);
  (void)misread.curve<Piece>(Results::per_interval);
  EXPECT_TRUE(misread.finish().has_value());
}

std::string load_message(const Bytes& bytes) {
  const Result<VariableDegreeSpline> result = load<VariableDegreeSpline>(bytes);
  return result.ok() ? "loaded" : message(result.error());
}

// A state's fields, without the checksum, and sealed again after a change,
// so that the checks behind the checksum are reached.
Bytes fields_of(const Bytes& state) { return Bytes(state.begin(), state.end() - checksum_size); }
Bytes sealed(const Bytes& fields) {
  Bytes state = fields;
  const std::uint32_t sum = crc32(fields);
  for (int shift = 0; shift < 32; shift += 8) state.push_back(std::byte((sum >> shift) & 0xFF));
  return state;
}

TEST(State, RefusalsNameReasonAndByte) {
  const Bytes good = fields_of(save(VariableDegree{}.fit(x, y).value()));
  EXPECT_EQ(load_message({}), "invalid saved state: truncated at byte 0");
  Bytes bytes = good;
  bytes[9] = std::byte{0x80};  // the knot count's top byte: far more knots than bytes
  EXPECT_EQ(load_message(sealed(bytes)), "invalid saved state: truncated at byte 10");
  EXPECT_EQ(load_message(bytes), "invalid saved state: damaged: its checksum does not match at "
                                 "byte " + std::to_string(good.size() - checksum_size));
  bytes = good;
  bytes[10 + 8 * 3 + 7] = std::byte{0x7F};  // knot 3 becomes NaN: its exponent all ones
  bytes[10 + 8 * 3 + 6] = std::byte{0xFF};
  EXPECT_EQ(load_message(sealed(bytes)),
            "invalid saved state: knots not strictly increasing at byte 34");
  bytes = good;
  bytes.pop_back();
  EXPECT_EQ(load_message(sealed(bytes)), "invalid saved state: truncated at byte " +
                                             std::to_string(good.size() - 8));
  EXPECT_EQ(message(load<TensionSpline>(sealed(good)).error()),
            "invalid saved state: state of another class at byte 1");
}

}  // namespace
}  // namespace velarix::state
