// The saved state of the library's values: a versioned little-endian byte
// layout from which a value is rebuilt exactly, without refitting, so that a
// spline sent to another process evaluates to the same bits there.
//
// Every state starts with two bytes, the layout version and the kind of value
// (so that the state of one class never loads as another), followed by the
// value's fields: doubles as their IEEE bits in 8 bytes, counts in 8 bytes,
// tags and flags in one byte, all little-endian. A spline's fields are the
// knot count n, the n knots, then per interval the method's result where it
// has one (w, tension or degree) and the piece's own fields, then the fit's
// counters and flags.
//
// Layout 2 ends with a CRC-32 of every byte before it (4 bytes, little-endian),
// so that a state cut short or altered anywhere, the piece fields included,
// is refused as damaged instead of loading as another spline. Layout 1 (the
// first release) has no checksum and still loads. Layout 3 is layout 2 for a
// spline fitted in scaled coordinates (see Scale): its curve field starts
// with the two exponents, x then y, each as a signed 8-byte count. It is
// written only for such a spline, so every other state keeps its layout-2
// bytes. Layouts 4 and 5 are layouts 2 and 3 for a periodic curve (one that
// repeats outside its knots, see Piecewise::periodic); their fields are the
// same.
//
// Loading checks everything a tampered state could break: the version, the
// checksum, the kind, every tag and flag, n >= 2, strictly increasing knots
// (NaN fails), and the exact length. Past the checksum the piece fields are
// plain numbers; any values give a spline that evaluates without reading out
// of bounds.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "boundary.hpp"
#include "error.hpp"
#include "memory.hpp"
#include "methods.hpp"
#include "piecewise.hpp"
#include "scale.hpp"

namespace velarix::state {

using Bytes = std::vector<std::byte>;

inline constexpr std::uint8_t layout_version = 2;
// The layout without the checksum, written by the first release.
inline constexpr std::uint8_t unchecked_layout_version = 1;
inline constexpr std::size_t checksum_size = 4;
// Layout 2 with the scale of a scaled curve.
inline constexpr std::uint8_t scaled_layout_version = 3;
// Layouts 2 and 3 of a periodic curve.
inline constexpr std::uint8_t periodic_layout_version = 4;
inline constexpr std::uint8_t periodic_scaled_layout_version = 5;
// No scale a fit chooses has an exponent beyond this (widths and values are
// doubles, whose binary exponents lie within [-1074, 1023]).
inline constexpr std::int64_t largest_scale_exponent = 1100;

// The kind of value a state holds, its second byte: every class that saves
// a state has its own, so that the state of one class never loads as
// another. The shared EndSlopes is 1; each method's two are listed with the
// method (methods.hpp); the smoother, which does not interpolate and so is
// not a method, has 16 and 17; the grid interpolant, a table of two and more
// variables, has 18.
#define VELARIX_KINDS(name, configuration, spline, Configuration) \
  name = configuration, name##_spline = spline,
enum class Kind : std::uint8_t {
  end_slopes = 1,
  VELARIX_METHODS(VELARIX_KINDS) smoother = 16,
  smoothing_spline = 17,
  grid_surface = 18,
};
#undef VELARIX_KINDS

// Every kind as a case of one switch: the compiler refuses two kinds of one
// value (a duplicate case).
constexpr bool is_kind(Kind kind) {
#define VELARIX_KIND_CASES(name, configuration, spline, Configuration) \
  case Kind::name:                                                     \
  case Kind::name##_spline:
  switch (kind) {
    case Kind::end_slopes:
    case Kind::smoother:
    case Kind::smoothing_spline:
    case Kind::grid_surface:
      VELARIX_METHODS(VELARIX_KIND_CASES)
      return true;
  }
#undef VELARIX_KIND_CASES
  return false;
}
static_assert(is_kind(Kind::end_slopes) && !is_kind(Kind{0}));

// The state of a value, and the value rebuilt from a state. Defined for
// EndSlopes here and for each method's configuration and fitted spline in the
// method's own state.hpp.
template <class T>
Bytes save(const T& value);
template <class T>
Result<T> load(std::span<const std::byte> bytes);

// Declares the saved states of a configuration and of its fitted spline,
// the four specialisations each method's state.cpp defines.
#define VELARIX_DECLARE_STATES(Configuration)                \
  template <>                                                \
  Bytes save(const Configuration&);                          \
  template <>                                                \
  Result<Configuration> load(std::span<const std::byte>);    \
  template <>                                                \
  Bytes save(const Configuration::Spline&);                  \
  template <>                                                \
  Result<Configuration::Spline> load(std::span<const std::byte>);

// Appends fields to a state.
class Writer {
 public:
  explicit Writer(Kind kind);

  void u8(std::uint8_t value);
  void u64(std::uint64_t value);
  void f64(double value);
  void f64s(std::span<const double> values);
  void end_slopes(const EndSlopes& slopes);
  // A scale that is not the identity: marks the state as layout 3 and
  // writes the two exponents.
  void scale(const Scale& scale);
  // Marks the state as that of a periodic curve (layout 4, or 5 if scaled).
  void periodic();
  // The count, then the knots.
  void knots(std::span<const double> knots);
  // One field of a record (see `save_record`).
  void field(double value) { f64(value); }
  void field(std::uint64_t value) { u64(value); }
  void field(const EndSlopes& slopes) { end_slopes(slopes); }
  // A fitted curve: its knots, then per interval the piece, after the
  // method's result for that interval where it has one (one per piece).
  template <class Piece>
  void curve(const Piecewise<Piece>& curve);
  template <class Piece>
  void curve(const Piecewise<Piece>& curve, std::span<const double> results);

  // The state, sealed with its checksum.
  Bytes finish() &&;

 private:
  Bytes bytes_;
};

// Whether a curve's intervals carry the method's result before their pieces.
enum class Results : bool { absent, per_interval };

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
  // A fixed number of doubles, such as a piece's field list.
  template <std::size_t N>
  std::array<double, N> f64s() {
    std::array<double, N> values{};
    for (double& value : values) value = f64();
    return values;
  }
  EndSlopes end_slopes();
  // The scale a curve starts with: the two exponents in a layout-3 (or 5)
  // state, each within largest_scale_exponent and not both 0; the identity
  // in any other.
  Scale scale();
  // Whether the curve being read repeats (layouts 4 and 5).
  bool periodic();
  // A count n >= 2 and n strictly increasing knots.
  Doubles knots();
  // One field of a record (see `load_record`).
  void field(double& value) { value = f64(); }
  void field(std::uint64_t& value) { value = u64(); }
  void field(EndSlopes& slopes) { slopes = end_slopes(); }
  // What `Writer::curve` wrote, with or without results.
  template <class Piece>
  struct Curve;
  template <class Piece>
  Curve<Piece> curve(Results results);

  // Whether every byte has been read (or reading has failed): a layout may
  // end in fields that are written only when they differ from a default.
  bool at_end() const { return !ok() || offset_ == bytes_.size(); }
  // The byte the next field starts at.
  std::size_t offset() const { return offset_; }

  // The first failure, or a failure if any bytes are left over.
  std::optional<Error> finish();

 private:
  bool take(std::size_t count, const char* reason);
  void fail(const char* reason);
  // Checks the checksum of a layout-2 state and leaves it out of the fields.
  void verify_checksum();

  std::span<const std::byte> bytes_;
  std::size_t offset_ = 0;
  std::optional<Error> error_;
  // A layout-3 state whose scale has not been read yet.
  bool scale_pending_ = false;
  // A layout-4 or 5 state whose curve has not been read yet.
  bool periodic_pending_ = false;
};

// A value saved as its fields in order, such as a configuration: `fields(io,
// value)` names them once, as `io.field(value.x)` calls, for the Writer and
// the Reader alike, so that the two cannot disagree on the order.
template <class T, class Fields>
Bytes save_record(Kind kind, const T& value, Fields fields) {
  Writer out(kind);
  fields(out, value);
  return std::move(out).finish();
}

template <class T, class Fields>
Result<T> load_record(Kind kind, std::span<const std::byte> bytes, Fields fields) {
  Reader in(bytes, kind);
  T value{};
  fields(in, value);
  if (auto error = in.finish()) return *error;
  return value;
}

// Defines the saved state of a value kept as a record of `fields` (see
// save_record): its save and load specialisations.
#define VELARIX_RECORD_STATE(Type, kind, fields)              \
  template <>                                                 \
  Bytes save(const Type& value) {                             \
    return save_record(kind, value, fields);                  \
  }                                                           \
  template <>                                                 \
  Result<Type> load(std::span<const std::byte> bytes) {       \
    return load_record<Type>(kind, bytes, fields);            \
  }

// How a piece is saved: by default its own field list (`fields()` and
// `from_fields`). A piece that holds more than a fixed list of numbers (a
// tagged form) specialises this beside its own code.
template <class Piece>
struct PieceState {
  static void write(Writer& out, const Piece& piece) { out.f64s(piece.fields()); }
  static Piece read(Reader& in) { return Piece::from_fields(in.f64s<Piece::field_count>()); }
};

template <class Piece>
void Writer::curve(const Piecewise<Piece>& curve) {
  if (!curve.scale().identity()) scale(curve.scale());
  if (curve.periodic()) periodic();
  knots(curve.knots());
  for (const Piece& piece : curve.pieces()) PieceState<Piece>::write(*this, piece);
}

template <class Piece>
void Writer::curve(const Piecewise<Piece>& curve, std::span<const double> results) {
  if (results.size() != curve.pieces().size()) throw InternalError("a result per piece");
  if (!curve.scale().identity()) scale(curve.scale());
  if (curve.periodic()) periodic();
  knots(curve.knots());
  for (std::size_t i = 0; i < curve.pieces().size(); ++i) {
    f64(results[i]);
    PieceState<Piece>::write(*this, curve.pieces()[i]);
  }
}

// The parts of a curve read from a state; assembled only after `finish` has
// found the state sound.
template <class Piece>
struct Reader::Curve {
  Scale scale;
  bool periodic = false;
  Doubles knots;
  Doubles results;  // empty for Results::absent
  Vector<Piece> pieces;

  Piecewise<Piece> piecewise() && {
    Piecewise<Piece> curve(std::move(knots), std::move(pieces), scale);
    curve.set_periodic(periodic);
    return curve;
  }
};

template <class Piece>
Reader::Curve<Piece> Reader::curve(Results results) {
  Curve<Piece> curve;
  curve.scale = scale();
  curve.periodic = periodic();
  curve.knots = knots();
  const std::size_t intervals = curve.knots.empty() ? 0 : curve.knots.size() - 1;
  for (std::size_t i = 0; i < intervals && ok(); ++i) {
    if (results == Results::per_interval) curve.results.push_back(f64());
    curve.pieces.push_back(PieceState<Piece>::read(*this));
  }
  return curve;
}

template <>
Bytes save(const EndSlopes&);
template <>
Result<EndSlopes> load(std::span<const std::byte>);

}  // namespace velarix::state
