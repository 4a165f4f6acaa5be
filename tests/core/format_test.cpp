#include "format.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

namespace velarix::format {
namespace {

struct Case {
  double value;
  const char* text;
};

class MessageForm : public ::testing::TestWithParam<Case> {};
TEST_P(MessageForm, Prints) { EXPECT_EQ(message(GetParam().value), GetParam().text); }
INSTANTIATE_TEST_SUITE_P(
    Examples, MessageForm,
    ::testing::Values(Case{1.0, "1"}, Case{0.25, "0.25"}, Case{-3.5, "-3.5"},
                      Case{1e-10, "1e-10"}, Case{1e21, "1e21"}, Case{1e-300, "1e-300"},
                      Case{1.5e308, "1.5e308"}, Case{0.0001, "0.0001"},
                      Case{9999999999999998.0, "9999999999999998"},
                      Case{6.956540945520835e19, "69565409455208350000"}, Case{-0.0, "-0"},
                      Case{0.0, "0"}, Case{1.5, "1.5"}, Case{2.5e-7, "2.5e-7"},
                      Case{1.2345e-5, "1.2345e-5"}, Case{-1e-5, "-1e-5"},
                      Case{std::nan(""), "NaN"},
                      Case{std::numeric_limits<double>::infinity(), "inf"},
                      Case{-std::numeric_limits<double>::infinity(), "-inf"},
                      Case{123456.789, "123456.789"}));

class ExponentForm : public ::testing::TestWithParam<Case> {};
TEST_P(ExponentForm, Prints) { EXPECT_EQ(exponent(GetParam().value), GetParam().text); }
INSTANTIATE_TEST_SUITE_P(Examples, ExponentForm,
                         ::testing::Values(Case{2.5e-7, "2.5e-7"}, Case{0.001, "1e-3"},
                                           Case{1234.5, "1.2345e3"}, Case{0.0, "0e0"},
                                           Case{std::nan(""), "NaN"}, Case{1e300, "1e300"},
                                           Case{-1.5e-300, "-1.5e-300"}));

class DebugForm : public ::testing::TestWithParam<Case> {};
TEST_P(DebugForm, Prints) { EXPECT_EQ(debug(GetParam().value), GetParam().text); }
INSTANTIATE_TEST_SUITE_P(
    Examples, DebugForm,
    ::testing::Values(Case{1.0, "1.0"}, Case{0.5, "0.5"}, Case{0.001, "0.001"},
                      Case{0.0001, "0.0001"}, Case{1000000.0, "1000000.0"},
                      Case{1e-10, "1e-10"}, Case{2.5e-5, "2.5e-5"}, Case{1e16, "1e16"},
                      Case{9999999999999998.0, "9999999999999998.0"}, Case{1.5e300, "1.5e300"},
                      Case{-0.0, "-0.0"}, Case{0.0, "0.0"}, Case{-2.0, "-2.0"},
                      Case{std::nan(""), "NaN"},
                      Case{-std::numeric_limits<double>::infinity(), "-inf"}));

TEST(Records, LayOutFieldsVariantsAndRanges) {
  EXPECT_EQ(Record("Clamped").field("left", debug(1.0)).field("right", debug(-2.0)).str(),
            "Clamped { left: 1.0, right: -2.0 }");
  EXPECT_EQ(Record("Estimated").str(), "Estimated");
  EXPECT_EQ(variant("Uniform", debug(2.5)), "Uniform(2.5)");
  EXPECT_EQ(range(0.0, 3.0), "0.0..=3.0");
  EXPECT_EQ(debug(std::uint64_t{17}), "17");
  EXPECT_EQ(debug(true), "true");
}

// Every form must read back to the very same double, whatever its bits.
TEST(RoundTrip, AllFormsReadBackExactly) {
  std::mt19937_64 rng(7);
  auto check = [](double v) {
    for (const std::string& text : {message(v), exponent(v), debug(v)}) {
      const double back = std::strtod(text.c_str(), nullptr);
      if (std::isnan(v)) {
        EXPECT_TRUE(std::isnan(back)) << text;
      } else {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(v))
            << text;
      }
    }
  };
  for (int i = 0; i < 20000; ++i) check(std::bit_cast<double>(rng()));
  for (double v : {0.0, -0.0, 5e-324, -5e-324, 2.2250738585072014e-308,
                   std::numeric_limits<double>::max(), -std::numeric_limits<double>::max(),
                   std::numeric_limits<double>::infinity(), std::nan(""), 0.1, 1e-4,
                   9.999999999999999e-5, 1e16, 9.999999999999998e15}) {
    check(v);
  }
}

}  // namespace
}  // namespace velarix::format
