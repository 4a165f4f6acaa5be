// Quintic and QuinticSpline.
#include "quintic/quintic.hpp"

#include "classes.hpp"
#include "module.hpp"
#include "quintic/state.hpp"
#include "spline_surface.hpp"

namespace velarix::py {
namespace {

using quintic::Quintic;
using quintic::QuinticSpline;

// Knots in the caller's units (a fit of extreme data keeps them scaled).
PyObject* unscaled(const QuinticSpline& s, std::span<const double> knots) {
  const Scale& scale = s.curve().scale();
  if (scale.identity()) return to_python(knots);
  Doubles out(knots.size());
  for (std::size_t i = 0; i < knots.size(); ++i) out[i] = scale.x_out(knots[i]);
  return to_python(std::span<const double>(out));
}
PyObject* knots(const QuinticSpline& s) { return unscaled(s, s.knots()); }
PyObject* breakpoints(const QuinticSpline& s) { return unscaled(s, s.breakpoints()); }
std::uint64_t inserted(const QuinticSpline& s) { return s.inserted(); }
bool is_shape_preserving(const QuinticSpline& s) { return s.shape_preserved(); }

// The defaults: limited end slopes, the 5-point stencil, knots inserted.
PyObject* interpolation_configuration() { return to_python(Quintic{}); }

PyTypeObject* quintic_class() {
  return Class<Quintic>("Quintic",
                        "Quintic()\n--\n\n"
                        "Shape-preserving C² quintic: exactly constant on flat data, monotone on\n"
                        "monotone data, convex on convex data, and of order 5 on smooth data.\n"
                        "Inserts a knot where one quintic cannot keep an interval's bending.\n"
                        "Ends: limited (default), estimated, clamped, natural (S'' = 0) or\n"
                        "periodic (y[0] == y[-1]; C² across the wrap).")
      .default_constructible()
      .picklable<&state::save<Quintic>, &state::load<Quintic>>()
      .value_comparison()
      .field<&Quintic::boundary>("boundary")
      .field<&Quintic::stencil>("stencil")
      .field<&Quintic::knot_insertion>("knot_insertion")
      .method<"fit", &fit<Quintic>, "x", "y">(fit_doc)
      .builder<"with_boundary", &Quintic::boundary, "boundary">()
      .builder<"with_stencil", &Quintic::stencil, "stencil">()
      .builder<"with_knot_insertion", &Quintic::knot_insertion, "knot_insertion">()
      .create();
}

PyTypeObject* quintic_spline_class() {
  Class<QuinticSpline> cls("QuinticSpline", "A fitted shape-preserving quintic spline.");
  return add_evaluation_surface(cls)
      .property<&knots>("knots", "The data's knots, a list (the inserted ones are in `breakpoints`).")
      .property<&breakpoints>("breakpoints",
                              "The knots between the pieces: the data's and the inserted ones.")
      .property<&inserted>("inserted", "The number of knots the fit inserted.")
      .property<&is_shape_preserving>(
          "is_shape_preserving",
          "Whether every piece keeps its data's shape: exactly constant on flat data,\n"
          "monotone where the data are, convex or concave where they are (False where a\n"
          "convex interval was kept monotone only, or the end slopes given break a shape).")
      .picklable<&state::save<QuinticSpline>, &state::load<QuinticSpline>>()
      .create();
}

}  // namespace

Method quintic_method() {
  static constexpr const char* ends[] = {"limited", "estimated", "clamped", "natural", "periodic"};
  static constexpr const char* stencils[] = {"3", "5", "7"};
  static constexpr const char* switches[] = {"yes", "no"};
  static constexpr Option options[] = {
      {"stencil", "with_stencil", "int", stencils, "N",
       "points of the slope and curvature estimates at each knot (default 5: order 5)"},
      {"knot_insertion", "with_knot_insertion", "bool", switches, "YES_NO",
       "insert a knot where one quintic cannot keep an interval convex (default yes)"},
  };
  static constexpr const char* promises[] = {"monotone", "convex", "flat"};
  return {"quintic",
          {"Quintic", &quintic_class},
          {"QuinticSpline", &quintic_spline_class},
          ends,
          options,
          &interpolation_configuration,
          "any data; exactly flat, monotone and convex where the data are, order 5 on smooth "
          "data",
          promises,
          "tab:brown",
          true};
}

}  // namespace velarix::py
