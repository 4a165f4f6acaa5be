#include "state.hpp"

#include <bit>
#include <limits>

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
  const EndSlopes::Clamped* clamped = slopes.clamped_slopes();
  u8(clamped == nullptr ? 0 : 1);
  if (clamped != nullptr) {
    f64(clamped->left);
    f64(clamped->right);
  }
}

void Writer::knots(std::span<const double> knots) {
  u64(knots.size());
  f64s(knots);
}

Reader::Reader(std::span<const std::byte> bytes, Kind kind) : bytes_(bytes) {
  if (u8() != layout_version) {
    if (ok()) offset_ = 0;
    fail("unknown layout version");
  } else if (u8() != static_cast<std::uint8_t>(kind)) {
    if (ok()) offset_ = 1;
    fail("state of another class");
  }
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
  if (tag(2) == 0) return EndSlopes::estimated();
  const double left = f64();
  const double right = f64();
  return EndSlopes::clamped(left, right);
}

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
  if (ok() && offset_ != bytes_.size()) fail("trailing bytes");
  return error_;
}

namespace {

constexpr auto end_slopes_fields = [](auto& io, auto& slopes) { io.field(slopes); };

}  // namespace

template <>
Bytes save(const EndSlopes& slopes) {
  return save_record(Kind::end_slopes, slopes, end_slopes_fields);
}

template <>
Result<EndSlopes> load(std::span<const std::byte> bytes) {
  return load_record<EndSlopes>(Kind::end_slopes, bytes, end_slopes_fields);
}

}  // namespace velarix::state
