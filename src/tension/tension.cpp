#include "tension/tension.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>

#include "format.hpp"
#include "memory.hpp"
#include "samples.hpp"
#include "tension/sigs.hpp"
#include "tension/slopes.hpp"

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
// tension (or, when shape-preserving, the largest the selection may choose)
// beside a width. Two points need no system.
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
  const Policy::Uniform* ua = a.uniform_tension();
  const Policy::Uniform* ub = b.uniform_tension();
  if (ua == nullptr || ub == nullptr) return ua == ub;
  return ua->sigma == ub->sigma;
}

std::string Policy::debug_text() const {
  const Uniform* u = uniform_tension();
  if (u == nullptr) return "ShapePreserving";
  return format::variant("Uniform", format::debug(u->sigma));
}

TensionSpline::TensionSpline(Piecewise<TensionPiece> curve, Doubles tensions,
                             std::uint64_t iterations)
    : PiecewiseSpline<TensionPiece>(std::move(curve)),
      tensions_(std::move(tensions)),
      iterations_(iterations) {}

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
  const auto [left, right] =
      boundary.resolve([&] { return slopes::estimated_end_slopes(samples); });

  if (std::optional<Error> unscaled = check_scale(samples, policy)) return *unscaled;

  Doubles tensions;
  Doubles yp;
  std::uint64_t iterations = 0;
  if (const Policy::Uniform* uniform = policy.uniform_tension()) {
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
    pieces.emplace_back(xs[i], h[i], ys[i], ys[i + 1], yp[i], yp[i + 1], tension, form);
  }
  return TensionSpline(Piecewise<TensionPiece>({xs.begin(), xs.end()}, std::move(pieces)),
                       std::move(tensions), iterations);
}

}  // namespace velarix::tension
