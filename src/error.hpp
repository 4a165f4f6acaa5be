// The library's one error type. Every failure that a fit can report is one of
// these variants; its message is the text the caller sees.
#pragma once

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace velarix {

struct LengthMismatch {
  std::size_t x_len;
  std::size_t y_len;
};

struct TooFewPoints {
  std::size_t got;
};

struct NotIncreasing {
  std::size_t index;
  double left;
  double right;
};

struct InvalidParameter {
  const char* name;
  const char* constraint;
  double value;
};

struct MixedCurvature {
  std::size_t knot;
  double at;  // the knot's abscissa, named beside its index
  double before;
  double after;
};

struct NoConvergence {
  std::size_t iterations;
  double last_change;
};

// A knot that is infinite: the spline would be NaN everywhere. Only the first
// or the last knot of an increasing sequence can be.
struct NonFiniteKnot {
  std::size_t index;
  double value;
};

// Two neighbouring knots whose difference no method can work with: a
// subnormal one, or one too large for the method's products (`reason` says
// which, starting "too close" or "too far apart").
struct UnusableWidth {
  std::size_t index;
  double left;
  double right;
  const char* reason;
};

// A shape parameter so small or so large beside a width that the method's
// linear system would lose its pivots (underflow to zero or overflow), or a
// clamped end slope so steep beside its end interval that the curve would
// leave the range of doubles; `effect` says which.
struct OutOfScale {
  const char* name;
  double value;
  std::size_t interval;
  double width;
  const char* effect = "the solve would have no usable pivot";
};

// A data value that is NaN or infinite. Every method solves its slopes from
// all the values together, so one such value would make the whole spline NaN.
struct NonFiniteValue {
  std::size_t index;
  double value;
};

// Periodic end conditions on data whose first and last values differ: the
// spline could not continue across the period. `last` is the index of the
// last value.
struct NotPeriodic {
  std::size_t last;
  double first_value;
  double last_value;
};

// End conditions a method cannot honour, and why.
struct UnsupportedEnds {
  const char* method;
  const char* ends;
  const char* reason;
};

// A saved state (see state.hpp) that cannot be loaded: truncated, tampered
// with, or written by another version. `offset` is the first byte of the
// field that was refused (for a truncation, of the field cut short).
struct InvalidState {
  const char* reason;
  std::size_t offset;
};

// A setting of the smoother outside its range (`lam`, `segments`).
struct InvalidSetting {
  const char* name;
  const char* constraint;
  double value;
};

// One entry of an input sequence that the smoother refuses: a non-finite
// value or weight, a negative weight, an interior knot out of place.
struct InvalidValue {
  const char* name;
  std::size_t index;
  const char* constraint;
  double value;
};

// Weights given, but not one per data point.
struct WeightCount {
  std::size_t points;
  std::size_t weights;
};

// Fewer distinct abscissae carrying weight than a smoothing fit needs.
struct TooFewDistinct {
  std::size_t got;
  std::size_t needed;
};

// A shape name the smoother does not know, as given.
struct UnknownShape {
  std::string text;
};

// A smoothing fit that doubles cannot carry: a second derivative of y / x^2
// beyond the largest double in the caller's units, or normal equations that
// no smoothing parameter makes solvable.
struct Unrepresentable {
  const char* what;
};

// A gridded table the grid interpolant refuses (its axes, values or size),
// with the text that names the entry.
struct GridRefusal {
  std::string text;
};

// A computation the caller asked to stop (see cancel.hpp); the extension
// answers it with the interrupt that asked.
struct Cancelled {};

using Error = std::variant<LengthMismatch, TooFewPoints, NotIncreasing,
                           InvalidParameter, MixedCurvature, NoConvergence, InvalidState,
                           NonFiniteKnot, UnusableWidth, OutOfScale, NonFiniteValue,
                           NotPeriodic, UnsupportedEnds, InvalidSetting, InvalidValue,
                           WeightCount, TooFewDistinct, UnknownShape, Unrepresentable,
                           GridRefusal, Cancelled>;

// The exact text of an error, as the caller sees it.
std::string message(const Error& error);

// The refusal of a setting that is NaN or infinite, which no tension, slope,
// margin or tolerance means: "must be finite". Every configuration's check
// asks this of each floating-point setting.
std::optional<InvalidParameter> require_finite(const char* name, double value);

// A broken internal invariant (a zero pivot, mismatched sequence lengths, an
// index beyond a sequence). Validated data never reach one; it is thrown, not
// returned, and the binding reports it as a RuntimeError.
class InternalError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// Either a value or an Error, returned by every operation that can fail.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}
  template <class E>
    requires std::is_constructible_v<Error, E> && (!std::is_same_v<std::decay_t<E>, T>)
  Result(E error) : state_(std::in_place_index<1>, Error(std::move(error))) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return checked_value(); }
  const T& value() const& { return const_cast<Result*>(this)->checked_value(); }
  T&& value() && { return std::move(checked_value()); }
  const Error& error() const {
    if (ok()) throw InternalError("result holds a value, not an error");
    return std::get<1>(state_);
  }

 private:
  T& checked_value() {
    if (!ok()) throw InternalError("result holds an error: " + message(std::get<1>(state_)));
    return std::get<0>(state_);
  }

  std::variant<T, Error> state_;
};

}  // namespace velarix
