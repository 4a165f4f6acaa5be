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
      .property<&uniform_tension>("uniform_tension")
      .field<&Tension::boundary>("boundary")
      .field<&Tension::tol>("tolerance")
      .field<&Tension::max_iter>("max_iterations")
      .method<"fit", &fit<Tension>, "x", "y">()
      .method<"with_uniform_tension", &with_uniform_tension, "sigma">()
      .method<"with_strict_shape", &with_strict_shape>()
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

Classes tension_classes() {
  static constexpr Registration classes[] = {
      {"Tension", &tension_class},
      {"TensionSpline", &tension_spline_class},
  };
  return classes;
}

}  // namespace velarix::py
