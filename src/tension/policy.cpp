#include "tension/policy.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "cancel.hpp"
#include "format.hpp"
#include "tension/sigs.hpp"
#include "tension/slopes.hpp"
#include "tension/strict.hpp"

namespace velarix::tension {
namespace {

// The published passes stop once no derivative that moves changes by more
// than this fraction of itself.
constexpr double settled_change = 0.01;

// The largest relative change of the derivatives that move: the interior
// ones under fixed end slopes, all under natural ends, all but the repeated
// last one under periodic ends. The absolute change where the old derivative
// is 0; NaN terms are skipped.
double moving_change(std::span<const double> prev, std::span<const double> yp, EndRows::Kind ends) {
  const std::size_t first = ends == EndRows::Kind::slopes ? 1 : 0;
  const std::size_t end = ends == EndRows::Kind::natural ? yp.size() : yp.size() - 1;
  double change = 0;
  for (std::size_t i = first; i < end; ++i) {
    const double term =
        prev[i] == 0 ? std::fabs(yp[i] - prev[i]) : std::fabs((yp[i] - prev[i]) / prev[i]);
    if (term > change) change = term;
  }
  return change;
}

// The end rows of the boundary, slopes resolved with the three-point
// estimate, as estimated.
EndRows rows(const Samples& samples, const EndSlopes& boundary) {
  return boundary.rows(samples, [&] { return slopes::estimated_end_slopes(samples); });
}

// Whether the coefficient d of the derivative system for width h is not a
// normal double at tension sigma (`Tension::check` has refused a NaN
// tension). d = 4/h at sigma 0 underflows only for widths near the largest
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

std::size_t widest(const Samples& samples) {
  const std::span<const double> h = samples.widths();
  return static_cast<std::size_t>(std::max_element(h.begin(), h.end()) - h.begin());
}

// Refuses widths whose derivative system would lose its pivots at tension 0
// or at `largest`, the largest tension a policy may choose. Two points need
// no system.
std::optional<Error> check_widths(const Samples& samples, double largest) {
  if (samples.size() == 2) return std::nullopt;
  const std::size_t i = widest(samples);
  const double h = samples.widths()[i];
  if (vanishes(h, 0.0) || vanishes(h, largest)) {
    return UnusableWidth{i, samples.x()[i], samples.x()[i + 1], kTooWideForTension};
  }
  return std::nullopt;
}

}  // namespace

EndRows Published::end_rows(const Samples& samples, const EndSlopes& boundary) const {
  return rows(samples, boundary);
}

std::optional<Error> Published::check_scale(const Samples& samples) const {
  return check_widths(samples, sigs::sigma_max);
}

Selection Published::select(const Samples& samples, const EndRows& ends, Passes passes) const {
  const std::size_t m = samples.intervals();
  // The intervals the passes select for: all but natural ends' end intervals.
  const std::size_t first = ends.natural() ? 1 : 0;
  const std::size_t end = ends.natural() ? m - 1 : m;
  Doubles tensions(m, 0.0);
  Doubles yp = slopes::solve(samples, tensions, ends);
  std::uint64_t iterations = 0;
  // A stopped fit's selection is discarded by fit_in_scale.
  while (iterations < passes.max_iter && !cancel::requested()) {
    const Doubles prev = yp;
    const std::size_t raised =
        first < end ? sigs::select(samples, yp, tensions, passes.tol, first, end) : 0;
    yp = slopes::solve(samples, tensions, ends);
    ++iterations;
    if (raised == 0 || moving_change(prev, yp, ends.kind) <= settled_change) break;
  }
  return {std::move(tensions), std::move(yp), iterations, std::nullopt};
}

EndRows Uniform::end_rows(const Samples& samples, const EndSlopes& boundary) const {
  return rows(samples, boundary);
}

// The first interval whose right-hand side term (d + sd) |s| of the
// derivative system overflows at a uniform tension sigma: d grows like
// sigma / h, so a large tension beside a narrow, steep interval would turn
// the whole solve into NaN. The selecting policies' tensions (at most 85, or
// the strict cap, which keeps h sigma finite) stay far below that.
namespace {
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
}  // namespace

// The given tension beside the widest interval is the user's setting, and
// named as such; so is a tension whose system would overflow.
std::optional<Error> Uniform::check_scale(const Samples& samples) const {
  if (std::optional<Error> too_wide = check_widths(samples, 0.0)) return too_wide;
  if (samples.size() == 2) return std::nullopt;
  const std::size_t i = widest(samples);
  const double h = samples.widths()[i];
  if (vanishes(h, sigma)) return OutOfScale{"sigma", sigma, i, h};
  if (const std::optional<std::size_t> k = overflowing_term(samples, sigma)) {
    return OutOfScale{"sigma", sigma, *k, samples.widths()[*k], "the solve would overflow"};
  }
  return std::nullopt;
}

Selection Uniform::select(const Samples& samples, const EndRows& ends, Passes) const {
  Doubles tensions(samples.intervals(), sigma);
  Doubles yp = slopes::solve(samples, tensions, ends);
  return {std::move(tensions), std::move(yp), 0, std::nullopt};
}

std::string Uniform::debug_text() const {
  return format::variant("Uniform", format::debug(sigma));
}

EndRows Strict::end_rows(const Samples& samples, const EndSlopes& boundary) const {
  return rows(samples, boundary.is_estimated() ? EndSlopes::limited() : boundary);
}

// 85 bounds what the system must take here too: the strict policy's larger
// tensions are capped where h sigma would overflow (strict::tension_cap).
std::optional<Error> Strict::check_scale(const Samples& samples) const {
  return check_widths(samples, sigs::sigma_max);
}

Selection Strict::select(const Samples& samples, const EndRows& ends, Passes passes) const {
  return strict::fit(samples, ends, passes.max_iter);
}

}  // namespace velarix::tension
