#include "checksum.hpp"

#include <gtest/gtest.h>

#include <string_view>

namespace velarix {
namespace {

// The standard check values of CRC-32, which zlib.crc32 gives too.
TEST(Checksum, StandardCheckValues) {
  for (const auto& [text, sum] : {std::pair<std::string_view, std::uint32_t>{"", 0u},
                                  {"123456789", 0xCBF43926u}}) {
    EXPECT_EQ(crc32(std::as_bytes(std::span<const char>(text.data(), text.size()))), sum);
  }
}

}  // namespace
}  // namespace velarix
