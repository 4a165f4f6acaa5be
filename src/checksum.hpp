// The checksum that makes saved states tamper-evident.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace velarix {

// CRC-32 with the IEEE 802.3 polynomial, reflected, initial value and final
// mask all ones (the check value of "123456789" is 0xCBF43926). It changes
// under every burst of up to 32 flipped bits, so under every single-bit flip.
std::uint32_t crc32(std::span<const std::byte> bytes);

}  // namespace velarix
