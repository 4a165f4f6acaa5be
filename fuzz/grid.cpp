// Fits a grid surface to decoded axes and values by a decoded method and
// checks the result: the data come back where the verdict says so, the
// product grid gives the pointwise bits, equal corners give their value, and
// the saved state loads as the same surface.
#include "grid/grid.hpp"
#include "grid/state.hpp"
#include "harness.hpp"

using namespace velarix;
using namespace velarix::fuzz;
using grid::GridMethod;

namespace {

Tally tally{"grid"};

// Axes as running sums of decoded widths (now and then raw numbers), values
// as decoded numbers or small integers (ties and flats).
struct Table {
  std::vector<Doubles> axes;
  Doubles values;
};

Table table(Bytes& in) {
  Table t;
  const std::size_t dims = 2 + in.byte() % 3;
  std::size_t nodes = 1;
  for (std::size_t a = 0; a < dims; ++a) {
    const std::size_t n = 1 + in.byte() % 6;
    const bool raw = (in.byte() & 7) == 0;
    Doubles x;
    double at = std::isfinite(in.number()) ? 0.0 : 1.0;
    for (std::size_t i = 0; i < n; ++i) {
      x.push_back(raw ? in.number() : at);
      const double width = in.number();
      at += (in.byte() & 1) ? std::fabs(width) : 1.0;
    }
    t.axes.push_back(x);
    nodes *= n;
  }
  const bool integers = (in.byte() & 1) != 0;
  for (std::size_t k = 0; k < nodes + (in.byte() == 7 ? 1 : 0); ++k) {
    t.values.push_back(integers ? static_cast<double>(in.byte() % 4) : in.number());
  }
  return t;
}

void check(const GridSurface& s, const Table& t, Bytes& in) {
  const std::size_t n = s.dimensions();
  // A few decoded abscissas per axis (inside, outside, NaN) and orders.
  std::vector<Doubles> abscissas(n);
  std::vector<int> orders(n);
  for (std::size_t a = 0; a < n; ++a) {
    const Doubles& x = t.axes[a];
    for (int k = 0; k < 3; ++k) {
      const double u = (in.byte() & 3) == 0 ? in.number()
                                             : x.front() + (x.back() - x.front()) * (in.byte() / 200.0);
      abscissas[a].push_back(u);
    }
    orders[a] = in.byte() % 3;
  }
  const std::vector<std::span<const double>> spans(abscissas.begin(), abscissas.end());
  const auto mode = static_cast<Extrapolation>(1 + in.byte() % 3);  // linear, constant, nan
  std::size_t count = 1;
  for (const Doubles& x : abscissas) count *= x.size();
  Doubles product(count), points, pointwise(count);
  s.evaluate_product(spans, orders, mode, product);
  for (std::size_t i = 0; i < count; ++i) {
    std::size_t rest = i;
    Doubles point(n);
    for (std::size_t a = n; a-- > 0;) point[a] = abscissas[a][rest % 3], rest /= 3;
    points.insert(points.end(), point.begin(), point.end());
  }
  s.evaluate(points, orders, mode, pointwise);
  for (std::size_t i = 0; i < count; ++i) {
    if (!same_bits(product[i], pointwise[i])) fail("product against pointwise", bits_text(product[i]));
  }
  // The data at the nodes, where the verdict vouches for them.
  double largest = 0;
  for (const double v : t.values) largest = std::max(largest, std::fabs(v));
  const std::vector<int> zeros(n, 0);
  if (s.is_shape_preserving()) {
    Doubles node(n);
    double got = 0;
    for (std::size_t k = 0; k < t.values.size(); ++k) {
      std::size_t rest = k;
      for (std::size_t a = n; a-- > 0;) {
        node[a] = t.axes[a][rest % t.axes[a].size()];
        rest /= t.axes[a].size();
      }
      s.evaluate(node, zeros, Extrapolation::linear, std::span(&got, 1));
      ++tally.knot_checks;
      if (!(std::fabs(got - t.values[k]) <= 64 * 0x1p-52 * largest)) fail("data", bits_text(got));
    }
  }
  const Result<GridSurface> restored = state::load<GridSurface>(state::save(s));
  if (!restored || !(restored.value() == s)) fail("state", s.debug_text());
  const Doubles lower(n, -1.0), upper(n, 1.0);
  (void)s.integral(lower, upper, mode);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  Bytes in(bytes, size);
  const auto method = static_cast<GridMethod>(in.byte() % 3);
  const Table t = table(in);
  const std::vector<std::span<const double>> spans(t.axes.begin(), t.axes.end());
  try {
    Result<GridSurface> fitted = GridSurface::fit(method, spans, t.values);
    if (!fitted) {
      ++tally.refused;
      // The axes, values and size are refused with the entry they name.
      if (!std::holds_alternative<GridRefusal>(fitted.error())) fail("refusal", message(fitted.error()));
      const std::string text = message(fitted.error());
      if (!text.starts_with("points") && !text.starts_with("values") && !text.starts_with("a ")) {
        fail("refusal text", text);
      }
      return 0;
    }
    ++tally.fitted;
    check(fitted.value(), t, in);
  } catch (const InternalError& e) {
    fail("grid", std::string("InternalError ") + e.what());
  }
  return 0;
}
