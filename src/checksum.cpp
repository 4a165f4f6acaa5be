#include "checksum.hpp"

#include <array>

namespace velarix {
namespace {

// The IEEE 802.3 generator x^32 + x^26 + ... + 1 with its bits reversed, as
// the reflected (least significant bit first) algorithm shifts.
constexpr std::uint32_t kPolynomial = 0xEDB88320u;

// The remainder of every byte value, so that the loop takes a byte per step.
constexpr std::array<std::uint32_t, 256> make_table() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t byte = 0; byte < 256; ++byte) {
    std::uint32_t remainder = byte;
    for (int bit = 0; bit < 8; ++bit) {
      remainder = (remainder & 1u) != 0 ? (remainder >> 1) ^ kPolynomial : remainder >> 1;
    }
    table[byte] = remainder;
  }
  return table;
}

constexpr std::array<std::uint32_t, 256> kTable = make_table();

}  // namespace

std::uint32_t crc32(std::span<const std::byte> bytes) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (const std::byte b : bytes) {
    crc = kTable[(crc ^ static_cast<std::uint8_t>(b)) & 0xFFu] ^ (crc >> 8);
  }
  return crc ^ 0xFFFFFFFFu;
}

}  // namespace velarix
