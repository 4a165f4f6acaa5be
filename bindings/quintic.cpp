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

std::span<const double> knots(const QuinticSpline& s) { return s.knots(); }
std::span<const double> breakpoints(const QuinticSpline& s) { return s.breakpoints(); }
std::uint64_t inserted(const QuinticSpline& s) { return s.inserted(); }
bool is_shape_preserving(const QuinticSpline& s) { return s.shape_preserved(); }

PyTypeObject* quintic_class() {
  return Class<Quintic>("Quintic",
                        "Quintic()\n--\n\n"
                        "Shape-preserving C² quintic: exactly constant on flat data, monotone on\n"
                        "monotone data, convex on convex data, and of order 5 on smooth data.\n"
                        "Inserts a knot where one quintic cannot keep an interval's bending.")
      .default_constructible()
      .picklable<&state::save<Quintic>, &state::load<Quintic>>()
      .value_comparison()
      .field<&Quintic::boundary>("boundary")
      .field<&Quintic::stencil>("stencil")
      .field<&Quintic::knot_insertion>("knot_insertion")
      .method<"fit", &fit<Quintic>, "x", "y">()
      .builder<"with_boundary", &Quintic::boundary, "boundary">()
      .builder<"with_stencil", &Quintic::stencil, "stencil">()
      .builder<"with_knot_insertion", &Quintic::knot_insertion, "knot_insertion">()
      .create();
}

PyTypeObject* quintic_spline_class() {
  Class<QuinticSpline> cls("QuinticSpline", "A fitted shape-preserving quintic spline.");
  return add_evaluation_surface(cls)
      .property<&knots>("knots", "The data's knots.")
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

Classes quintic_classes() {
  static constexpr Registration classes[] = {
      {"Quintic", &quintic_class},
      {"QuinticSpline", &quintic_spline_class},
  };
  return classes;
}

}  // namespace velarix::py
