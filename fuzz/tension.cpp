// Fits the tension spline to decoded data under either policy, with every
// configuration value decoded too, and checks the result.
#include "harness.hpp"
#include "tension/strict.hpp"
#include "tension/tension.hpp"

using namespace velarix;
using namespace velarix::fuzz;

namespace {

Tally tally{"tension"};

bool moderate(double v) { return std::fabs(v) < 1e300; }

// At u = 0 the Cubic and Hyperbolic forms are y0 plus terms multiplied by an
// exact zero, so they return y0 itself whenever those terms are finite. The
// Exponential form rebuilds the bend about the chord from exponentials whose
// sum vanishes only up to rounding, so it is held to a rounding bound (so is
// the Steep form, the same formulas measured from the right knot). The
// zero multiplies sums such as d1 + d2, which overflow for slopes near the
// largest double; then the knot value is NaN and is not checked.
void check_knots(const TensionSpline& spline, const DataSet& data) {
  const auto pieces = spline.curve().pieces();
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const TensionPiece& p = pieces[i];
    const double got = spline.value(data.x[i]);
    const double y = held_value(spline.curve().scale(), data.y[i]);
    if (!moderate(p.yp0()) || !moderate(p.d1()) || !moderate(p.d2()) || !moderate(p.secant()) ||
        !moderate(p.h()) || !moderate(p.sigma())) {
      continue;
    }
    ++tally.knot_checks;
    if (std::holds_alternative<TensionPiece::Exponential>(p.form()) ||
        std::holds_alternative<TensionPiece::Steep>(p.form())) {
      // The piece's fields are in the fit's coordinates; their bend term in
      // the caller's units.
      const double bend = p.h() * (std::fabs(p.d1()) + std::fabs(p.d2()) + std::fabs(p.secant()));
      const double scale = std::fabs(y) + spline.curve().scale().out(bend, 0);
      if (!std::isfinite(scale) || !std::isfinite(y)) continue;
      if (!(std::fabs(got - y) <= 1e-9 * scale)) {
        fail("value at knot (exponential form)",
             std::to_string(i) + ": " + bits_text(got) + " for y = " + bits_text(y));
      }
    } else if (!same_value(got, y)) {
      fail("value at knot", std::to_string(i) + ": " + bits_text(got) + " for y = " + bits_text(y) +
                                ", form " + std::to_string(p.form().index()) + ", h " +
                                bits_text(p.h()) + ", sigma " + bits_text(p.sigma()) + ", yp0 " +
                                bits_text(p.yp0()) + ", d1 " + bits_text(p.d1()) + ", d2 " +
                                bits_text(p.d2()));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  Bytes in(bytes, size);
  Tension config;
  const std::uint8_t policy = in.byte();
  const bool uniform = (policy & 1) != 0;
  const bool strict = !uniform && (policy & 2) != 0;
  if (uniform) config.policy = tension::Policy::uniform(in.setting(1.0));
  if (strict) config.policy = tension::Policy::strict();
  config.boundary = end_slopes(in);
  config.tol = in.setting(config.tol);
  config.max_iter = in.passes();
  const DataSet data = data_set(in, config.boundary);
  try {
    Result<TensionSpline> fitted = config.fit(data.x, data.y);
    if (!fitted) {
      ++tally.refused;
      check_error(fitted.error(), data);
      return 0;
    }
    ++tally.fitted;
    const TensionSpline& spline = fitted.value();
    check_knots(spline, data);
    if (spline.tensions().size() != data.x.size() - 1) fail("tension count", config.debug_text());
    if (!uniform && !strict) {
      for (double sigma : spline.tensions()) {
        if (!(sigma >= 0 && sigma <= 85)) fail("selected tension", bits_text(sigma));
      }
    }
    if (strict) {
      // The cap of the knots the fit was made on: a scaled fit's, not the caller's.
      const auto tensions = spline.tensions();
      const auto knots = spline.curve().knots();
      for (std::size_t i = 0; i < tensions.size(); ++i) {
        if (!(tensions[i] >= 0 && tensions[i] <= tension::strict::tension_cap(knots[i], knots[i + 1], knots[0]))) {
          fail("strict tension", bits_text(tensions[i]));
        }
      }
      (void)spline.is_shape_preserving();
    }
    check_evaluation(spline, in);
  } catch (const InternalError& e) {
    internal_fault(tally, e, data, config.debug_text());
  }
  return 0;
}
