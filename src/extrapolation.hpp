// What a curve gives at abscissas outside its knots, and the continuations
// that need only the curve's end values.
#pragma once

#include <array>
#include <limits>
#include <optional>
#include <string_view>

namespace velarix {

// hold: the value and every derivative those at the nearer end (the plain
// evaluation); linear: the end value continued with the end slope; constant:
// the end value, derivatives 0; nan: NaN; extend: the end pieces' own
// formulas beyond the knots; periodic: the curve repeated with period
// last - first knot. Antiderivatives integrate what the mode gives.
enum class Extrapolation { hold, linear, constant, nan, extend, periodic };

inline constexpr std::array<std::string_view, 6> extrapolation_names = {
    "hold", "linear", "constant", "nan", "extend", "periodic"};

// The modes a caller offers, in the order its documentation lists them:
// the curve's own, and "raise", which the caller answers by refusing an
// abscissa outside the knots before the curve sees it.
inline constexpr std::array<std::string_view, 7> offered_extrapolations = {
    "linear", "constant", "hold", "nan", "raise", "extend", "periodic"};

inline std::optional<Extrapolation> extrapolation_named(std::string_view name) {
  for (std::size_t i = 0; i < extrapolation_names.size(); ++i) {
    if (extrapolation_names[i] == name) return static_cast<Extrapolation>(i);
  }
  return std::nullopt;
}

// What linear and constant continue from at one end, in the caller's units:
// the knot, the antiderivative, value and slope there.
struct EndValues {
  double knot = 0;
  double integral = 0;
  double value = 0;
  double slope = 0;
};

// factor * dx, with 0 * inf taken as 0: a flat end stays flat (and its
// integral finite) out to infinity.
inline double times(double factor, double dx) { return factor == 0 ? 0 : factor * dx; }

// The curve's quantity of order `Order` (-1 the antiderivative from the
// first knot) at x beyond `end`, for the modes linear, constant and nan.
// Linear: S(e + dx) = S(e) + S'(e) dx, whose integral from the end is
// dx (S(e) + S'(e) dx / 2); constant: S(e), integrating to S(e) dx.
template <int Order>
double continued(Extrapolation mode, const EndValues& end, double x) {
  if (mode == Extrapolation::nan) return std::numeric_limits<double>::quiet_NaN();
  const bool linear = mode == Extrapolation::linear;
  const double dx = x - end.knot;
  if constexpr (Order >= 2) {
    return 0;
  } else if constexpr (Order == 1) {
    return linear ? end.slope : 0;
  } else if constexpr (Order == 0) {
    return linear ? end.value + times(end.slope, dx) : end.value;
  } else {
    if (!linear) return end.integral + times(end.value, dx);
    return end.integral + times(end.value + 0.5 * times(end.slope, dx), dx);
  }
}

}  // namespace velarix
