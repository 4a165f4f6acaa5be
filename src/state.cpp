#include "state.hpp"

#include <algorithm>
#include <bit>
#include <iterator>
#include <limits>
#include <utility>

#include "checksum.hpp"
#include "memory.hpp"

namespace velarix::state {

Writer::Writer(Kind kind) {
  u8(layout_version);
  u8(static_cast<std::uint8_t>(kind));
}

void Writer::u8(std::uint8_t value) { bytes_.push_back(static_cast<std::byte>(value)); }

void Writer::u64(std::uint64_t value) {
  for (int shift = 0; shift < 64; shift += 8) {
    bytes_.push_back(static_cast<std::byte>((value >> shift) & 0xFF));
  }
}

// The bits themselves, so that NaN payloads and signed zeros survive.
void Writer::f64(double value) { u64(std::bit_cast<std::uint64_t>(value)); }

void Writer::f64s(std::span<const double> values) {
  for (const double value : values) f64(value);
}

void Writer::end_slopes(const EndSlopes& slopes) {
  // 0 Estimated, 1 Clamped with its two slopes, 2 Limited, 3 Natural,
  // 4 Periodic: the tags of the first three are those of the first release.
  const EndSlopes::Clamped* clamped = slopes.clamped_slopes();
  std::uint8_t tag = 0;
  if (clamped != nullptr) tag = 1;
  if (slopes.is_limited()) tag = 2;
  if (slopes.is_natural()) tag = 3;
  if (slopes.is_periodic()) tag = 4;
  u8(tag);
  if (clamped != nullptr) {
    f64(clamped->left);
    f64(clamped->right);
  }
}

void Writer::scale(const Scale& scale) {
  bytes_[0] = static_cast<std::byte>(scaled_layout_version);
  u64(static_cast<std::uint64_t>(static_cast<std::int64_t>(scale.x_exp)));
  u64(static_cast<std::uint64_t>(static_cast<std::int64_t>(scale.y_exp)));
}

void Writer::periodic() {
  const bool scaled = bytes_[0] == static_cast<std::byte>(scaled_layout_version);
  bytes_[0] =
      static_cast<std::byte>(scaled ? periodic_scaled_layout_version : periodic_layout_version);
}

void Writer::knots(std::span<const double> knots) {
  u64(knots.size());
  f64s(knots);
}

Bytes Writer::finish() && {
  const std::uint32_t sum = crc32(bytes_);
  for (int shift = 0; shift < 32; shift += 8) {
    bytes_.push_back(static_cast<std::byte>((sum >> shift) & 0xFF));
  }
  return std::move(bytes_);
}

namespace {

constexpr const char* kCutShort = "damaged: cut short before its checksum";
constexpr const char* kChecksumMismatch = "damaged: its checksum does not match";
constexpr const char* kVersionAltered = "damaged: its layout version byte is altered";

std::uint32_t stored_checksum(std::span<const std::byte> bytes) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < checksum_size; ++i) {
    sum |= static_cast<std::uint32_t>(bytes[bytes.size() - checksum_size + i]) << (8 * i);
  }
  return sum;
}

// The layouts that end in a checksum.
constexpr std::uint8_t checked_layouts[] = {layout_version, scaled_layout_version,
                                            periodic_layout_version,
                                            periodic_scaled_layout_version};

bool checked_layout(std::uint8_t version) {
  return std::find(std::begin(checked_layouts), std::end(checked_layouts), version) !=
         std::end(checked_layouts);
}

// Whether a state of an unknown version is a state of a checked layout
// whose version byte alone was altered: with the byte restored, the checksum
// matches.
bool version_altered(std::span<const std::byte> bytes) {
  if (bytes.size() < 2 + checksum_size) return false;
  Bytes restored(bytes.begin(), bytes.end() - checksum_size);
  for (const std::uint8_t version : checked_layouts) {
    restored[0] = static_cast<std::byte>(version);
    if (crc32(restored) == stored_checksum(bytes)) return true;
  }
  return false;
}

}  // namespace

Reader::Reader(std::span<const std::byte> bytes, Kind kind) : bytes_(bytes) {
  const std::uint8_t version = u8();
  if (!ok()) return;
  if (checked_layout(version)) {
    scale_pending_ =
        version == scaled_layout_version || version == periodic_scaled_layout_version;
    periodic_pending_ =
        version == periodic_layout_version || version == periodic_scaled_layout_version;
    verify_checksum();
  } else if (version != unchecked_layout_version) {
    offset_ = 0;
    fail(version_altered(bytes) ? kVersionAltered : "unknown layout version");
  }
  if (ok() && u8() != static_cast<std::uint8_t>(kind)) {
    if (ok()) offset_ = 1;
    fail("state of another class");
  }
}

void Reader::verify_checksum() {
  if (bytes_.size() < 2 + checksum_size) {
    offset_ = bytes_.size();
    fail(kCutShort);
    return;
  }
  const std::span<const std::byte> fields = bytes_.first(bytes_.size() - checksum_size);
  if (crc32(fields) != stored_checksum(bytes_)) {
    offset_ = fields.size();
    fail(kChecksumMismatch);
    return;
  }
  bytes_ = fields;
}

void Reader::fail(const char* reason) {
  if (!error_) error_ = InvalidState{reason, offset_};
}

bool Reader::take(std::size_t count, const char* reason) {
  if (!ok()) return false;
  if (bytes_.size() - offset_ < count) {
    fail(reason);
    return false;
  }
  return true;
}

std::uint8_t Reader::u8() {
  if (!take(1, "truncated")) return 0;
  return static_cast<std::uint8_t>(bytes_[offset_++]);
}

std::uint64_t Reader::u64() {
  if (!take(8, "truncated")) return 0;
  std::uint64_t value = 0;
  for (int shift = 0; shift < 64; shift += 8) {
    value |= static_cast<std::uint64_t>(bytes_[offset_++]) << shift;
  }
  return value;
}

double Reader::f64() { return std::bit_cast<double>(u64()); }

std::uint8_t Reader::tag(std::uint8_t count) {
  const std::size_t at = offset_;
  const std::uint8_t value = u8();
  if (ok() && value >= count) {
    offset_ = at;
    fail("tag out of range");
    return 0;
  }
  return value;
}

bool Reader::flag() { return tag(2) == 1; }

Doubles Reader::f64s(std::uint64_t count) {
  // Checked against the bytes left before the allocation, so that a tampered
  // count cannot ask for gigabytes.
  if (!ok()) return {};
  if (count > (bytes_.size() - offset_) / 8) {
    fail("truncated");
    return {};
  }
  Doubles values(static_cast<std::size_t>(count));
  for (double& value : values) value = f64();
  return values;
}

EndSlopes Reader::end_slopes() {
  const std::uint8_t kind = tag(5);
  if (kind == 0) return EndSlopes::estimated();
  if (kind == 2) return EndSlopes::limited();
  if (kind == 3) return EndSlopes::natural();
  if (kind == 4) return EndSlopes::periodic();
  const double left = f64();
  const double right = f64();
  return EndSlopes::clamped(left, right);
}

Scale Reader::scale() {
  if (!scale_pending_) return Scale{};
  scale_pending_ = false;
  const std::size_t at = offset_;
  const auto x_exp = static_cast<std::int64_t>(u64());
  const auto y_exp = static_cast<std::int64_t>(u64());
  const auto in_range = [](std::int64_t e) {
    return e >= -largest_scale_exponent && e <= largest_scale_exponent;
  };
  if (ok() && (!in_range(x_exp) || !in_range(y_exp) || (x_exp == 0 && y_exp == 0))) {
    offset_ = at;
    fail("scale out of range");
  }
  if (!ok()) return Scale{};
  return Scale{static_cast<int>(x_exp), static_cast<int>(y_exp)};
}

bool Reader::periodic() { return std::exchange(periodic_pending_, false); }

Doubles Reader::knots() {
  const std::size_t at = offset_;
  const std::uint64_t n = u64();
  if (ok() && n < 2) {
    offset_ = at;
    fail("fewer than 2 knots");
    return {};
  }
  const std::size_t first = offset_;
  Doubles knots = f64s(n);
  // The interval lookup relies on this order; a NaN knot fails it too.
  for (std::size_t i = 0; ok() && i + 1 < knots.size(); ++i) {
    if (!(knots[i] < knots[i + 1])) {
      offset_ = first + 8 * (i + 1);
      fail("knots not strictly increasing");
    }
  }
  if (!ok()) return {};
  return knots;
}

std::optional<Error> Reader::finish() {
  // Layouts 3 to 5 describe a curve: a state without one is not of them.
  if (ok() && (scale_pending_ || periodic_pending_)) {
    offset_ = 0;
    fail("unknown layout version");
  }
  if (ok() && offset_ != bytes_.size()) fail("trailing bytes");
  return error_;
}

namespace {

constexpr auto end_slopes_fields = [](auto& io, auto& slopes) { io.field(slopes); };

}  // namespace

VELARIX_RECORD_STATE(EndSlopes, Kind::end_slopes, end_slopes_fields)

}  // namespace velarix::state
