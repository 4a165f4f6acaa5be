// The saved state of the library's values: a versioned little-endian byte
// layout from which a value is rebuilt exactly, without refitting, so that a
// spline sent to another process evaluates to the same bits there.
//
// Every state starts with two bytes, the layout version and the kind of value
// (so that the state of one class never loads as another), followed by the
// value's fields: doubles as their IEEE bits in 8 bytes, counts in 8 bytes,
// tags and flags in one byte, all little-endian. A spline's fields are the
// knot count n, the n knots, then per interval the method's result (w,
// tension or degree) and the piece's own fields, then the fit's counters and
// flags.
//
// Loading checks everything a tampered state could break: the version, the
// kind, every tag and flag, n >= 2, strictly increasing knots (NaN fails),
// and the exact length. The piece fields themselves are plain numbers; any
// values give a spline that evaluates without reading out of bounds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "boundary.hpp"
#include "error.hpp"
#include "memory.hpp"
#include "rational_cubic/rational_cubic.hpp"
#include "tension/tension.hpp"
#include "variable_degree/variable_degree.hpp"

namespace velarix::state {

using Bytes = std::vector<std::byte>;

inline constexpr std::uint8_t layout_version = 1;

enum class Kind : std::uint8_t {
  end_slopes = 1,
  rational_cubic,
  rational_cubic_spline,
  tension,
  tension_spline,
  variable_degree,
  variable_degree_spline,
};

// The state of a value, and the value rebuilt from a state. Defined for
// EndSlopes, the three configurations and the three fitted splines.
template <class T>
Bytes save(const T& value);
template <class T>
Result<T> load(std::span<const std::byte> bytes);

// Appends fields to a state.
class Writer {
 public:
  explicit Writer(Kind kind);

  void u8(std::uint8_t value);
  void u64(std::uint64_t value);
  void f64(double value);
  void f64s(std::span<const double> values);
  void end_slopes(const EndSlopes& slopes);
  // The count, then the knots.
  void knots(std::span<const double> knots);

  Bytes finish() && { return std::move(bytes_); }

 private:
  Bytes bytes_;
};

// Reads fields from a state. The first failure is kept and every later read
// returns a zero value, so a loader reads straight through and asks once, at
// the end, whether the state was sound; a loader must not build anything
// from what it read before `finish` has said so.
class Reader {
 public:
  Reader(std::span<const std::byte> bytes, Kind kind);

  bool ok() const { return !error_.has_value(); }

  std::uint8_t u8();
  std::uint64_t u64();
  double f64();
  // A byte that must be below `count`.
  std::uint8_t tag(std::uint8_t count);
  // A byte that must be 0 or 1.
  bool flag();
  // `count` doubles; refused before anything is allocated when fewer bytes
  // remain than they need.
  Doubles f64s(std::uint64_t count);
  EndSlopes end_slopes();
  // A count n >= 2 and n strictly increasing knots.
  Doubles knots();

  // The first failure, or a failure if any bytes are left over.
  std::optional<Error> finish();

 private:
  bool take(std::size_t count, const char* reason);
  void fail(const char* reason);

  std::span<const std::byte> bytes_;
  std::size_t offset_ = 0;
  std::optional<Error> error_;
};

template <>
Bytes save(const EndSlopes&);
template <>
Result<EndSlopes> load(std::span<const std::byte>);
template <>
Bytes save(const RationalCubic&);
template <>
Result<RationalCubic> load(std::span<const std::byte>);
template <>
Bytes save(const RationalCubicSpline&);
template <>
Result<RationalCubicSpline> load(std::span<const std::byte>);
template <>
Bytes save(const Tension&);
template <>
Result<Tension> load(std::span<const std::byte>);
template <>
Bytes save(const TensionSpline&);
template <>
Result<TensionSpline> load(std::span<const std::byte>);
template <>
Bytes save(const VariableDegree&);
template <>
Result<VariableDegree> load(std::span<const std::byte>);
template <>
Bytes save(const VariableDegreeSpline&);
template <>
Result<VariableDegreeSpline> load(std::span<const std::byte>);

}  // namespace velarix::state
