// Fitting in scaled coordinates (see Scale): the scale a data set is fitted
// in, the data and the clamped end slopes in that scale, and an error of such
// a fit carried back to the caller's units. Every method fits through
// fit_checked, and so through fit_in_scale.
#pragma once

#include <optional>
#include <span>

#include "boundary.hpp"
#include "cancel.hpp"
#include "error.hpp"
#include "period.hpp"
#include "samples.hpp"
#include "scale.hpp"

namespace velarix {

// The coordinates validated samples are fitted in. Data whose widths and
// largest |y| all lie in [2^-100, 2^101) (values all 0 count as inside) are
// fitted as given, bit for bit: the identity. Others are brought near 1: the
// widths centred on 1 (the binary exponents of the narrowest and the widest
// averaged) and the largest |y| into [1, 2). Widths that even centred would
// leave [2^-250, 2^251) span more than the methods' products can hold: they
// are refused, naming the narrowest interval (or the widest, when the
// narrowest is inside).
Result<Scale> scale_of(const Samples& samples);

// The samples in the scale: knots and values multiplied by powers of two,
// widths and secants computed again from them.
Samples scaled(const Samples& samples, const Scale& scale);

// Clamped end slopes in the scale, times 2^(x_exp - y_exp). A slope that
// overflows there would take the curve out of the range of doubles within
// the end interval: refused, naming it and that interval.
Result<EndSlopes> scaled(const EndSlopes& slopes, const Scale& scale, const Samples& samples);

// Clamped end slopes out of scale with the data, refused before any fit in
// the caller's units: a slope whose rise over its end interval, |s| h,
// overflows, or exceeds 2^26 times the largest |y| (any rise, when every y
// is 0). The end piece's terms are of the size of that rise, and their
// rounding reaches the data's values at the far knot: beyond 2^26 the curve
// there keeps fewer than half of the data's bits, and far beyond it the
// curve leaves the doubles within the knots. The refusal names the slope
// and its interval.
std::optional<OutOfScale> check_clamped(const EndSlopes& slopes, const Samples& samples);

// An error of a fit made in the scale, with its knots, widths and secants in
// the caller's units.
Error unscaled(const Error& error, const Scale& scale);

// The fit of validated samples by `config.fit_samples`: on the samples as
// given when their scale is the identity; otherwise on the samples and the
// clamped end slopes (of a configuration that has a `boundary`) in the
// scale, the spline then keeping the scale so that it evaluates in the
// caller's units.
template <class Config>
Result<typename Config::Spline> fit_scaled(const Config& config, const Samples& samples) {
  const Result<Scale> chosen = scale_of(samples);
  if (!chosen) return chosen.error();
  if constexpr (requires { config.boundary; }) {
    if (std::optional<OutOfScale> refusal = check_clamped(config.boundary, samples)) {
      return *refusal;
    }
  }
  const Scale& scale = chosen.value();
  if (scale.identity()) return config.fit_samples(samples);
  Config in_scale = config;
  if constexpr (requires { config.boundary; }) {
    const Result<EndSlopes> ends = scaled(config.boundary, scale, samples);
    if (!ends) return ends.error();
    in_scale.boundary = ends.value();
  }
  Result<typename Config::Spline> fitted = in_scale.fit_samples(scaled(samples, scale));
  if (!fitted) return unscaled(fitted.error(), scale);
  fitted.value().set_scale(scale);
  return fitted;
}

// A spline fitted with periodic ends repeats outside its knots (see
// Piecewise::periodic).
template <class Config>
Result<typename Config::Spline> fitted_periodic(const Config& config,
                                                Result<typename Config::Spline> fitted) {
  if constexpr (requires { config.boundary; }) {
    if (fitted && config.boundary.is_periodic()) fitted.value().set_periodic(true);
  }
  return fitted;
}

// The fit in the scale (see above), marked periodic by fitted_periodic.
template <class Config>
Result<typename Config::Spline> fit_in_scale(const Config& config, const Samples& samples) {
  cancel::take();  // a request left from an earlier call is not this fit's
  Result<typename Config::Spline> fitted = fitted_periodic(config, fit_scaled(config, samples));
  if (cancel::take()) return Cancelled{};
  return fitted;
}

// The front end of every method's fit: the configuration's own check, the
// samples made and checked by `borrow`, and for periodic ends the data's
// closing check (or the method's refusal of such ends, where it has one),
// then the fit in scale. A method whose samples are checked before its
// configuration (so that bad data are named first) says so with
// kChecksDataFirst.
template <class Config, class Borrow>
Result<typename Config::Spline> fit_borrowed(const Config& config, Borrow&& borrow) {
  constexpr bool data_first = requires { requires Config::kChecksDataFirst; };
  if constexpr (!data_first) {
    if (std::optional<InvalidParameter> invalid = config.check()) return *invalid;
  }
  if constexpr (requires { config.periodic_refusal(); }) {
    if (config.boundary.is_periodic()) return config.periodic_refusal();
  }
  Result<Samples> checked = borrow();
  if (!checked) return checked.error();
  if constexpr (data_first) {
    if (std::optional<InvalidParameter> invalid = config.check()) return *invalid;
  }
  if constexpr (requires { config.boundary; }) {
    if (config.boundary.is_periodic()) {
      if (std::optional<NotPeriodic> open = check_periodic(checked.value())) return *open;
    }
  }
  return fit_in_scale(config, checked.value());
}

// The fit of one curve: its knots and values checked together.
template <class Config>
Result<typename Config::Spline> fit_checked(const Config& config, std::span<const double> x,
                                            std::span<const double> y) {
  return fit_borrowed(config, [&] { return Samples::borrow(x, y); });
}

// The fit of one of several curves on knots checked once for all: only its
// values are checked. Its result and refusals are those of the fit above on
// knots.x() and y.
template <class Config>
Result<typename Config::Spline> fit_checked(const Config& config, const CheckedKnots& knots,
                                            std::span<const double> y) {
  return fit_borrowed(config, [&] { return Samples::borrow(knots, y); });
}

// The members every method's configuration `Config`, fitting a `Spline`,
// declares alike: `check()`, the first setting out of range (as an
// InvalidParameter); the fit of one curve, its knots and values checked
// together, and the fit of one of several curves on knots checked once for
// all, its values alone checked, both by fit_checked; `fit_samples`, all of
// a fit after the checks, on validated samples in their own coordinates
// (see fit_in_scale); `debug_text()`, the configuration in the library's
// debug form; and the comparison field by field, doubles as IEEE values (a
// NaN field is unequal).
#define VELARIX_CONFIGURATION_MEMBERS(Config, Spline)                                     \
  std::optional<InvalidParameter> check() const;                                          \
  Result<Spline> fit(std::span<const double> x, std::span<const double> y) const {       \
    return fit_checked(*this, x, y);                                                      \
  }                                                                                       \
  Result<Spline> fit(const CheckedKnots& knots, std::span<const double> y) const {       \
    return fit_checked(*this, knots, y);                                                  \
  }                                                                                       \
  Result<Spline> fit_samples(const Samples& samples) const;                               \
  std::string debug_text() const;                                                         \
  friend bool operator==(const Config&, const Config&) = default

}  // namespace velarix
