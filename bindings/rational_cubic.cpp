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

std::string convexity_solver(const RationalCubic& c) {
  return std::string(rational_cubic::solver::method_name(c.solver));
}

// A new configuration, or ValueError for a name that is not a solver's.
PyObject* with_convexity_solver(RationalCubic c, std::string solver) {
  const std::optional<rational_cubic::solver::Method> method =
      rational_cubic::solver::method_named(solver);
  if (!method) {
    Ref name(PyUnicode_FromStringAndSize(solver.data(), static_cast<Py_ssize_t>(solver.size())));
    if (!name) return nullptr;
    PyErr_Format(PyExc_ValueError, "convexity solver must be \"sweep\" or \"newton\", got %R",
                 name.get());
    return nullptr;
  }
  c.solver = *method;
  return to_python(std::move(c));
}

// Newton steps with limited end slopes: converges where the sweeps crawl.
PyObject* interpolation_configuration() {
  RationalCubic c;
  c.boundary = EndSlopes::limited();
  c.solver = rational_cubic::solver::Method::newton;
  return to_python(std::move(c));
}

std::span<const double> tension_parameters(const RationalCubicSpline& s) { return s.w(); }
std::uint64_t iterations(const RationalCubicSpline& s) { return s.iterations(); }
bool is_concave(const RationalCubicSpline& s) { return s.concave(); }
bool is_shape_preserving(const RationalCubicSpline& s) { return s.is_shape_preserving(); }

PyTypeObject* rational_cubic_class() {
  return Class<RationalCubic>(
             "RationalCubic",
             "RationalCubic()\n--\n\n"
             "Convexity/concavity-preserving C² rational cubic (Abbas–Majid–Ali). The\n"
             "data must be concave throughout or convex throughout.")
      .default_constructible()
      .picklable<&state::save<RationalCubic>, &state::load<RationalCubic>>()
      .value_comparison()
      .property<&shape>("shape", "The shape parameters (u, v), a tuple of two floats.")
      .field<&RationalCubic::boundary>("boundary")
      .field<&RationalCubic::margin>("convexity_margin")
      .field<&RationalCubic::relaxation>("relaxation")
      .field<&RationalCubic::max_iter>("max_iterations")
      .property<&convexity_solver>(
          "convexity_solver",
          "How the convexity solve reaches its fixed point: \"sweep\" (the default), the\n"
          "relaxed sweeps alone, or \"newton\", Newton steps finished by the sweeps.")
      .method<"fit", &fit<RationalCubic>, "x", "y">(fit_doc)
      .method<"with_shape", &with_shape, "u", "v">(
          "A copy with the shape parameters u and v (both > 0) of every piece."
          "\n\nReturns\n-------\nA new configuration; this one is unchanged. The value is checked when\nthe copy fits (ValueError naming it).")
      .builder<"with_boundary", &RationalCubic::boundary, "boundary">()
      .builder<"with_convexity_margin", &RationalCubic::margin, "margin">()
      .builder<"with_relaxation", &RationalCubic::relaxation, "relaxation">()
      .builder<"with_max_iterations", &RationalCubic::max_iter, "max_iterations">()
      .method<"with_convexity_solver", &with_convexity_solver, "solver">(
          "A copy whose convexity solve is \"sweep\" (relaxed sweeps to a fixed point)\n"
          "or \"newton\" (Newton steps finished by the sweeps).\n\n"
          "Returns\n-------\nA new configuration; this one is unchanged.\n\n"
          "Raises\n------\nValueError\n    For any other solver name.")
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
      .property<&is_shape_preserving>(
          "is_shape_preserving",
          "Whether the curve is convex (concave) on every interval: False only when a\n"
          "clamped end slope lies on the wrong side of its end secant.")
      .picklable<&state::save<RationalCubicSpline>, &state::load<RationalCubicSpline>>()
      .create();
}

}  // namespace

Method rational_cubic_method() {
  static constexpr const char* ends[] = {"estimated", "limited", "clamped", "natural"};
  static constexpr const char* solvers[] = {"newton", "sweep"};
  static constexpr Option options[] = {
      {"convexity_solver", "with_convexity_solver", "str", solvers, "SOLVER",
       "how the convexity solve reaches its fixed point: 'newton' (default) or 'sweep'"},
  };
  static constexpr const char* promises[] = {"convex"};
  return {"rational_cubic",
          {"RationalCubic", &rational_cubic_class},
          {"RationalCubicSpline", &rational_cubic_spline_class},
          ends,
          options,
          &interpolation_configuration,
          "data convex throughout or concave throughout; convex (concave) everywhere",
          promises,
          "tab:purple"};
}

}  // namespace velarix::py
