// What the three fitted-spline classes share: fitting from buffers, scalar
// evaluation, batch evaluation into a new array or into the caller's buffer,
// and the domain. Written once; each spline class adds it to its declaration.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "buffer.hpp"
#include "cancel.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "extrapolation.hpp"
#include "knots.hpp"
#include "piecewise.hpp"

namespace velarix::py {

// Fits of this many knots and more, and batches of this many items and
// more, run without the interpreter lock (see Unlocked): from there the
// work takes some microseconds, far more than the switch.
inline constexpr std::size_t fit_unlocked_from = 64;
inline constexpr std::size_t batch_unlocked_from = 512;

// fit(x, y): the core reads C-contiguous buffers in place (they are held
// until the fit returns, and the core copies what it keeps); others are
// first copied row-major, whatever their strides. Skipping the copy saves
// two fresh arrays, whose page faults are a large part of a big fit. The
// fit itself runs without the interpreter lock; its spline is wrapped with
// it. With checked knots for x (bindings/knots.hpp) a method's fit checks y
// alone; a configuration without such a fit (the smoother) reads their x.
template <class Config>
PyObject* fit(const Config& config, FitKnots x, Float64Buffer y) {
  std::optional<std::vector<double>> x_copy, y_copy;
  std::optional<std::span<const double>> xs;
  if (x.checked != nullptr) {
    xs = x.checked->x();
  } else {
    xs = x.buffer->row_major(x_copy);
    if (!xs) return nullptr;
  }
  const std::optional<std::span<const double>> ys = y.row_major(y_copy);
  if (!ys) return nullptr;
  return to_python(unlocked_from(fit_unlocked_from, xs->size(), [&] {
    if constexpr (requires { config.fit(*x.checked, *ys); }) {
      if (x.checked != nullptr) return config.fit(*x.checked, *ys);
    }
    return config.fit(*xs, *ys);
  }));
}

template <class Spline, Derivative D>
double evaluate(const Spline& spline, double x) {
  return spline.curve().template evaluate<D>(x);
}

// A new array('d') of `count` zeros, made by repeating a one-item array so
// that it is allocated once.
PyObject* new_double_array(std::size_t count);

bool check_input(const Float64Buffer& xs);
bool check_output(const Float64Buffer& out, const Float64Buffer& xs);

// `fill(xs, out)` on the held views, without the interpreter lock for a
// long batch. The spline is immutable, and what it builds on first use (the
// integral table) is published atomically, so threads may share it; `out`
// may overlap `xs`, which the core reads ahead of writing. Another thread
// may change the buffers' contents meanwhile, as with any buffer given to
// code that runs unlocked, but not free them: an exported buffer cannot be
// resized or released while its view is held.
//
// A long batch runs in chunks, in index order (which keeps the order of
// reads and writes the core promises for overlapping buffers), asking
// between chunks whether Ctrl-C was pressed: if so it stops with the
// KeyboardInterrupt pending and returns false.
inline constexpr std::size_t batch_chunk = std::size_t{1} << 16;

template <class Fill>
bool fill_batch(const Float64Buffer& xs, const Float64Buffer& out, Fill&& fill) {
  const auto in = xs.items();
  const auto to = out.writable_items();
  const bool stopped = unlocked_from(batch_unlocked_from, xs.count(), [&] {
    cancel::take();
    for (std::size_t j = 0; j < in.size(); j += batch_chunk) {
      if (j > 0 && cancel::requested()) return cancel::take();
      const std::size_t size = std::min(batch_chunk, in.size() - j);
      fill(in.subspan(j, size), to.subspan(j, size));
    }
    return false;
  });
  if (!stopped) return true;
  invalid(Cancelled{});
  return false;
}

template <class Spline, Derivative D>
PyObject* evaluate_batch(const Spline& spline, Float64Buffer xs) {
  Ref result(new_double_array(xs.count()));
  if (!result) return nullptr;
  auto out = Float64Buffer::accept(result.get());
  if (!out || !check_input(xs)) return nullptr;
  if (!fill_batch(xs, *out, [&](auto in, auto to) { spline.curve().template evaluate<D>(in, to); })) {
    return nullptr;
  }
  return result.release();
}

// Nothing is written unless every check has passed; `out` may be `xs` itself.
template <class Spline, Derivative D>
PyObject* evaluate_batch_into(const Spline& spline, Float64Buffer xs, Float64Buffer out) {
  if (!check_input(xs) || !check_output(out, xs)) return nullptr;
  if (!fill_batch(xs, out, [&](auto in, auto to) { spline.curve().template evaluate<D>(in, to); })) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

template <class Spline>
double antiderivative(const Spline& spline, double x) {
  return spline.curve().antiderivative(x);
}

template <class Spline>
double integral(const Spline& spline, double a, double b) {
  return spline.curve().integral(a, b);
}

template <class Spline>
PyObject* antiderivative_batch(const Spline& spline, Float64Buffer xs) {
  Ref result(new_double_array(xs.count()));
  if (!result) return nullptr;
  auto out = Float64Buffer::accept(result.get());
  if (!out || !check_input(xs)) return nullptr;
  if (!fill_batch(xs, *out, [&](auto in, auto to) { spline.curve().antiderivative(in, to); })) {
    return nullptr;
  }
  return result.release();
}

template <class Spline>
PyObject* antiderivative_batch_into(const Spline& spline, Float64Buffer xs, Float64Buffer out) {
  if (!check_input(xs) || !check_output(out, xs)) return nullptr;
  if (!fill_batch(xs, out, [&](auto in, auto to) { spline.curve().antiderivative(in, to); })) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

// The mode named `extrapolate`, or nothing with a ValueError listing the
// names.
std::optional<Extrapolation> extrapolation_argument(const std::string& extrapolate);
// Whether nu is an antiderivative order -1 to -highest_antiderivative or a
// derivative order 0 to 3; if not, a ValueError is set.
bool check_order(int nu);

// visit(order) with the order as a compile-time constant; nu is checked.
template <class Visit>
decltype(auto) by_order(int nu, Visit&& visit) {
  switch (nu) {
    case -4: return visit(std::integral_constant<int, -4>{});
    case -3: return visit(std::integral_constant<int, -3>{});
    case -2: return visit(std::integral_constant<int, -2>{});
    case -1: return visit(std::integral_constant<int, -1>{});
    case 0: return visit(std::integral_constant<int, 0>{});
    case 1: return visit(std::integral_constant<int, 1>{});
    case 2: return visit(std::integral_constant<int, 2>{});
    default: return visit(std::integral_constant<int, 3>{});
  }
}

static_assert(highest_antiderivative == 4, "by_order visits the orders -4 to 3");

template <int Order, class Curve>
double at_order(const Curve& curve, double x, Extrapolation mode) {
  if constexpr (Order < -1) {
    return curve.antiderivative(-Order, x, mode);
  } else if constexpr (Order < 0) {
    return curve.antiderivative(x, mode);
  } else {
    return curve.template evaluate<static_cast<Derivative>(Order)>(x, mode);
  }
}

template <int Order, class Curve>
void at_order(const Curve& curve, std::span<const double> xs, std::span<double> out,
              Extrapolation mode) {
  if constexpr (Order < -1) {
    curve.antiderivative(-Order, xs, out, mode);
  } else if constexpr (Order < 0) {
    curve.antiderivative(xs, out, mode);
  } else {
    curve.template evaluate<static_cast<Derivative>(Order)>(xs, out, mode);
  }
}

template <class Spline>
PyObject* evaluate_by_mode(const Spline& spline, double x, int nu,
                           const std::string& extrapolate) {
  const auto mode = extrapolation_argument(extrapolate);
  if (!mode || !check_order(nu)) return nullptr;
  return PyFloat_FromDouble(by_order(nu, [&](auto order) {
    return at_order<decltype(order)::value>(spline.curve(), x, *mode);
  }));
}

// Nothing is written unless every check has passed; `out` may be `xs` itself.
template <class Spline>
PyObject* evaluate_batch_into_by_mode(const Spline& spline, Float64Buffer xs, Float64Buffer out,
                                      int nu, const std::string& extrapolate) {
  const auto mode = extrapolation_argument(extrapolate);
  if (!mode || !check_order(nu) || !check_input(xs) || !check_output(out, xs)) return nullptr;
  const bool filled = fill_batch(xs, out, [&](auto in, auto to) {
    by_order(nu, [&](auto order) {
      at_order<decltype(order)::value>(spline.curve(), in, to, *mode);
    });
  });
  if (!filled) return nullptr;
  Py_RETURN_NONE;
}

template <class Spline>
std::pair<double, double> domain(const Spline& spline) {
  return spline.domain();
}

// A new dict of values[i] under names[i], in order.
PyObject* field_dict(std::span<const char* const> names, std::span<const double> values);

// The pieces in knot order, each a dict of its own fields by name.
template <class Spline>
PyObject* pieces(const Spline& spline) {
  using Piece = typename Spline::Piece;
  const std::span<const Piece> all = spline.curve().pieces();
  Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(all.size())));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < all.size(); ++i) {
    PyObject* item = field_dict(Piece::field_names, all[i].fields());
    if (item == nullptr) return nullptr;
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return tuple.release();
}

// The docstrings of the evaluation surface: one text per kind of call, with
// what it evaluates (the value, or the derivative of an order) filled in.
inline constexpr const char* fit_doc =
    "The spline through the points (x[i], y[i]).\n\n"
    "x and y are buffers of float64 of equal length: at least 2 points, x finite\n"
    "and strictly increasing, y finite.\n\n"
    "Returns\n-------\nThe fitted spline of this method.\n\n"
    "Raises\n------\nValueError\n    For data or settings the method refuses; the message "
    "names the\n    argument, the index and the value.";

std::string scalar_doc(const char* what);
std::string batch_doc(const char* what);
std::string batch_into_doc(const char* what);

template <class Spline>
Class<Spline>& add_evaluation_surface(Class<Spline>& cls) {
  using enum Derivative;
  // The texts are kept for the life of the process, as the type points at them.
  static const std::string docs[] = {
      scalar_doc("value"),
      scalar_doc("first derivative"),
      scalar_doc("second derivative"),
      scalar_doc("third derivative (at a knot, the right piece's)"),
      batch_doc("value"),
      batch_doc("first derivative"),
      batch_doc("second derivative"),
      batch_doc("third derivative"),
      batch_into_doc("value"),
      batch_into_doc("first derivative"),
      batch_into_doc("second derivative"),
      batch_into_doc("third derivative")};
  return cls.template method<"value", &evaluate<Spline, value>, "x">(docs[0].c_str())
      .template callable<&evaluate<Spline, value>, "x">()
      .template method<"first_derivative", &evaluate<Spline, first>, "x">(docs[1].c_str())
      .template method<"second_derivative", &evaluate<Spline, second>, "x">(docs[2].c_str())
      .template method<"third_derivative", &evaluate<Spline, third>, "x">(docs[3].c_str())
      .template method<"value_batch", &evaluate_batch<Spline, value>, "xs">(docs[4].c_str())
      .template method<"first_derivative_batch", &evaluate_batch<Spline, first>, "xs">(
          docs[5].c_str())
      .template method<"second_derivative_batch", &evaluate_batch<Spline, second>, "xs">(
          docs[6].c_str())
      .template method<"third_derivative_batch", &evaluate_batch<Spline, third>, "xs">(
          docs[7].c_str())
      .template method<"value_batch_into", &evaluate_batch_into<Spline, value>, "xs", "out">(
          docs[8].c_str())
      .template method<"first_derivative_batch_into", &evaluate_batch_into<Spline, first>,
                       "xs", "out">(docs[9].c_str())
      .template method<"second_derivative_batch_into", &evaluate_batch_into<Spline, second>,
                       "xs", "out">(docs[10].c_str())
      .template method<"third_derivative_batch_into", &evaluate_batch_into<Spline, third>,
                       "xs", "out">(docs[11].c_str())
      .template method<"integral", &integral<Spline>, "a", "b">(
          "The integral of the spline from a to b; b < a gives the negative. Outside\n"
          "the knots the held end value integrates as a constant (a spline fitted with\n"
          "periodic ends repeats instead, whole periods summed exactly).")
      .template method<"antiderivative", &antiderivative<Spline>, "x">(
          "The integral of the spline from the first knot to x (negative left of it).")
      .template method<"antiderivative_batch", &antiderivative_batch<Spline>, "xs">(
          "antiderivative(x) for each item of xs, in a new array('d').")
      .template method<"antiderivative_batch_into", &antiderivative_batch_into<Spline>, "xs",
                       "out">("antiderivative(x) for each item of xs, written into out.")
      .template method<"evaluate", &evaluate_by_mode<Spline>, "x", "nu", "extrapolate">(
          "The spline's antiderivative of order -nu (nu = -1 to -4: the integral from\n"
          "the first knot, and that integrated again), value (0) or derivative of order\n"
          "nu (1 to 3) at x; outside the knots by the mode extrapolate: \"hold\" (as\n"
          "value and the derivatives), \"linear\", \"constant\", \"nan\", \"extend\"\n"
          "(the end pieces continued) or \"periodic\".")
      .template method<"evaluate_into", &evaluate_batch_into_by_mode<Spline>, "xs", "out",
                       "nu", "extrapolate">(
          "evaluate(x, nu, extrapolate) for each item of xs, written into out.")
      .template property<&domain<Spline>>("domain",
                                          "The first and the last knot, a tuple (x[0], x[-1]).")
      .template property<&pieces<Spline>>(
          "pieces",
          "The pieces in knot order, each a dict of its own fields by name: the numbers\n"
          "a saved state keeps for it.");
}

}  // namespace velarix::py
