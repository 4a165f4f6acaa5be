// Fits the smoothing spline to decoded data with decoded settings, weights
// and shape, and checks the result: the shape it claims, every evaluation
// path, and its saved state.
#include "harness.hpp"
#include "smoothing/smoothing.hpp"
#include "smoothing/state.hpp"

using namespace velarix;
using namespace velarix::fuzz;
using smoothing::Shape;

namespace {

Tally tally{"smoothing"};

Smoother configuration(Bytes& in) {
  Smoother config;
  config.shape = static_cast<Shape>(in.byte() % smoothing::shape_count);
  const std::uint8_t flags = in.byte();
  if (flags & 1) config.lam = in.number();
  if (flags & 2) config.segments = in.byte() % 60;  // 0 is refused
  if (flags & 4) {
    Doubles knots;
    const std::size_t count = in.byte() % 5;
    double at = in.number();
    for (std::size_t i = 0; i < count; ++i) {
      knots.push_back(at);
      at += std::fabs(in.number());
    }
    config.knots = std::move(knots);
  }
  config.robust = (flags & 8) != 0;
  return config;
}

// A direction holds on the knot values exactly and a curvature on the second
// derivatives at the knots, which bound it in between.
void check_shape(const SmoothingSpline& spline, const Smoother& config) {
  const Shape shape = spline.choice().shape;
  if (shape == Shape::automatic) fail("fitted shape", "automatic");
  if (config.shape != Shape::automatic && shape != config.shape) fail("shape", config.debug_text());
  if (!spline.is_shape_preserving()) fail("shape not kept", spline.debug_text());
  const int m = smoothing::curvature(shape);
  for (const double knot : spline.curve().knots()) {
    ++tally.knot_checks;
    if (m * spline.second_derivative(knot) < 0) fail("curvature sign at a knot", bits_text(knot));
  }
  if (!(spline.choice().lam > 0) || !(spline.choice().edf > 0)) fail("choice", spline.debug_text());
}

void check_state(const SmoothingSpline& spline) {
  const Result<SmoothingSpline> restored = state::load<SmoothingSpline>(state::save(spline));
  if (!restored) fail("state refused", message(restored.error()));
  for (const double knot : spline.curve().knots()) {
    if (!same_bits(restored.value().value(knot), spline.value(knot))) fail("state", bits_text(knot));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  Bytes in(bytes, size);
  const Smoother config = configuration(in);
  const bool weighted = (in.byte() & 1) != 0;
  const DataSet data = data_set(in);
  std::vector<double> weights;
  if (weighted) {
    for (std::size_t i = 0; i < data.x.size(); ++i) weights.push_back(std::fabs(in.setting(1.0)));
  }
  try {
    Result<SmoothingSpline> fitted =
        weighted ? config.fit(data.x, data.y, weights) : config.fit(data.x, data.y);
    if (!fitted) {
      ++tally.refused;
      check_error(fitted.error(), data);
      return 0;
    }
    ++tally.fitted;
    const SmoothingSpline& spline = fitted.value();
    check_shape(spline, config);
    check_state(spline);
    check_evaluation(spline, in);
  } catch (const InternalError& e) {
    internal_fault(tally, e, data, config.debug_text());
  }
  return 0;
}
