#include "tension/tension.hpp"

#include <bit>
#include <cstdint>
#include <optional>
#include <utility>

#include "format.hpp"
#include "memory.hpp"
#include "samples.hpp"
#include "scaled_fit.hpp"
#include "tension/ends.hpp"
#include "tension/strict.hpp"

namespace velarix::tension {
namespace {

// The spline on the policy's tensions and knot derivatives, for end rows of
// kind `rows`; natural ends then get S'' exactly 0 at both end knots.
TensionSpline assemble(const Samples& samples, EndRows::Kind rows, Selection selection) {
  const std::size_t n = samples.size();
  const std::span<const double> xs = samples.x();
  const std::span<const double> ys = samples.y();
  const std::span<const double> h = samples.widths();
  const std::span<const double> tensions = selection.tensions;
  const std::span<const double> yp = selection.yp;
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
  if (rows == EndRows::Kind::natural) ends::zero_end_curvature(pieces, xs);
  Piecewise<TensionPiece> curve({xs.begin(), xs.end()}, std::move(pieces));
  return TensionSpline(std::move(curve), std::move(selection.tensions), selection.iterations, rows,
                       selection.shape_preserving);
}

}  // namespace

TensionSpline::TensionSpline(Piecewise<TensionPiece> curve, Doubles tensions,
                             std::uint64_t iterations, EndRows::Kind ends,
                             std::optional<bool> shape_preserving)
    : PiecewiseSpline<TensionPiece>(std::move(curve)),
      tensions_(std::move(tensions)),
      iterations_(iterations),
      ends_(ends),
      shape_preserving_(shape_preserving) {}

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
  return format::spline_record("TensionSpline", domain(), tensions_.size())
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

Result<TensionSpline> Tension::fit_samples(const Samples& samples) const {
  return policy.visit([&](const auto& rule) -> Result<TensionSpline> {
    const EndRows ends = rule.end_rows(samples, boundary);
    if (std::optional<Error> unscaled = rule.check_scale(samples)) return *unscaled;
    return assemble(samples, ends.kind, rule.select(samples, ends, {tol, max_iter}));
  });
}

}  // namespace velarix::tension
