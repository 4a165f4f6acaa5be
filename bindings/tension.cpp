// Tension and TensionSpline.
#include "tension/tension.hpp"

#include "classes.hpp"
#include "module.hpp"
#include "spline_surface.hpp"
#include "tension/state.hpp"

namespace velarix::py {
namespace {

using tension::Policy;
using tension::Tension;
using tension::TensionSpline;

std::optional<double> uniform_tension(const Tension& c) {
  if (const Policy::Uniform* uniform = c.policy.uniform_tension()) return uniform->sigma;
  return std::nullopt;
}
Tension with_uniform_tension(Tension c, double sigma) {
  c.policy = Policy::uniform(sigma);
  return c;
}

Tension with_strict_shape(Tension c) {
  c.policy = Policy::strict();
  return c;
}

// The two policies that select their tensions, by name; ValueError for any
// other name.
PyObject* with_policy(Tension c, std::string name) {
  if (name == "strict") {
    c.policy = Policy::strict();
  } else if (name == "published") {
    c.policy = Policy::published();
  } else {
    Ref text(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    if (!text) return nullptr;
    PyErr_Format(PyExc_ValueError, "policy must be \"strict\" or \"published\", got %R",
                 text.get());
    return nullptr;
  }
  return to_python(std::move(c));
}

// The strict policy with limited end slopes: any data, the shape kept.
PyObject* interpolation_configuration() {
  Tension c;
  c.policy = Policy::strict();
  c.boundary = EndSlopes::limited();
  return to_python(std::move(c));
}

std::span<const double> tensions(const TensionSpline& s) { return s.tensions(); }
bool is_shape_preserving(const TensionSpline& s) { return s.is_shape_preserving(); }
std::uint64_t iterations(const TensionSpline& s) { return s.iterations(); }

PyTypeObject* tension_class() {
  return Class<Tension>("Tension",
                        "Tension()\n--\n\n"
                        "Exponential tension spline (Renka, TSPACK). Shape-preserving by default;\n"
                        "`with_uniform_tension` fixes one factor on every interval instead.")
      .default_constructible()
      .picklable<&state::save<Tension>, &state::load<Tension>>()
      .value_comparison()
      .property<&uniform_tension>(
          "uniform_tension",
          "The one tension of every interval, or None when a policy chooses them.")
      .field<&Tension::boundary>("boundary")
      .field<&Tension::tol>("tolerance")
      .field<&Tension::max_iter>("max_iterations")
      .method<"fit", &fit<Tension>, "x", "y">(fit_doc)
      .method<"with_uniform_tension", &with_uniform_tension, "sigma">(
          "A copy with the tension sigma (>= 0) on every interval instead of a policy:\n"
          "0 is the cubic spline with the method's end slopes, larger values pull the\n"
          "curve towards the polygon."
          "\n\nReturns\n-------\nA new configuration; this one is unchanged. The value is checked when\nthe copy fits (ValueError naming it).")
      .method<"with_strict_shape", &with_strict_shape>(
          "A copy with the strict policy and limited end slopes: tensions raised until\n"
          "every shape requirement of the data holds.\n\n"
          "Returns\n-------\nA new configuration; this one is unchanged.")
      .method<"with_policy", &with_policy, "policy">(
          "A copy that selects its tensions by the \"strict\" policy (until every shape\n"
          "requirement of the data holds) or the \"published\" one (the minimal-tension\n"
          "passes).")
      .builder<"with_boundary", &Tension::boundary, "boundary">()
      .builder<"with_tolerance", &Tension::tol, "tolerance">()
      .builder<"with_max_iterations", &Tension::max_iter, "max_iterations">()
      .create();
}

PyTypeObject* tension_spline_class() {
  Class<TensionSpline> cls("TensionSpline", "A fitted tension spline.");
  return add_evaluation_surface(cls)
      .property<&tensions>("tensions", "The tension factor used on each interval.")
      .property<&iterations>("iterations",
                             "Shape-preserving iterations performed (0 for uniform tension).")
      .property<&is_shape_preserving>(
          "is_shape_preserving",
          "Whether the curve keeps the data's shape: flat, monotone, convex or concave\n"
          "wherever the data are, and within a small overshoot beside data extrema.")
      .picklable<&state::save<TensionSpline>, &state::load<TensionSpline>>()
      .create();
}

}  // namespace

Method tension_method() {
  static constexpr const char* ends[] = {"estimated", "limited", "clamped", "natural", "periodic"};
  static constexpr const char* policies[] = {"strict", "published"};
  static constexpr Option options[] = {
      {"policy", "with_policy", "str", policies, "POLICY",
       "how the tensions are chosen: 'strict' (default) until every shape requirement of the "
       "data holds, 'published' by the original minimal-tension passes"},
      {"tension", "with_uniform_tension", "float", {}, "SIGMA",
       "one uniform tension on every interval instead of a policy (0 is the cubic spline)"},
  };
  static constexpr const char* promises[] = {"monotone", "convex", "flat", "overshoot"};
  return {"tension",
          {"Tension", &tension_class},
          {"TensionSpline", &tension_spline_class},
          ends,
          options,
          &interpolation_configuration,
          "any data; monotone, convex and flat where the data are (strict policy)",
          promises,
          "tab:blue"};
}

}  // namespace velarix::py
