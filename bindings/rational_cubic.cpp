// RationalCubic and RationalCubicSpline.
#include "rational_cubic/rational_cubic.hpp"

#include "classes.hpp"
#include "module.hpp"
#include "spline_surface.hpp"
#include "state.hpp"

namespace velarix::py {
namespace {

using rational_cubic::RationalCubic;
using rational_cubic::RationalCubicSpline;

std::pair<double, double> shape(const RationalCubic& c) { return {c.u, c.v}; }
EndSlopes boundary(const RationalCubic& c) { return c.boundary; }
double convexity_margin(const RationalCubic& c) { return c.margin; }
double relaxation(const RationalCubic& c) { return c.relaxation; }
std::uint64_t max_iterations(const RationalCubic& c) { return c.max_iter; }

RationalCubic with_shape(RationalCubic c, double u, double v) {
  c.u = u;
  c.v = v;
  return c;
}
RationalCubic with_boundary(RationalCubic c, EndSlopes boundary) {
  c.boundary = boundary;
  return c;
}
RationalCubic with_convexity_margin(RationalCubic c, double margin) {
  c.margin = margin;
  return c;
}
RationalCubic with_relaxation(RationalCubic c, double relaxation) {
  c.relaxation = relaxation;
  return c;
}
RationalCubic with_max_iterations(RationalCubic c, std::uint64_t max_iterations) {
  c.max_iter = max_iterations;
  return c;
}

std::span<const double> tension_parameters(const RationalCubicSpline& s) { return s.w(); }
std::uint64_t iterations(const RationalCubicSpline& s) { return s.iterations(); }
bool is_concave(const RationalCubicSpline& s) { return s.concave(); }

}  // namespace

PyTypeObject* rational_cubic_class() {
  return Class<RationalCubic>(
             "RationalCubic",
             "RationalCubic()\n--\n\n"
             "Convexity/concavity-preserving C² rational cubic (Abbas–Majid–Ali). The\n"
             "data must be concave throughout or convex throughout.")
      .default_constructible()
      .picklable<&state::save<RationalCubic>, &state::load<RationalCubic>>()
      .value_comparison()
      .property<&shape>("shape")
      .property<&boundary>("boundary")
      .property<&convexity_margin>("convexity_margin")
      .property<&relaxation>("relaxation")
      .property<&max_iterations>("max_iterations")
      .method<"fit", &fit<RationalCubic>, "x", "y">()
      .method<"with_shape", &with_shape, "u", "v">()
      .method<"with_boundary", &with_boundary, "boundary">()
      .method<"with_convexity_margin", &with_convexity_margin, "margin">()
      .method<"with_relaxation", &with_relaxation, "relaxation">()
      .method<"with_max_iterations", &with_max_iterations, "max_iterations">()
      .create();
}

PyTypeObject* rational_cubic_spline_class() {
  Class<RationalCubicSpline> cls(
      "RationalCubicSpline",
      "A fitted rational cubic: concave on concave data, convex on convex data.");
  return add_evaluation_surface(cls)
      .property<&tension_parameters>("tension_parameters",
                                     "The convexity parameter `w` chosen on each interval.")
      .property<&iterations>("iterations", "Fixed-point iterations the convexity solve used.")
      .property<&is_concave>("is_concave",
                             "Whether the data were concave, so the spline is concave, not "
                             "convex.")
      .picklable<&state::save<RationalCubicSpline>, &state::load<RationalCubicSpline>>()
      .create();
}

}  // namespace velarix::py
