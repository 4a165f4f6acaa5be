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
#include "limited_slopes.hpp"
#include "memory.hpp"
#include "period.hpp"
#include "samples.hpp"
#include "tension/ends.hpp"
#include "tension/sigs.hpp"
#include "tension/slopes.hpp"
#include "tension/strict.hpp"

namespace velarix::tension {
namespace {

// The passes stop once no interior derivative moves by more than this
// fraction of itself.
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

// Whether the coefficient d of the derivative system for width h is not a
// normal double at tension sigma (NaN passes: it propagates, it does not
// vanish). d = 4/h at sigma 0 underflows only for widths near the largest
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

// Refuses, before any solve, widths and a uniform tension whose derivative
// system would lose its pivots: the width alone at tension 0, the uniform
// tension beside a width, or for the selecting policies 85, the published
// policy's largest tension (the strict policy caps its larger ones where
// h sigma would overflow). Two points need no system.
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
                             std::uint64_t iterations, EndRows::Kind ends)
    : PiecewiseSpline<TensionPiece>(std::move(curve)),
      tensions_(std::move(tensions)),
      iterations_(iterations),
      ends_(ends) {}

TensionSpline::TensionSpline(Piecewise<TensionPiece> curve, Doubles tensions,
                             std::uint64_t iterations, EndRows::Kind ends, bool shape_preserving)
    : TensionSpline(std::move(curve), std::move(tensions), iterations, ends) {
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
    // A periodic spline's last knot is its first: the same value and slope.
    if (ends_ == EndRows::Kind::periodic) {
      y[m] = y[0];
      yp[m] = yp[0];
    }
    return strict::holds({curve().knots(), y, h, s, yp, sigma, ends_});
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
  const Policy::Uniform* uniform = policy.uniform_tension();
  // Written so that NaN and -0.0 pass.
  if (uniform != nullptr && uniform->sigma < 0) {
    return InvalidParameter{"sigma", ">= 0", uniform->sigma};
  }
  return std::nullopt;
}

Result<TensionSpline> Tension::fit(std::span<const double> x, std::span<const double> y) const {
  Result<Samples> checked = Samples::create(x, y);
  if (!checked.ok()) return checked.error();
  if (std::optional<InvalidParameter> invalid = check()) return *invalid;
  const Samples& samples = checked.value();
  const std::size_t n = samples.size();
  EndRows ends = boundary.rows(samples, [&] { return slopes::estimated_end_slopes(samples); });
  if (policy.is_strict() && boundary.is_estimated()) {
    std::tie(ends.left, ends.right) = limit_end_slopes(samples, {ends.left, ends.right});
  }

  if (std::optional<Error> unscaled = check_scale(samples, policy)) return *unscaled;
  if (ends.periodic()) {
    if (std::optional<NotPeriodic> open = check_periodic(samples)) return *open;
  }

  Doubles tensions;
  Doubles yp;
  std::uint64_t iterations = 0;
  bool shape_preserving = false;
  if (policy.is_strict()) {
    strict::Outcome outcome = strict::fit(samples, ends, max_iter);
    tensions = std::move(outcome.tensions);
    yp = std::move(outcome.yp);
    iterations = outcome.iterations;
    shape_preserving = outcome.shape_preserving;
  } else if (const Policy::Uniform* uniform = policy.uniform_tension()) {
    tensions.assign(n - 1, uniform->sigma);
    yp = slopes::solve(samples, tensions, ends);
  } else {
    // The end intervals of natural ends keep their tension: their S''
    // vanishes at the end knot and keeps one sign beside it at any tension,
    // which is all the convexity test asks of them.
    const std::size_t first = ends.natural() ? 1 : 0;
    const std::size_t end = ends.natural() ? n - 2 : n - 1;
    tensions.assign(n - 1, 0.0);
    yp = slopes::solve(samples, tensions, ends);
    while (iterations < max_iter) {
      const Doubles prev = yp;
      const std::size_t raised =
          first < end ? sigs::select(samples, yp, tensions, tol, first, end) : 0;
      yp = slopes::solve(samples, tensions, ends);
      ++iterations;
      if (raised == 0 || moving_change(prev, yp, ends.kind) <= settled_change) break;
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
  if (ends.natural()) ends::zero_end_curvature(pieces, xs);
  Piecewise<TensionPiece> curve({xs.begin(), xs.end()}, std::move(pieces));
  if (policy.is_strict()) {
    return TensionSpline(std::move(curve), std::move(tensions), iterations, ends.kind,
                         shape_preserving);
  }
  return TensionSpline(std::move(curve), std::move(tensions), iterations, ends.kind);
}

}  // namespace velarix::tension
