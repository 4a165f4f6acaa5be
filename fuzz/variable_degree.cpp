// Fits the variable-degree spline to decoded data with every configuration
// value decoded too, and checks the result.
#include "harness.hpp"
#include "variable_degree/variable_degree.hpp"

using namespace velarix;
using namespace velarix::fuzz;

namespace {

Tally tally{"variable_degree"};

// At t = 0 the piece is y0 + 0 linear + scale ((1^k - 1) m0 + 0^k m1), and
// both powers are exact, so it returns y0 itself whenever linear, scale and
// the moments are finite.
void check_knots(const VariableDegreeSpline& spline, const DataSet& data) {
  const auto pieces = spline.curve().pieces();
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const VariableDegreePiece& p = pieces[i];
    if (!std::isfinite(p.linear()) || !std::isfinite(p.scale()) || !std::isfinite(p.m0()) ||
        !std::isfinite(p.m1())) {
      continue;
    }
    ++tally.knot_checks;
    const double got = spline.value(data.x[i]);
    const double y = held_value(spline.curve().scale(), data.y[i]);
    if (!same_value(got, y)) {
      fail("value at knot", std::to_string(i) + ": " + bits_text(got) + " for y = " + bits_text(y));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  Bytes in(bytes, size);
  VariableDegree config;
  config.boundary = end_slopes(in);
  config.max_degree = in.setting(config.max_degree);
  config.max_iter = in.passes();
  const DataSet data = data_set(in, config.boundary);
  try {
    Result<VariableDegreeSpline> fitted = config.fit(data.x, data.y);
    if (!fitted) {
      ++tally.refused;
      check_error(fitted.error(), data);
      return 0;
    }
    ++tally.fitted;
    const VariableDegreeSpline& spline = fitted.value();
    check_knots(spline, data);
    if (spline.degrees().size() != data.x.size() - 1) fail("degree count", config.debug_text());
    for (double k : spline.degrees()) {
      if (!(k >= 3)) fail("degree below 3", bits_text(k));
    }
    check_evaluation(spline, in);
  } catch (const InternalError& e) {
    internal_fault(tally, e, data, config.debug_text());
  }
  return 0;
}
