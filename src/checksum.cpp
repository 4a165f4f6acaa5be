#include "checksum.hpp"

#include <array>

namespace velarix {
namespace {

// The IEEE 802.3 generator x^32 + x^26 + ... + 1 with its bits reversed, as
// the reflected (least significant bit first) algorithm shifts.
constexpr std::uint32_t kPolynomial = 0xEDB88320u;

using Table = std::array<std::array<std::uint32_t, 256>, 8>;

// tables[0][b] is the remainder of byte b; tables[k][b] that of b followed by
// k zero bytes. Eight lookups then advance the remainder by eight bytes at a
// time, whose lookups do not depend on each other (saved states of large
// splines run to tens of megabytes).
constexpr Table make_tables() {
  Table tables{};
  for (std::uint32_t byte = 0; byte < 256; ++byte) {
    std::uint32_t remainder = byte;
    for (int bit = 0; bit < 8; ++bit) {
      remainder = (remainder & 1u) != 0 ? (remainder >> 1) ^ kPolynomial : remainder >> 1;
    }
    tables[0][byte] = remainder;
  }
  for (std::size_t k = 1; k < 8; ++k) {
    for (std::size_t byte = 0; byte < 256; ++byte) {
      const std::uint32_t previous = tables[k - 1][byte];
      tables[k][byte] = (previous >> 8) ^ tables[0][previous & 0xFFu];
    }
  }
  return tables;
}

constexpr Table kTables = make_tables();

std::uint32_t at(std::span<const std::byte> bytes, std::size_t i) {
  return static_cast<std::uint8_t>(bytes[i]);
}

}  // namespace

std::uint32_t crc32(std::span<const std::byte> bytes) {
  const Table& t = kTables;
  std::uint32_t crc = 0xFFFFFFFFu;
  std::size_t i = 0;
  for (; i + 8 <= bytes.size(); i += 8) {
    crc ^= at(bytes, i) | at(bytes, i + 1) << 8 | at(bytes, i + 2) << 16 | at(bytes, i + 3) << 24;
    crc = t[7][crc & 0xFFu] ^ t[6][(crc >> 8) & 0xFFu] ^ t[5][(crc >> 16) & 0xFFu] ^
          t[4][crc >> 24] ^ t[3][at(bytes, i + 4)] ^ t[2][at(bytes, i + 5)] ^
          t[1][at(bytes, i + 6)] ^ t[0][at(bytes, i + 7)];
  }
  for (; i < bytes.size(); ++i) crc = t[0][(crc ^ at(bytes, i)) & 0xFFu] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

}  // namespace velarix
