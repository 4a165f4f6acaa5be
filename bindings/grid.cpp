// GridSurface: a table of two to six variables, fitted from one buffer per
// axis and a row-major buffer of values, evaluated at points (m x N,
// row-major) or on a product of abscissas into the caller's buffer.
#include "grid/grid.hpp"

#include <algorithm>

#include "cancel.hpp"
#include "classes.hpp"
#include "grid/state.hpp"
#include "module.hpp"
#include "parallel.hpp"

namespace velarix::py {

// The abscissas of every axis: a sequence of float64 buffers, each copied.
struct AxisList {
  std::vector<Doubles> axes;
  std::vector<std::span<const double>> spans() const {
    return std::vector<std::span<const double>>(axes.begin(), axes.end());
  }
};

// Per-axis derivative orders: a sequence of ints.
struct OrderList {
  std::vector<int> orders;
};

template <>
struct From<AxisList> {
  static std::optional<AxisList> convert(PyObject* object) {
    const Py_ssize_t count = PySequence_Size(object);
    if (count < 0) return std::nullopt;
    AxisList list;
    for (Py_ssize_t i = 0; i < count; ++i) {
      Ref item(PySequence_GetItem(object, i));
      if (!item) return std::nullopt;
      auto buffer = Float64Buffer::accept(item.get());
      if (!buffer) return std::nullopt;
      auto copied = buffer->copy();
      if (!copied) return std::nullopt;
      list.axes.emplace_back(copied->begin(), copied->end());
    }
    return list;
  }
};

template <>
struct From<OrderList> {
  static std::optional<OrderList> convert(PyObject* object) {
    const Py_ssize_t count = PySequence_Size(object);
    if (count < 0) return std::nullopt;
    OrderList list;
    for (Py_ssize_t i = 0; i < count; ++i) {
      Ref item(PySequence_GetItem(object, i));
      if (!item) return std::nullopt;
      auto order = From<int>::convert(item.get());
      if (!order) return std::nullopt;
      list.orders.push_back(*order);
    }
    return list;
  }
};

namespace {

using grid::GridMethod;

// Evaluations of this many points and more run without the interpreter
// lock, in chunks of `grid_chunk` points between which Ctrl-C is asked for.
inline constexpr std::size_t grid_unlocked_from = 256;
inline constexpr std::size_t grid_chunk = std::size_t{1} << 18;

std::optional<Extrapolation> continuation(const std::string& name) {
  for (const Extrapolation mode :
       {Extrapolation::linear, Extrapolation::constant, Extrapolation::nan}) {
    if (extrapolation_names[static_cast<std::size_t>(mode)] == name) return mode;
  }
  PyErr_Format(PyExc_ValueError,
               "extrapolate must be 'linear', 'constant' or 'nan' here, got '%s'", name.c_str());
  return std::nullopt;
}

bool orders_fit(const GridSurface& s, const OrderList& orders) {
  if (orders.orders.size() != s.dimensions()) {
    PyErr_Format(PyExc_ValueError, "orders must have %zu entries, got %zu", s.dimensions(),
                 orders.orders.size());
    return false;
  }
  for (const int order : orders.orders) {
    if (order < 0 || order > grid::highest_order) {
      PyErr_Format(PyExc_ValueError, "orders must be 0 to %d, got %d", grid::highest_order, order);
      return false;
    }
  }
  return true;
}

bool writable_out(const Float64Buffer& out, std::size_t count) {
  if (!out.writable() || !out.c_contiguous()) {
    PyErr_SetString(PyExc_ValueError, "out must be a writable, C-contiguous float64 buffer");
    return false;
  }
  if (out.count() != count) {
    PyErr_Format(PyExc_ValueError, "out holds %zu values but %zu are evaluated", out.count(), count);
    return false;
  }
  return true;
}

PyObject* fit_grid(std::string method, AxisList points, Float64Buffer values) {
  const std::optional<GridMethod> chosen = grid::method_named(method);
  if (!chosen) {
    PyErr_Format(PyExc_ValueError, "method must be 'shape', 'cubic' or 'linear', got '%s'",
                 method.c_str());
    return nullptr;
  }
  const auto copied = values.copy();
  if (!copied) return nullptr;
  const auto spans = points.spans();
  return to_python(unlocked_from(grid_unlocked_from, copied->size(),
                                 [&] { return GridSurface::fit(*chosen, spans, *copied); }));
}

// The points' values (or partial derivatives) into `out`; `workers` 0 for
// the calling thread's setting.
PyObject* evaluate_into(const GridSurface& s, Float64Buffer points, OrderList orders,
                        std::string extrapolate, std::uint64_t workers, Float64Buffer out) {
  const auto mode = continuation(extrapolate);
  if (!mode || !orders_fit(s, orders)) return nullptr;
  if (!points.c_contiguous() || points.count() % s.dimensions() != 0) {
    PyErr_Format(PyExc_ValueError,
                 "points must be a C-contiguous float64 buffer of rows of %zu coordinates",
                 s.dimensions());
    return nullptr;
  }
  const std::size_t count = points.count() / s.dimensions();
  if (!writable_out(out, count)) return nullptr;
  const auto in = points.items();
  const auto to = out.writable_items();
  const bool stopped = unlocked_from(grid_unlocked_from, count, [&] {
    const parallel::Workers threads(workers);
    cancel::take();
    for (std::size_t j = 0; j < count; j += grid_chunk) {
      if (j > 0 && cancel::requested()) return cancel::take();
      const std::size_t size = std::min(grid_chunk, count - j);
      s.evaluate(in.subspan(j * s.dimensions(), size * s.dimensions()), orders.orders, *mode,
                 to.subspan(j, size));
    }
    return false;
  });
  if (stopped) return invalid(Cancelled{});
  Py_RETURN_NONE;
}

// On the product of the abscissas, row-major over them, into `out`.
PyObject* grid_into(const GridSurface& s, AxisList abscissas, OrderList orders,
                    std::string extrapolate, std::uint64_t workers, Float64Buffer out) {
  const auto mode = continuation(extrapolate);
  if (!mode || !orders_fit(s, orders)) return nullptr;
  if (abscissas.axes.size() != s.dimensions()) {
    PyErr_Format(PyExc_ValueError, "abscissas must have %zu axes, got %zu", s.dimensions(),
                 abscissas.axes.size());
    return nullptr;
  }
  std::size_t count = 1;
  for (const Doubles& x : abscissas.axes) count *= x.size();
  if (!writable_out(out, count)) return nullptr;
  const auto spans = abscissas.spans();
  const auto to = out.writable_items();
  unlocked_from(grid_unlocked_from, count, [&] {
    const parallel::Workers threads(workers);
    s.evaluate_product(spans, orders.orders, *mode, to);
  });
  Py_RETURN_NONE;
}

PyObject* integral(const GridSurface& s, Float64Buffer lower, Float64Buffer upper,
                   std::string extrapolate) {
  const auto mode = continuation(extrapolate);
  if (!mode) return nullptr;
  const auto lo = lower.copy(), hi = upper.copy();
  if (!lo || !hi) return nullptr;
  if (lo->size() != s.dimensions() || hi->size() != s.dimensions()) {
    PyErr_Format(PyExc_ValueError, "lower and upper must have %zu entries each", s.dimensions());
    return nullptr;
  }
  return PyFloat_FromDouble(s.integral(*lo, *hi, *mode));
}

std::string method_name(const GridSurface& s) {
  return std::string(grid::method_names[static_cast<std::size_t>(s.method())]);
}
std::uint64_t dimensions(const GridSurface& s) { return s.dimensions(); }
std::uint64_t coefficient_count(const GridSurface& s) { return s.coefficients().size(); }
bool is_shape_preserving(const GridSurface& s) { return s.is_shape_preserving(); }

PyObject* points_of(const GridSurface& s) {
  Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(s.dimensions())));
  if (!tuple) return nullptr;
  for (std::size_t a = 0; a < s.dimensions(); ++a) {
    PyObject* list = to_python(s.axes()[a].data());
    if (list == nullptr) return nullptr;
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(a), list);
  }
  return tuple.release();
}

PyObject* methods() {
  Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(grid::method_names.size())));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < grid::method_names.size(); ++i) {
    const std::string_view name = grid::method_names[i];
    PyObject* text =
        PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    if (text == nullptr) return nullptr;
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), text);
  }
  return tuple.release();
}

PyTypeObject* grid_surface_class() {
  return Class<GridSurface>(
             "GridSurface",
             "A fitted table of 2 to 6 variables on a rectilinear grid: a tensor B-spline,\n"
             "cubic on each axis's data plus knots at the thirds of every interval (3^N\n"
             "coefficients per data node) or multilinear. Made by GridSurface.fit.")
      .static_method<"fit", &fit_grid, "method", "points", "values">(
          "Fit `values` (row-major over the grid, a float64 buffer) on `points` (one\n"
          "strictly increasing float64 buffer per axis) by `method`: 'shape' (C²,\n"
          "monotone along every axis where the data are, flat where they are flat),\n"
          "'cubic' (the not-a-knot tensor cubic spline) or 'linear' (multilinear).\n\n"
          "Raises\n------\nValueError\n    Naming the entry of points or values refused, or the size.")
      .static_method<"methods", &methods>("The method names fit takes.")
      .method<"evaluate_into", &evaluate_into, "points", "orders", "extrapolate", "workers",
              "out">(
          "The partial derivative of `orders` (one per axis, 0 to 2) at the rows of\n"
          "`points` (N coordinates each) into `out`, beyond the grid continued by\n"
          "`extrapolate` ('linear', 'constant' or 'nan') on `workers` threads (0: the\n"
          "calling thread's setting).")
      .method<"grid_into", &grid_into, "abscissas", "orders", "extrapolate", "workers", "out">(
          "As evaluate_into, on the product of one buffer of abscissas per axis\n"
          "(row-major over them), with the same bits at each point.")
      .method<"integral", &integral, "lower", "upper", "extrapolate">(
          "The integral over the box from `lower` to `upper` (N entries each).")
      .property<&method_name>("method", "'shape', 'cubic' or 'linear'.")
      .property<&dimensions>("dimensions", "The number of axes.")
      .property<&points_of>("points", "The abscissas of every axis, a tuple of lists.")
      .property<&coefficient_count>("coefficient_count", "The coefficients it holds.")
      .property<&is_shape_preserving>(
          "is_shape_preserving",
          "Whether every coefficient difference has the sign its cells' data ask\n"
          "(exactly 0 where they are flat) and the data are interpolated to rounding.")
      .picklable<&state::save<GridSurface>, &state::load<GridSurface>>()
      .value_comparison()
      .create();
}

}  // namespace

Classes grid_classes() {
  static constexpr Registration classes[] = {{"GridSurface", &grid_surface_class}};
  return classes;
}

}  // namespace velarix::py
