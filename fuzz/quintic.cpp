// Fits the shape-preserving quintic to decoded data with every configuration
// value decoded too, and checks the result.
#include "harness.hpp"
#include "quintic/quintic.hpp"

using namespace velarix;
using namespace velarix::fuzz;

namespace {

Tally tally{"quintic"};

bool all_finite(const std::vector<double>& values) {
  for (double v : values) {
    if (!std::isfinite(v)) return false;
  }
  return true;
}

// Both halves of a piece are powers of the distance to their own end, which
// is 0 at a knot, so a knot's value is its y whenever the coefficients are
// finite (non-finite values, and finite ones whose products overflow, give
// NaN there and are not checked).
// The data's knots are the given ones, among the breakpoints, both in the
// fit's coordinates (a scaled fit's, for extreme data).
void check_knots(const QuinticSpline& spline, const DataSet& data) {
  const Scale& scale = spline.curve().scale();
  const auto knots = spline.knots();
  if (knots.size() != data.x.size() || spline.intervals() != data.x.size() - 1) {
    fail("knot count", spline.debug_text());
  }
  std::size_t b = 0;
  const auto breaks = spline.breakpoints();
  for (std::size_t k = 0; k < knots.size(); ++k) {
    if (!same_bits(knots[k], scale.x_in(data.x[k]))) fail("knot", bits_text(knots[k]));
    while (b < breaks.size() && breaks[b] < knots[k]) ++b;
    if (b == breaks.size() || !same_bits(breaks[b], knots[k])) fail("knot not a breakpoint", bits_text(knots[k]));
    const double got = spline.value(data.x[k]);
    const double y = held_value(scale, data.y[k]);
    if (!std::isfinite(got) || !std::isfinite(y)) continue;
    ++tally.knot_checks;
    if (!same_value(got, y)) {
      fail("value at knot", std::to_string(k) + ": " + bits_text(got) + " for y = " + bits_text(y));
    }
  }
}

// A fit that reports its shape as kept must keep it: exactly constant on a
// flat interval, within its end values on any other (every piece is
// monotone), to a rounding of the values.
void check_shape(const QuinticSpline& spline, const DataSet& data) {
  if (!spline.shape_preserved() || !all_finite(data.y)) return;
  const Scale& scale = spline.curve().scale();
  for (std::size_t i = 0; i + 1 < data.x.size(); ++i) {
    const double y0 = held_value(scale, data.y[i]);
    const double y1 = held_value(scale, data.y[i + 1]);
    const double slack = 1e-12 * (std::fabs(y0) + std::fabs(y1));
    for (const double t : {0.25, 0.5, 0.75}) {
      const double x = data.x[i] + t * (data.x[i + 1] - data.x[i]);
      const double v = spline.value(x);
      if (!std::isfinite(v)) continue;
      if (y0 == y1 ? v != y0 : v < std::fmin(y0, y1) - slack || v > std::fmax(y0, y1) + slack) {
        fail("shape reported kept", std::to_string(i) + ": " + bits_text(v));
      }
    }
  }
}

// Natural ends: S'' exactly 0 at both end knots. Periodic ends: the end
// knots share their slope and curvature, so S' and S'' there agree to the
// rounding of the two end pieces' evaluations, which is relative to the
// pieces' own scale: the derivative's size at the knots and the secants
// (over the widths, for S''), since a piece's end slope is its secant less a
// gap and carries the secant's rounding. Only fits whose scales are finite
// are checked.
void check_ends(const QuinticSpline& spline, const DataSet& data, const EndSlopes& ends) {
  const double first = data.x.front();
  const double last = data.x.back();
  if (ends.is_natural()) {
    const double a0 = spline.second_derivative(first);
    const double a1 = spline.second_derivative(last);
    if ((std::isfinite(a0) && a0 != 0) || (std::isfinite(a1) && a1 != 0)) {
      fail("natural end", bits_text(a0) + " " + bits_text(a1));
    }
  }
  if (!ends.is_periodic()) return;
  const auto agree = [&](auto derivative, bool curvature) {
    double size = 0;
    for (const double x : data.x) size = std::fmax(size, std::fabs(derivative(x)));
    for (std::size_t i = 0; i + 1 < data.x.size(); ++i) {
      const double h = data.x[i + 1] - data.x[i];
      const double secant = (data.y[i + 1] - data.y[i]) / h;
      size = std::fmax(size, std::fabs(curvature ? secant / h : secant));
    }
    const double gap = std::fabs(derivative(first) - derivative(last));
    if (std::isfinite(size) && size < 1e300 && gap > 1e-9 * size) {
      fail("periodic ends", bits_text(derivative(first)) + " " + bits_text(derivative(last)));
    }
  };
  agree([&](double x) { return spline.first_derivative(x); }, false);
  agree([&](double x) { return spline.second_derivative(x); }, true);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  Bytes in(bytes, size);
  Quintic config;
  config.boundary = end_slopes(in);
  const std::uint8_t options = in.byte();
  // Mostly an accepted stencil, now and then any count (refused).
  config.stencil = options & 0x80 ? options & 0x0f : 3 + 2 * (options % 3);
  config.knot_insertion = (options & 0x10) == 0;
  const DataSet data = data_set(in, config.boundary);
  try {
    Result<QuinticSpline> fitted = config.fit(data.x, data.y);
    if (!fitted) {
      ++tally.refused;
      check_error(fitted.error(), data);
      return 0;
    }
    ++tally.fitted;
    const QuinticSpline& spline = fitted.value();
    check_knots(spline, data);
    check_shape(spline, data);
    check_ends(spline, data, config.boundary);
    if (!config.knot_insertion && spline.inserted() != 0) fail("inserted", config.debug_text());
    check_evaluation(spline, in);
  } catch (const InternalError& e) {
    internal_fault(tally, e, data, config.debug_text());
  }
  return 0;
}
