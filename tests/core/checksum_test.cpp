#include "checksum.hpp"

#include <gtest/gtest.h>

#include <string_view>

namespace velarix {
namespace {

std::uint32_t of(std::string_view text) {
  return crc32(std::as_bytes(std::span<const char>(text.data(), text.size())));
}

// The standard check values of CRC-32 (the same as zlib.crc32).
TEST(Checksum, StandardCheckValues) {
  EXPECT_EQ(of(""), 0u);
  EXPECT_EQ(of("123456789"), 0xCBF43926u);
  EXPECT_EQ(of("The quick brown fox jumps over the lazy dog"), 0x414FA339u);
}

}  // namespace
}  // namespace velarix
