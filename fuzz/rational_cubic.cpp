// Fits the rational cubic to decoded data with every configuration value
// decoded too, and checks the result.
#include "harness.hpp"
#include "rational_cubic/rational_cubic.hpp"

using namespace velarix;
using namespace velarix::fuzz;

namespace {

Tally tally{"rational_cubic"};

// At t = 0 the piece is P(0) / Q(0) = (y u) / u, which is y itself unless
// the product over- or underflows; the higher coefficients are multiplied by
// an exact zero, so they drop out when finite. A piece in the chord form
// (large w) starts at y + 0 t dY, with no product to over- or underflow.
void check_knots(const RationalCubicSpline& spline, const RationalCubic& config,
                 const DataSet& data) {
  const auto pieces = spline.curve().pieces();
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const rational_cubic::RationalCubicPiece& p = pieces[i];
    if (!std::isfinite(p.p1) || !std::isfinite(p.p2) || !std::isfinite(p.p3) ||
        !std::isfinite(p.q1) || !std::isfinite(p.q2)) {
      continue;
    }
    ++tally.knot_checks;
    // In the fit's coordinates, then back in the caller's units.
    const Scale& scale = spline.curve().scale();
    const double y = std::ldexp(data.y[i], -scale.y_exp);
    const double expected = scale.out(p.chord_form() ? y : (y * config.u) / config.u, 0);
    if (!same_value(spline.value(data.x[i]), expected)) {
      fail("value at knot", std::to_string(i) + ": " + bits_text(spline.value(data.x[i])) +
                                " for y = " + bits_text(data.y[i]));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  Bytes in(bytes, size);
  RationalCubic config;
  config.u = in.setting(config.u);
  config.v = in.setting(config.v);
  config.boundary = end_slopes(in);
  config.margin = in.setting(config.margin);
  config.relaxation = in.setting(config.relaxation);
  config.tol = in.setting(config.tol);
  config.max_iter = in.passes();
  // A negative or NaN cap is a fault by contract (the Python surface fixes
  // it at 1e6), so only caps >= 0 are drawn.
  const double cap = std::fabs(in.setting(config.w_cap));
  if (!std::isnan(cap)) config.w_cap = cap;
  const DataSet data = data_set(in, config.boundary);
  try {
    Result<RationalCubicSpline> fitted = config.fit(data.x, data.y);
    if (!fitted) {
      ++tally.refused;
      check_error(fitted.error(), data);
      return 0;
    }
    ++tally.fitted;
    const RationalCubicSpline& spline = fitted.value();
    check_knots(spline, config, data);
    if (spline.w().size() != data.x.size() - 1) fail("w count", config.debug_text());
    check_evaluation(spline, in);
  } catch (const InternalError& e) {
    internal_fault(tally, e, data, config.debug_text());
  }
  return 0;
}
