// The one check of each configuration: what fit refuses for sound data is
// exactly what the check reports, and the edges of every range stay open.
#include <gtest/gtest.h>

#include <optional>

#include "every_method.hpp"

namespace velarix {
namespace {

const Doubles x = {0, 1, 2, 3};
const Doubles y = {0, 1, 4, 9};

template <class Config>
class ConfigCheck : public ::testing::Test {};
TYPED_TEST_SUITE(ConfigCheck, testing::Methods, testing::MethodNames);

TYPED_TEST(ConfigCheck, FitReportsWhatTheCheckRefuses) {
  const auto refusal = testing::MethodTraits<TypeParam>::refused();
  if (!refusal) GTEST_SKIP() << "the method has no setting its check refuses";
  const auto& [config, text] = *refusal;
  const std::optional<InvalidParameter> checked = config.check();
  ASSERT_TRUE(checked.has_value());
  EXPECT_EQ(message(*checked), text);
  const auto fitted = config.fit(x, y);
  ASSERT_FALSE(fitted.ok());
  EXPECT_EQ(message(fitted.error()), text);
}

TYPED_TEST(ConfigCheck, DefaultsAndTheEdgesOfEachRangePass) {
  for (const TypeParam& config : {TypeParam{}, testing::MethodTraits<TypeParam>::edge()}) {
    EXPECT_FALSE(config.check().has_value());
    EXPECT_TRUE(config.fit(x, y).ok());
  }
}

}  // namespace
}  // namespace velarix
