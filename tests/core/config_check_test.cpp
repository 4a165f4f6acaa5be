// The one check of each configuration: what fit refuses for sound data is
// exactly what the check reports, and the edges of every range stay open.
#include <gtest/gtest.h>

#include <limits>
#include <optional>

#include "rational_cubic/rational_cubic.hpp"
#include "tension/tension.hpp"
#include "variable_degree/variable_degree.hpp"

namespace velarix {
namespace {

const Doubles x = {0, 1, 2, 3};
const Doubles y = {0, 1, 4, 9};
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

template <class Config>
void expect_fit_reports_the_check(const Config& config, const char* text) {
  const std::optional<InvalidParameter> checked = config.check();
  ASSERT_TRUE(checked.has_value());
  EXPECT_EQ(message(*checked), text);
  const auto fitted = config.fit(x, y);
  ASSERT_FALSE(fitted.ok());
  EXPECT_EQ(message(fitted.error()), text);
}

template <class Config>
void expect_accepted(const Config& config) {
  EXPECT_FALSE(config.check().has_value());
  EXPECT_TRUE(config.fit(x, y).ok());
}

TEST(ConfigCheck, FitReportsWhatTheCheckRefuses) {
  RationalCubic rc;
  rc.w_cap = kNaN;
  expect_fit_reports_the_check(rc, "shape parameter `w_cap` must be >= 0, got NaN");
  Tension t;
  t.policy = tension::Policy::uniform(-1);
  expect_fit_reports_the_check(t, "shape parameter `sigma` must be >= 0, got -1");
  VariableDegree vd;
  vd.max_degree = 2.5;
  expect_fit_reports_the_check(vd, "shape parameter `max_degree` must be >= 3, got 2.5");
}

TEST(ConfigCheck, DefaultsAndTheEdgesOfEachRangePass) {
  RationalCubic rc;
  rc.w_cap = 0;
  expect_accepted(rc);
  Tension t;
  t.policy = tension::Policy::uniform(-0.0);
  expect_accepted(t);
  VariableDegree vd;
  vd.max_degree = 3;
  expect_accepted(vd);
}

}  // namespace
}  // namespace velarix
