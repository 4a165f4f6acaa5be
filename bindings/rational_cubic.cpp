// RationalCubic and RationalCubicSpline.
#include "rational_cubic/rational_cubic.hpp"

#include "classes.hpp"
#include "module.hpp"
#include "spline_surface.hpp"
#include "rational_cubic/state.hpp"

namespace velarix::py {
namespace {

using rational_cubic::RationalCubic;
using rational_cubic::RationalCubicSpline;

std::pair<double, double> shape(const RationalCubic& c) { return {c.u, c.v}; }

RationalCubic with_shape(RationalCubic c, double u, double v) {
  c.u = u;
  c.v = v;
  return c;
}

std::span<const double> tension_parameters(const RationalCubicSpline& s) { return s.w(); }
std::uint64_t iterations(const RationalCubicSpline& s) { return s.iterations(); }
bool is_concave(const RationalCubicSpline& s) { return s.concave(); }

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
      .field<&RationalCubic::boundary>("boundary")
      .field<&RationalCubic::margin>("convexity_margin")
      .field<&RationalCubic::relaxation>("relaxation")
      .field<&RationalCubic::max_iter>("max_iterations")
      .method<"fit", &fit<RationalCubic>, "x", "y">()
      .method<"with_shape", &with_shape, "u", "v">()
      .builder<"with_boundary", &RationalCubic::boundary, "boundary">()
      .builder<"with_convexity_margin", &RationalCubic::margin, "margin">()
      .builder<"with_relaxation", &RationalCubic::relaxation, "relaxation">()
      .builder<"with_max_iterations", &RationalCubic::max_iter, "max_iterations">()
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

}  // namespace

Classes rational_cubic_classes() {
  static constexpr Registration classes[] = {
      {"RationalCubic", &rational_cubic_class},
      {"RationalCubicSpline", &rational_cubic_spline_class},
  };
  return classes;
}

}  // namespace velarix::py
