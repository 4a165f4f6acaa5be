#include "grid/grid.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "cancel.hpp"
#include "format.hpp"
#include "grid/limiter.hpp"
#include "parallel.hpp"

namespace velarix::grid {
namespace {

using Index = std::array<std::size_t, most_dimensions>;

std::string count(std::size_t n) { return std::to_string(n); }

std::string entry(std::size_t axis, std::size_t i) {
  return "points[" + count(axis) + "][" + count(i) + "]";
}

std::string value_entry(std::span<const Axis> axes, std::size_t flat) {
  std::string text = "]";
  for (std::size_t a = axes.size(); a-- > 0;) {
    text = count(flat % axes[a].nodes()) + (a + 1 < axes.size() ? ", " : "") + text;
    flat /= axes[a].nodes();
  }
  return "values[" + text;
}

std::string product_text(std::span<const Axis> axes) {
  std::string text;
  for (const Axis& axis : axes) text += (text.empty() ? "" : " x ") + count(axis.nodes());
  return text;
}

std::size_t physical_memory() {
  const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page <= 0) return std::numeric_limits<std::size_t>::max();
  return static_cast<std::size_t>(pages) * static_cast<std::size_t>(page);
}

// The coefficients, and for the shape limiter the unconstrained blocks it
// may save and its two numbers per node and part, in bytes; refused where
// they exceed half of the machine's memory.
std::optional<Error> size_refusal(GridMethod method, std::span<const Axis> axes) {
  const std::size_t most = std::numeric_limits<std::size_t>::max() / 64;
  std::size_t coefficients = 1, nodes = 1;
  for (const Axis& axis : axes) {
    if (coefficients > most / axis.coefficients()) coefficients = most;
    else coefficients *= axis.coefficients();
    nodes = std::min(most, nodes * axis.nodes());
  }
  std::size_t bytes = coefficients * sizeof(double);
  if (method == GridMethod::shape) {  // the saved unconstrained blocks, mu and factors
    bytes = std::min(most, 2 * bytes);
    bytes += std::min(most, nodes * ((std::size_t{1} << axes.size()) - 1) * 2 * sizeof(double));
  }
  const std::size_t memory = physical_memory();
  if (bytes <= memory / 2) return std::nullopt;
  const std::size_t per_node = coefficients / std::max<std::size_t>(nodes, 1);
  return GridRefusal{"a " + std::string(method_names[static_cast<std::size_t>(method)]) +
                     " grid interpolant of " + product_text(axes) + " nodes needs " +
                     count(per_node) + " coefficients per node, " + count(bytes) +
                     " bytes in all, more than half of this machine's memory (" + count(memory) +
                     " bytes)"};
}

// The not-a-knot tensor spline's coefficients: the data placed at the
// first coefficient of their node's block, then one not-a-knot solve per
// line along each axis in turn. A caller's stop (see cancel.hpp) ends the
// solves part way; the fit then discards the coefficients.
Doubles tensor_cubic(std::span<const Axis> axes, std::span<const double> values) {
  const std::size_t n = axes.size();
  Index stride{}, size{};
  std::size_t total = 1;
  for (std::size_t a = n; a-- > 0;) {
    stride[a] = total;
    size[a] = axes[a].coefficients();
    total *= size[a];
  }
  Doubles c(total, 0.0);
  for (std::size_t node = 0, rest; node < values.size(); ++node) {
    rest = node;
    std::size_t at = 0;
    for (std::size_t a = n; a-- > 0;) {
      at += 3 * (rest % axes[a].nodes()) * stride[a];
      rest /= axes[a].nodes();
    }
    c[at] = values[node];
  }
  for (std::size_t a = 0; a < n; ++a) {
    const auto step = static_cast<std::ptrdiff_t>(stride[a]);
    // The lines start at digit 0 along a; axes not yet solved hold data only
    // at the first coefficient of each block (digits stepping by 3), solved
    // ones everywhere. A counter over the other axes' digits visits them.
    Index digit{};
    for (std::size_t solved = 1;; ++solved) {
      if (solved % 1024 == 0 && cancel::requested()) return c;
      std::size_t line = 0;
      for (std::size_t b = 0; b < n; ++b) line += digit[b] * stride[b];
      axes[a].not_a_knot(&c[line], 3 * step, &c[line], step);
      std::size_t b = n;
      while (b-- > 0) {
        if (b == a) continue;
        digit[b] += b < a ? 1 : 3;
        if (digit[b] < size[b]) break;
        digit[b] = 0;
      }
      if (b == static_cast<std::size_t>(-1)) break;
    }
  }
  return c;
}

// One axis's part of an evaluation: the window of coefficients, their
// weights, and whether the weights sum to 1 (order 0) or to 0.
struct Term {
  std::size_t first = 0;
  int width = 0;
  double weight[4] = {};
  bool sums_to_one = true;
  bool nan = false;
};

Term term_at(const Axis& axis, double u, int order, Extrapolation mode) {
  Term term;
  term.width = axis.degree() + 1;
  term.sums_to_one = order == 0;
  if (std::isnan(u)) {
    term.nan = true;
    return term;
  }
  u -= axis.origin();
  const std::span<const double> x = axis.local();
  const bool outside = u < x.front() || u > x.back();
  const bool continued = outside && mode != Extrapolation::extend;
  const double at = continued ? std::clamp(u, x.front(), x.back()) : u;
  const std::size_t q = axis.span_of(at);
  term.first = q - static_cast<std::size_t>(axis.degree());
  if (!continued) {
    axis.weights(q, at, order, term.weight);
    return term;
  }
  if (mode == Extrapolation::nan) {
    term.nan = true;
    return term;
  }
  if (order == 0) axis.weights(q, at, 0, term.weight);
  if (mode == Extrapolation::constant || order == 2) return term;
  double slope[4];
  axis.weights(q, at, 1, slope);
  for (int k = 0; k < term.width; ++k) {
    term.weight[k] = order == 1 ? slope[k] : term.weight[k] + times(slope[k], u - at);
  }
  return term;
}

// The coefficient layout: strides per axis, and the offsets of a window
// of (degree + 1)^N coefficients from its first, innermost axis fastest.
struct Layout {
  Index strides{};
  std::vector<std::size_t> window;

  explicit Layout(std::span<const Axis> axes) {
    const std::size_t n = axes.size();
    std::size_t total = 1;
    for (std::size_t a = n; a-- > 0;) {
      strides[a] = total;
      total *= axes[a].coefficients();
    }
    window.assign(1, 0);
    for (std::size_t a = 0; a < n; ++a) {
      const auto w = static_cast<std::size_t>(axes[a].degree() + 1);
      std::vector<std::size_t> next;
      next.reserve(window.size() * w);
      for (const std::size_t base : window) {
        for (std::size_t k = 0; k < w; ++k) next.push_back(base + k * strides[a]);
      }
      window.swap(next);
    }
  }
};

// The tensor contraction, innermost axis first, each window taken relative
// to its first entry: W coefficients per axis. A weight of 0 adds nothing,
// even where the difference it would weigh overflows (a node of data near
// the largest double is still its value).
template <std::size_t W>
double contract_with(std::span<const double> c, const Layout& layout, const Term* terms,
                     std::size_t n, double* buffer) {
  std::size_t base = 0;
  for (std::size_t a = 0; a < n; ++a) {
    if (terms[a].nan) return std::numeric_limits<double>::quiet_NaN();
    base += terms[a].first * layout.strides[a];
  }
  std::size_t count = layout.window.size();
  const double* from = &c[base];
  const std::size_t* offsets = layout.window.data();
  for (std::size_t k = 0; k < count; ++k) buffer[k] = from[offsets[k]];
  for (std::size_t a = n; a-- > 0;) {
    const Term& t = terms[a];
    count /= W;
    for (std::size_t g = 0; g < count; ++g) {
      const double* v = &buffer[g * W];
      double sum = 0;
      for (std::size_t k = 1; k < W; ++k) sum += times(t.weight[k], v[k] - v[0]);
      buffer[g] = t.sums_to_one ? v[0] + sum : sum;
    }
  }
  return buffer[0];
}

// One line of 4 coefficients at `v` (stride `step`) against one axis's term,
// as contract_with does it.
inline double line4(const double* v, std::size_t step, const Term& t) {
  const double v0 = v[0];
  double sum = 0;
  sum += times(t.weight[1], v[step] - v0);
  sum += times(t.weight[2], v[2 * step] - v0);
  sum += times(t.weight[3], v[3 * step] - v0);
  return t.sums_to_one ? v0 + sum : sum;
}

// A 2-D cubic window read in place: the same operations in the same order
// as contract_with<4>.
double contract2(std::span<const double> c, const Layout& layout, const Term* terms) {
  if (terms[0].nan || terms[1].nan) return std::numeric_limits<double>::quiet_NaN();
  const std::size_t outer = layout.strides[0], inner = layout.strides[1];
  const double* from = &c[terms[0].first * outer + terms[1].first * inner];
  double row[4];
  for (std::size_t i = 0; i < 4; ++i) row[i] = line4(from + i * outer, inner, terms[1]);
  return line4(row, 1, terms[0]);
}

// The same in 3-D.
double contract3(std::span<const double> c, const Layout& layout, const Term* terms) {
  if (terms[0].nan || terms[1].nan || terms[2].nan) return std::numeric_limits<double>::quiet_NaN();
  const std::size_t s0 = layout.strides[0], s1 = layout.strides[1], s2 = layout.strides[2];
  const double* from = &c[terms[0].first * s0 + terms[1].first * s1 + terms[2].first * s2];
  double row[4], plane[4];
  for (std::size_t i = 0; i < 4; ++i) {
    for (std::size_t j = 0; j < 4; ++j) plane[j] = line4(from + i * s0 + j * s1, s2, terms[2]);
    row[i] = line4(plane, 1, terms[1]);
  }
  return line4(row, 1, terms[0]);
}

double contract(std::span<const double> c, const Layout& layout, const Term* terms,
                std::size_t n, double* buffer) {
  if (terms[0].width != 4) return contract_with<2>(c, layout, terms, n, buffer);
  if (n == 2) return contract2(c, layout, terms);
  if (n == 3) return contract3(c, layout, terms);
  return contract_with<4>(c, layout, terms, n, buffer);
}

// The integral of every basis function of the axis from x_0 to u, the
// continuation beyond the ends included.
void add_primitive(const Axis& axis, double u, double sign, Extrapolation mode,
                   std::span<double> out, bool& nan) {
  if (std::isnan(u)) {
    nan = true;
    return;
  }
  u -= axis.origin();
  const std::span<const double> x = axis.local();
  if (u >= x.front() && u <= x.back()) return axis.add_integrals(u, sign, out);
  if (mode == Extrapolation::nan) {
    nan = true;
    return;
  }
  const bool left = u < x.front();
  const double end = left ? x.front() : x.back();
  if (!left) axis.add_integrals(end, sign, out);
  const std::size_t q = axis.span_of(end);
  double value[4], slope[4];
  axis.basis(q, end, 0, value);
  axis.basis(q, end, 1, slope);
  const double d = u - end;
  const bool linear = mode != Extrapolation::constant;
  for (int k = 0; k <= axis.degree(); ++k) {
    const double part = value[k] * d + (linear ? slope[k] * d * d / 2 : 0.0);
    out[q - static_cast<std::size_t>(axis.degree()) + static_cast<std::size_t>(k)] += sign * part;
  }
}

}  // namespace

std::optional<Error> axis_refusal(std::size_t a, std::span<const double> x) {
  if (x.size() < 2) {
    return GridRefusal{"points[" + count(a) + "] needs at least 2 values, got " + count(x.size())};
  }
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (!std::isfinite(x[i])) {
      return GridRefusal{entry(a, i) + " must be finite, got " + format::message(x[i])};
    }
  }
  for (std::size_t i = 0; i + 1 < x.size(); ++i) {
    if (!(x[i] < x[i + 1])) {
      return GridRefusal{"points[" + count(a) + "] must be strictly increasing; " + entry(a, i) +
                         " = " + format::message(x[i]) + " is not < " + entry(a, i + 1) + " = " +
                         format::message(x[i + 1])};
    }
    // The cubic basis works from x_0 and inserts knots at the thirds: they
    // must fall strictly between the data, and the width must be a finite
    // normal number.
    const double from = x[i] - x[0], to = x[i + 1] - x[0], h = to - from;
    const double third = from + h / 3, two_thirds = from + 2 * h / 3;
    if (!std::isfinite(to) || !std::isfinite(h) || h < std::numeric_limits<double>::min() ||
        !(from < third) || !(third < two_thirds) || !(two_thirds < to)) {
      return GridRefusal{entry(a, i) + " = " + format::message(x[i]) + " and " + entry(a, i + 1) +
                         " = " + format::message(x[i + 1]) +
                         " are too close (or too far apart) for knots at the thirds between them"};
    }
  }
  return std::nullopt;
}

std::optional<GridMethod> method_named(std::string_view name) {
  for (std::size_t i = 0; i < method_names.size(); ++i) {
    if (method_names[i] == name) return static_cast<GridMethod>(i);
  }
  return std::nullopt;
}

GridSurface::GridSurface(GridMethod method, Vector<Axis> axes, Doubles coefficients,
                         bool shape_preserving)
    : method_(method),
      axes_(std::move(axes)),
      coefficients_(std::move(coefficients)),
      shape_preserving_(shape_preserving) {}

Result<GridSurface> GridSurface::fit(GridMethod method,
                                     std::span<const std::span<const double>> axes,
                                     std::span<const double> values) {
  if (axes.size() < least_dimensions || axes.size() > most_dimensions) {
    return GridRefusal{"a grid needs 2 to 6 axes, got " + count(axes.size())};
  }
  std::size_t nodes = 1;
  for (std::size_t a = 0; a < axes.size(); ++a) {
    if (auto error = axis_refusal(a, axes[a])) return *error;
    nodes = axes[a].size() > std::numeric_limits<std::size_t>::max() / nodes
                ? std::numeric_limits<std::size_t>::max()
                : nodes * axes[a].size();
  }
  const int degree = method == GridMethod::linear ? 1 : 3;
  Vector<Axis> built;
  for (const auto& x : axes) built.emplace_back(x, degree);
  if (auto error = size_refusal(method, built)) return *error;
  if (values.size() != nodes) {
    return GridRefusal{"values must have " + product_text(built) + " = " + count(nodes) +
                       " entries for the grid, got " + count(values.size())};
  }
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (!std::isfinite(values[i])) {
      return GridRefusal{value_entry(built, i) + " must be finite, got " +
                         format::message(values[i])};
    }
  }
  Doubles c;
  bool verdict = true;
  cancel::take();
  if (method == GridMethod::linear) {
    c.assign(values.begin(), values.end());
  } else {
    c = tensor_cubic(built, values);
    if (method == GridMethod::shape) limit_shape(built, values, c);
    // A fit asked to stop part way (see cancel.hpp) is discarded.
    if (cancel::take()) return Cancelled{};
    verdict = coefficient_signs_hold(built, values, c);
  }
  GridSurface surface(method, std::move(built), std::move(c), false);
  // The data, evaluated back: interpolated to rounding.
  double largest = 0;
  for (const double v : values) largest = std::max(largest, std::fabs(v));
  std::vector<double> at(values.size() * surface.dimensions()), got(values.size());
  for (std::size_t node = 0; node < values.size(); ++node) {
    std::size_t rest = node;
    for (std::size_t a = surface.dimensions(); a-- > 0;) {
      const std::span<const double> x = surface.axes_[a].data();
      at[node * surface.dimensions() + a] = x[rest % x.size()];
      rest /= x.size();
    }
  }
  const std::vector<int> orders(surface.dimensions(), 0);
  surface.evaluate(at, orders, Extrapolation::linear, got);
  for (std::size_t node = 0; node < values.size() && verdict; ++node) {
    verdict = std::fabs(got[node] - values[node]) <= 64 * std::numeric_limits<double>::epsilon() * largest;
  }
  surface.shape_preserving_ = verdict;
  return surface;
}

void GridSurface::evaluate(std::span<const double> points, std::span<const int> orders,
                           Extrapolation mode, std::span<double> out) const {
  const std::size_t n = dimensions();
  const Layout layout(axes_);
  const std::size_t count = out.size();
  const std::size_t chunks = parallel::threads_for(count * layout.window.size() / 16);
  parallel::for_chunks(chunks, [&](std::size_t chunk) {
    std::vector<double> buffer(layout.window.size());
    std::array<Term, most_dimensions> terms;
    const std::size_t end = parallel::chunk_begin(count, chunks, chunk + 1);
    for (std::size_t i = parallel::chunk_begin(count, chunks, chunk); i < end; ++i) {
      for (std::size_t a = 0; a < n; ++a) {
        terms[a] = term_at(axes_[a], points[i * n + a], orders[a], mode);
      }
      out[i] = contract(coefficients_, layout, terms.data(), n, buffer.data());
    }
  });
}

void GridSurface::evaluate_product(std::span<const std::span<const double>> abscissas,
                                   std::span<const int> orders, Extrapolation mode,
                                   std::span<double> out) const {
  const std::size_t n = dimensions();
  const Layout layout(axes_);
  std::vector<std::vector<Term>> per_axis(n);
  for (std::size_t a = 0; a < n; ++a) {
    for (const double u : abscissas[a]) per_axis[a].push_back(term_at(axes_[a], u, orders[a], mode));
  }
  const std::size_t count = out.size();
  if (count == 0) return;
  const std::size_t chunks = parallel::threads_for(count * layout.window.size() / 16);
  parallel::for_chunks(chunks, [&](std::size_t chunk) {
    std::vector<double> buffer(layout.window.size());
    std::array<Term, most_dimensions> terms;
    Index digit{};
    const std::size_t begin = parallel::chunk_begin(count, chunks, chunk);
    const std::size_t end = parallel::chunk_begin(count, chunks, chunk + 1);
    std::size_t rest = begin;
    for (std::size_t a = n; a-- > 0;) {
      digit[a] = rest % per_axis[a].size();
      rest /= per_axis[a].size();
    }
    for (std::size_t i = begin; i < end; ++i) {
      for (std::size_t a = 0; a < n; ++a) terms[a] = per_axis[a][digit[a]];
      out[i] = contract(coefficients_, layout, terms.data(), n, buffer.data());
      for (std::size_t a = n; a-- > 0;) {
        if (++digit[a] < per_axis[a].size()) break;
        digit[a] = 0;
      }
    }
  });
}

double GridSurface::integral(std::span<const double> lower, std::span<const double> upper,
                             Extrapolation mode) const {
  const std::size_t n = dimensions();
  std::vector<std::vector<double>> weights(n);
  Index first{}, last{}, strides{};
  std::size_t total = 1;
  for (std::size_t a = n; a-- > 0;) {
    strides[a] = total;
    total *= axes_[a].coefficients();
  }
  bool nan = false;
  for (std::size_t a = 0; a < n; ++a) {
    std::vector<double>& w = weights[a];
    w.assign(axes_[a].coefficients(), 0.0);
    add_primitive(axes_[a], upper[a], 1.0, mode, w, nan);
    add_primitive(axes_[a], lower[a], -1.0, mode, w, nan);
    first[a] = w.size();
    for (std::size_t l = 0; l < w.size(); ++l) {
      if (w[l] != 0) {
        first[a] = std::min(first[a], l);
        last[a] = l;
      }
    }
    if (first[a] == w.size()) return nan ? std::numeric_limits<double>::quiet_NaN() : 0.0;
  }
  if (nan) return std::numeric_limits<double>::quiet_NaN();
  // Innermost axis first: each line of coefficients against its weights.
  double sum = 0;
  Index at = first;
  for (;;) {
    double line = 0;
    std::size_t base = 0;
    double outer = 1;
    for (std::size_t a = 0; a + 1 < n; ++a) {
      base += at[a] * strides[a];
      outer *= weights[a][at[a]];
    }
    for (std::size_t l = first[n - 1]; l <= last[n - 1]; ++l) {
      line += coefficients_[base + l * strides[n - 1]] * weights[n - 1][l];
    }
    sum += outer * line;
    std::size_t a = n - 1;
    while (a-- > 0) {
      if (++at[a] <= last[a]) break;
      at[a] = first[a];
    }
    if (a == static_cast<std::size_t>(-1)) break;
  }
  return sum;
}

std::string GridSurface::debug_text() const {
  return "GridSurface { method: " + std::string(method_names[static_cast<std::size_t>(method_)]) +
         ", nodes: " + product_text(axes_) +
         ", shape_preserving: " + format::debug(shape_preserving_) + " }";
}

bool operator==(const GridSurface& a, const GridSurface& b) {
  // The coefficients bit for bit (a NaN from overflowing data equals itself).
  const auto same = [](std::span<const double> x, std::span<const double> y) {
    return x.size() == y.size() && std::memcmp(x.data(), y.data(), x.size() * sizeof(double)) == 0;
  };
  if (a.method_ != b.method_ || a.axes_.size() != b.axes_.size() ||
      a.shape_preserving_ != b.shape_preserving_ || !same(a.coefficients_, b.coefficients_)) {
    return false;
  }
  for (std::size_t i = 0; i < a.axes_.size(); ++i) {
    const auto x = a.axes_[i].data(), y = b.axes_[i].data();
    if (!std::equal(x.begin(), x.end(), y.begin(), y.end())) return false;
  }
  return true;
}

}  // namespace velarix::grid
