#include "scaled_fit.hpp"

#include <algorithm>
#include <cmath>
#include <utility>
#include <variant>

#include "memory.hpp"

namespace velarix {
namespace {

// Widths and values within 2^100 of 1, either way, are fitted as given:
// their squares, cubes and the quotients of the methods stay far inside the
// range of doubles, and none of their bits move.
constexpr int kOrdinary = 100;
// Centred widths within 2^250 of 1 keep every product of the methods
// finite and normal, on any data: a secant up to 2^251 beside a width of
// 2^250 makes a piece bulge to 2^501 and integrate to 2^751, and the tension
// piece's integral multiplies such a slope by the square of its width and
// its tension. Beyond 2^510 or so the square of the widest width overflows
// in every method.
constexpr int kReach = 250;

constexpr const char* kNarrowBesideWide =
    "too close together beside the widest interval: the widths differ by more than 2^500";
constexpr const char* kWideBesideNarrow =
    "too far apart beside the narrowest interval: the widths differ by more than 2^500";
constexpr const char* kSlopeOverflows = "the curve would overflow";
constexpr const char* kSlopeDrownsData =
    "its rise over that interval exceeds 2^26 times the largest |y|: the curve would lose "
    "the data's bits";
// See check_clamped: half of the 53 bits of a double.
constexpr double kLargestRise = 0x1p26;

bool ordinary(int exponent) { return exponent >= -kOrdinary && exponent <= kOrdinary; }

UnusableWidth unusable(const Samples& samples, std::size_t i, const char* reason) {
  return UnusableWidth{i, samples.x()[i], samples.x()[i + 1], reason};
}

// The first interval of width `width` (the one the refusals name).
std::size_t first_of(std::span<const double> h, double width) {
  return static_cast<std::size_t>(std::find(h.begin(), h.end(), width) - h.begin());
}

}  // namespace

Result<Scale> scale_of(const Samples& samples) {
  const std::span<const double> h = samples.widths();
  const Samples::Extremes& e = samples.extremes();
  const int x_low = std::ilogb(e.narrow);
  const int x_high = std::ilogb(e.wide);
  const int y_exp = e.largest > 0 ? std::ilogb(e.largest) : 0;
  if (ordinary(x_low) && ordinary(x_high) && ordinary(y_exp)) return Scale{};
  const int x_exp = (x_low + x_high) / 2;
  if (x_low - x_exp < -kReach) {
    return unusable(samples, first_of(h, e.narrow), kNarrowBesideWide);
  }
  if (x_high - x_exp > kReach) {
    return unusable(samples, first_of(h, e.wide), kWideBesideNarrow);
  }
  return Scale{x_exp, y_exp};
}

Samples scaled(const Samples& samples, const Scale& scale) {
  const std::span<const double> xs = samples.x();
  const std::span<const double> ys = samples.y();
  const std::size_t n = samples.size();
  Doubles x(n);
  Doubles y(n);
  for (std::size_t i = 0; i < n; ++i) {
    x[i] = scale.x_in(xs[i]);
    y[i] = std::ldexp(ys[i], -scale.y_exp);
  }
  // From the scaled knots, so that every piece spans exactly its knots; a
  // knot that falls into the subnormal range moves by far less than any
  // width, which kReach keeps above 2^-251.
  UnfilledDoubles widths(n - 1);
  UnfilledDoubles secants(n - 1);
  for (std::size_t i = 0; i + 1 < n; ++i) {
    widths[i] = x[i + 1] - x[i];
    secants[i] = (y[i + 1] - y[i]) / widths[i];
  }
  return Samples::from_parts(std::move(x), std::move(y), std::move(widths), std::move(secants));
}

Result<EndSlopes> scaled(const EndSlopes& slopes, const Scale& scale, const Samples& samples) {
  const EndSlopes::Clamped* clamped = slopes.clamped_slopes();
  if (clamped == nullptr) return slopes;
  const double left = std::ldexp(clamped->left, scale.x_exp - scale.y_exp);
  const double right = std::ldexp(clamped->right, scale.x_exp - scale.y_exp);
  const std::span<const double> h = samples.widths();
  if (!std::isfinite(left)) return OutOfScale{"left", clamped->left, 0, h.front(), kSlopeOverflows};
  if (!std::isfinite(right)) {
    return OutOfScale{"right", clamped->right, h.size() - 1, h.back(), kSlopeOverflows};
  }
  return EndSlopes::clamped(left, right);
}

std::optional<OutOfScale> check_clamped(const EndSlopes& slopes, const Samples& samples) {
  const EndSlopes::Clamped* clamped = slopes.clamped_slopes();
  if (clamped == nullptr) return std::nullopt;
  const std::span<const double> h = samples.widths();
  const double largest = samples.extremes().largest;
  const auto check = [&](const char* name, double slope, std::size_t i) -> std::optional<OutOfScale> {
    const double rise = std::fabs(slope) * h[i];
    if (!std::isfinite(rise)) return OutOfScale{name, slope, i, h[i], kSlopeOverflows};
    if (rise > kLargestRise * largest) return OutOfScale{name, slope, i, h[i], kSlopeDrownsData};
    return std::nullopt;
  };
  if (auto left = check("left", clamped->left, 0)) return left;
  return check("right", clamped->right, h.size() - 1);
}

Error unscaled(const Error& error, const Scale& scale) {
  Error result = error;
  // Only these carry the data's units; the data themselves were validated
  // before scaling, so the errors about them never come from a scaled fit.
  if (auto* e = std::get_if<UnusableWidth>(&result)) {
    e->left = scale.x_out(e->left);
    e->right = scale.x_out(e->right);
  } else if (auto* e = std::get_if<OutOfScale>(&result)) {
    e->width = scale.x_out(e->width);
  } else if (auto* e = std::get_if<MixedCurvature>(&result)) {
    e->at = scale.x_out(e->at);
    e->before = scale.out(e->before, 1);
    e->after = scale.out(e->after, 1);
  }
  return result;
}

}  // namespace velarix
