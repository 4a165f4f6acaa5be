#include "tension/tension.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <tuple>
#include <utility>

#include "format.hpp"
#include "memory.hpp"
#include "limited_slopes.hpp"
#include "samples.hpp"
#include "scaled_fit.hpp"
#include "tension/sigs.hpp"
#include "tension/slopes.hpp"
#include "tension/strict.hpp"

namespace velarix::tension {
namespace {

// The passes stop once no interior derivative moves by more than this
// fraction of itself.
constexpr double settled_change = 0.01;

// The largest relative change of the interior derivatives (the end ones are
// fixed); the absolute change where the old derivative is 0. NaN terms are
// skipped.
double interior_change(std::span<const double> prev, std::span<const double> yp) {
  double change = 0;
  for (std::size_t i = 1; i + 1 < yp.size(); ++i) {
    const double term =
        prev[i] == 0 ? std::fabs(yp[i] - prev[i]) : std::fabs((yp[i] - prev[i]) / prev[i]);
    if (term > change) change = term;
  }
  return change;
}

// Whether the coefficient d of the derivative system for width h is not a
// normal double at tension sigma (`check` has refused a NaN tension).
// d = 4/h at sigma 0 underflows only for widths near the largest
// double; at a large tension h E overflows first, which makes d vanish.
// Between 0 and a tension d/(h E) grows with sigma, so checking both ends
// covers every tension up to it; then every row's diagonal is normal and,
// the system being diagonally dominant, every pivot stays positive. d only
// shrinks as h grows, so the widest interval decides for all.
bool vanishes(double h, double sigma) {
  return slopes::TensionTerms(sigma).at(h).d < std::numeric_limits<double>::min();
}

constexpr const char* kTooWideForTension =
    "too far apart for the tension spline: its derivative system would underflow";

// The first interval whose right-hand side term (d + sd) |s| of the
// derivative system overflows at a uniform tension sigma: d grows like
// sigma / h, so a large tension beside a narrow, steep interval would turn
// the whole solve into NaN. The selecting policies' tensions (at most 85, or
// the strict cap, which keeps h sigma finite) stay far below that.
std::optional<std::size_t> overflowing_term(const Samples& samples, double sigma) {
  const slopes::TensionTerms terms(sigma);
  const std::span<const double> h = samples.widths();
  const std::span<const double> s = samples.secants();
  for (std::size_t i = 0; i < h.size(); ++i) {
    const slopes::Coefficients c = terms.at(h[i]);
    if (!std::isfinite((c.d + c.sd) * std::fabs(s[i]))) return i;
  }
  return std::nullopt;
}

// Refuses, before any solve, widths and a uniform tension whose derivative
// system would lose its pivots: the width alone at tension 0, the uniform
// tension beside a width, or for the selecting policies 85, the published
// policy's largest tension (the strict policy caps its larger ones where
// h sigma would overflow); and a uniform tension whose system would
// overflow. Two points need no system.
std::optional<Error> check_scale(const Samples& samples, const Policy& policy) {
  if (samples.size() == 2) return std::nullopt;
  const std::span<const double> h = samples.widths();
  const std::size_t i = static_cast<std::size_t>(std::max_element(h.begin(), h.end()) - h.begin());
  const UnusableWidth too_wide{i, samples.x()[i], samples.x()[i + 1], kTooWideForTension};
  if (vanishes(h[i], 0.0)) return too_wide;
  const Policy::Uniform* uniform = policy.uniform_tension();
  if (uniform == nullptr) {
    if (vanishes(h[i], sigs::sigma_max)) return too_wide;
  } else if (vanishes(h[i], uniform->sigma)) {
    return OutOfScale{"sigma", uniform->sigma, i, h[i]};
  } else if (const std::optional<std::size_t> k = overflowing_term(samples, uniform->sigma)) {
    return OutOfScale{"sigma", uniform->sigma, *k, h[*k], "the solve would overflow"};
  }
  return std::nullopt;
}

}  // namespace

bool operator==(const Policy& a, const Policy& b) {
  if (a.kind_.index() != b.kind_.index()) return false;
  const Policy::Uniform* ua = a.uniform_tension();
  const Policy::Uniform* ub = b.uniform_tension();
  return ua == nullptr || ua->sigma == ub->sigma;
}

std::string Policy::debug_text() const {
  if (is_strict()) return "Strict";
  const Uniform* u = uniform_tension();
  if (u == nullptr) return "ShapePreserving";
  return format::variant("Uniform", format::debug(u->sigma));
}

TensionSpline::TensionSpline(Piecewise<TensionPiece> curve, Doubles tensions,
                             std::uint64_t iterations)
    : PiecewiseSpline<TensionPiece>(std::move(curve)),
      tensions_(std::move(tensions)),
      iterations_(iterations) {}

TensionSpline::TensionSpline(Piecewise<TensionPiece> curve, Doubles tensions,
                             std::uint64_t iterations, bool shape_preserving)
    : TensionSpline(std::move(curve), std::move(tensions), iterations) {
  shape_preserving_ = LazyFlag(shape_preserving);
}

bool TensionSpline::is_shape_preserving() const {
  return shape_preserving_.get([&] {
    // The data and slopes come back from the pieces: each holds its left
    // knot's value and slope, the last one also the right end's.
    const std::span<const TensionPiece> pieces = curve().pieces();
    const std::size_t m = pieces.size();
    Doubles y(m + 1), h(m), s(m), yp(m + 1), sigma(m);
    for (std::size_t i = 0; i < m; ++i) {
      const TensionPiece& p = pieces[i];
      y[i] = p.y0();
      h[i] = p.h();
      s[i] = p.secant();
      yp[i] = p.yp0();
      sigma[i] = tensions_[i];
    }
    y[m] = pieces[m - 1].y0() + h[m - 1] * s[m - 1];
    yp[m] = s[m - 1] + pieces[m - 1].d2();
    return strict::holds({curve().knots(), y, h, s, yp, sigma});
  });
}

std::string TensionSpline::debug_text() const {
  const auto [first, last] = domain();
  return format::Record("TensionSpline")
      .field("domain", format::range(first, last))
      .field("intervals", format::debug(static_cast<std::uint64_t>(tensions_.size())))
      .field("iterations", format::debug(iterations_))
      .str();
}

std::string Tension::debug_text() const {
  return format::Record("Tension")
      .field("policy", policy.debug_text())
      .field("boundary", boundary.debug_text())
      .field("tol", format::debug(tol))
      .field("max_iter", format::debug(max_iter))
      .str();
}

std::optional<InvalidParameter> Tension::check() const {
  if (const Policy::Uniform* uniform = policy.uniform_tension()) {
    // -0.0 passes; -inf is refused as negative.
    if (uniform->sigma < 0) return InvalidParameter{"sigma", ">= 0", uniform->sigma};
    if (auto invalid = require_finite("sigma", uniform->sigma)) return invalid;
  }
  if (auto invalid = boundary.check()) return invalid;
  return require_finite("tolerance", tol);
}

Result<TensionSpline> Tension::fit(std::span<const double> x, std::span<const double> y) const {
  Result<Samples> checked = Samples::create(x, y);
  if (!checked.ok()) return checked.error();
  if (std::optional<InvalidParameter> invalid = check()) return *invalid;
  return fit_in_scale(*this, checked.value());
}

Result<TensionSpline> Tension::fit_samples(const Samples& samples) const {
  const std::size_t n = samples.size();
  auto [left, right] =
      boundary.resolve(samples, [&] { return slopes::estimated_end_slopes(samples); });
  if (policy.is_strict() && boundary.is_estimated()) {
    std::tie(left, right) = limit_end_slopes(samples, {left, right});
  }

  if (std::optional<Error> unscaled = check_scale(samples, policy)) return *unscaled;

  Doubles tensions;
  Doubles yp;
  std::uint64_t iterations = 0;
  bool shape_preserving = false;
  if (policy.is_strict()) {
    strict::Outcome outcome = strict::fit(samples, left, right, max_iter);
    tensions = std::move(outcome.tensions);
    yp = std::move(outcome.yp);
    iterations = outcome.iterations;
    shape_preserving = outcome.shape_preserving;
  } else if (const Policy::Uniform* uniform = policy.uniform_tension()) {
    tensions.assign(n - 1, uniform->sigma);
    yp = slopes::solve(samples, tensions, left, right);
  } else {
    tensions.assign(n - 1, 0.0);
    yp = slopes::solve(samples, tensions, left, right);
    while (iterations < max_iter) {
      const Doubles prev = yp;
      const std::size_t raised = sigs::select(samples, yp, tensions, tol);
      yp = slopes::solve(samples, tensions, left, right);
      ++iterations;
      if (raised == 0 || interior_change(prev, yp) <= settled_change) break;
    }
  }

  const std::span<const double> xs = samples.x();
  const std::span<const double> ys = samples.y();
  const std::span<const double> h = samples.widths();
  Vector<TensionPiece> pieces;
  pieces.reserve(n - 1);
  // Consecutive pieces of equal tension (bit for bit) share their form.
  double tension = tensions[0];
  TensionPiece::Form form = TensionPiece::form_for(tension);
  for (std::size_t i = 0; i + 1 < n; ++i) {
    if (std::bit_cast<std::uint64_t>(tensions[i]) != std::bit_cast<std::uint64_t>(tension)) {
      tension = tensions[i];
      form = TensionPiece::form_for(tension);
    }
    pieces.emplace_back(xs[i], xs[i + 1], h[i], ys[i], ys[i + 1], yp[i], yp[i + 1], tension, form);
  }
  Piecewise<TensionPiece> curve({xs.begin(), xs.end()}, std::move(pieces));
  if (policy.is_strict()) {
    return TensionSpline(std::move(curve), std::move(tensions), iterations, shape_preserving);
  }
  return TensionSpline(std::move(curve), std::move(tensions), iterations);
}

}  // namespace velarix::tension
