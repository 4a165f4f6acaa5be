// Smoother and SmoothingSpline.
#include "smoothing/smoothing.hpp"

#include "classes.hpp"
#include "module.hpp"
#include "smoothing/state.hpp"
#include "spline_surface.hpp"

namespace velarix::py {
namespace {

using smoothing::Shape;
using smoothing::Smoother;
using smoothing::SmoothingSpline;

std::string shape(const Smoother& c) { return smoothing::name(c.shape); }

// Every name `with_shape` takes in its canonical spelling, in the order of the
// saved states' tag ("none" first, "auto" last), so that the layers above
// offer the shapes the core knows instead of a list of their own.
PyObject* shapes() {
  Ref tuple(PyTuple_New(smoothing::shape_count));
  if (!tuple) return nullptr;
  for (std::uint8_t i = 0; i < smoothing::shape_count; ++i) {
    const std::string text = smoothing::name(static_cast<Shape>(i));
    PyObject* item = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (item == nullptr) return nullptr;
    PyTuple_SetItem(tuple.get(), i, item);
  }
  return tuple.release();
}
std::optional<double> lam(const Smoother& c) { return c.lam; }
PyObject* knots(const Smoother& c) {
  if (!c.knots) Py_RETURN_NONE;
  return to_python(std::span<const double>(*c.knots));
}

Result<Smoother> with_shape(Smoother c, std::string text) {
  Result<Shape> parsed = smoothing::parse_shape(text);
  if (!parsed) return parsed.error();
  c.shape = parsed.value();
  return c;
}
Smoother with_lam(Smoother c, double value) {
  c.lam = value;
  return c;
}
Smoother with_gcv(Smoother c) {
  c.lam.reset();
  return c;
}
// GCC 12 reports the disengaged optional's vector as maybe used
// uninitialized once the whole binding is inlined here; it is not read.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
Smoother with_segments(Smoother c, std::uint64_t count) {
  c.segments = count;
  c.knots.reset();
  return c;
}
#pragma GCC diagnostic pop
PyObject* with_knots(Smoother c, Float64Buffer positions) {
  const auto copied = positions.copy();
  if (!copied) return nullptr;
  c.knots = Doubles(copied->begin(), copied->end());
  return to_python(std::move(c));
}

// Buffers that are not C-contiguous are copied row-major first, as `fit` does.
PyObject* fit_weighted(const Smoother& c, Float64Buffer x, Float64Buffer y, Float64Buffer w) {
  const auto xs = x.copy();
  if (!xs) return nullptr;
  const auto ys = y.copy();
  if (!ys) return nullptr;
  const auto ws = w.copy();
  if (!ws) return nullptr;
  return to_python(c.fit(*xs, *ys, *ws));
}

double spline_lam(const SmoothingSpline& s) { return s.choice().lam; }
double edf(const SmoothingSpline& s) { return s.choice().edf; }
double gcv(const SmoothingSpline& s) { return s.choice().gcv; }
std::string spline_shape(const SmoothingSpline& s) { return smoothing::name(s.choice().shape); }
std::uint64_t active_constraints(const SmoothingSpline& s) {
  return s.choice().active_constraints;
}
std::span<const double> spline_knots(const SmoothingSpline& s) { return s.curve().knots(); }
bool is_shape_preserving(const SmoothingSpline& s) { return s.is_shape_preserving(); }

PyTypeObject* smoother_class() {
  return Class<Smoother>(
             "Smoother",
             "Smoother()\n--\n\n"
             "Cubic smoothing spline (C²) minimising sum w (y - S(x))² + lam ∫ S''², optionally\n"
             "held to a shape: increasing, decreasing, convex, concave, a direction and a\n"
             "curvature together, or the best supported of these ('auto'). lam is chosen by\n"
             "generalised cross-validation unless given.")
      .default_constructible()
      .picklable<&state::save<Smoother>, &state::load<Smoother>>()
      .value_comparison()
      .property<&shape>("shape", "'none', 'increasing', ..., 'increasing convex', ... or 'auto'.")
      .property<&lam>("lam", "The smoothing parameter, or None when GCV chooses it.")
      .field<&Smoother::segments>(
          "segments", "The most segments of knots at the data; 0 (the default): a knot at every\n"
          "distinct x (with a shape, at most 2000 segments).")
      .property<&knots>("knots", "The interior knots given, or None (knots from `segments`).")
      .field<&Smoother::robust>(
          "robust", "Whether the points are reweighted by Huber's rule to resist outliers.")
      .method<"fit", &fit<Smoother>, "x", "y">("Fit with every weight 1.")
      .method<"fit_weighted", &fit_weighted, "x", "y", "weights">(
          "Fit with one weight >= 0 per point.")
      .static_method<"shapes", &shapes>(
          "The shape names with_shape takes, 'none' first and 'auto' last.")
      .method<"with_shape", &with_shape, "shape">(
          "A copy held to shape, one of Smoother.shapes() ('none', 'increasing',\n"
          "..., 'increasing convex', ..., 'auto')."
          "\n\nReturns\n-------\nA new configuration; this one is unchanged.\n\n"
          "Raises\n------\nValueError\n    For an unknown shape, listing the shapes.")
      .method<"with_lam", &with_lam, "lam">(
          "A copy that uses the smoothing parameter lam (> 0) as given instead of\n"
          "choosing it by generalised cross-validation."
          "\n\nReturns\n-------\nA new configuration; this one is unchanged. The value is checked when\nthe copy fits (ValueError naming it).")
      .method<"with_gcv", &with_gcv>("Choose lam by generalised cross-validation (the default).")
      .method<"with_segments", &with_segments, "segments">(
          "Knots at every distinct x when they make at most this many segments, at\n"
          "quantiles of the distinct x otherwise; 0 (the default): a knot at every\n"
          "distinct x.")
      .method<"with_knots", &with_knots, "knots">("Use these interior knots instead.")
      .builder<"with_robust", &Smoother::robust, "robust">()
      .create();
}

PyTypeObject* smoothing_spline_class() {
  Class<SmoothingSpline> cls("SmoothingSpline", "A fitted smoothing spline.");
  return add_evaluation_surface(cls)
      .property<&spline_lam>("lam", "The smoothing parameter used.")
      .property<&edf>("edf", "Effective degrees of freedom of the fit.")
      .property<&gcv>("gcv", "Generalised cross-validation score n RSS / (n - edf)².")
      .property<&spline_shape>("shape", "The shape the curve has (the one chosen for 'auto').")
      .property<&active_constraints>(
          "active_constraints", "Shape bounds met with equality (flat or straight stretches).")
      .property<&spline_knots>("knots", "The knots, ends included.")
      .property<&is_shape_preserving>(
          "is_shape_preserving",
          "Whether the knot values and second derivatives have the fitted shape.")
      .picklable<&state::save<SmoothingSpline>, &state::load<SmoothingSpline>>()
      .create();
}

}  // namespace

Classes smoothing_classes() {
  static constexpr Registration classes[] = {
      {"Smoother", &smoother_class},
      {"SmoothingSpline", &smoothing_spline_class},
  };
  return classes;
}

}  // namespace velarix::py
