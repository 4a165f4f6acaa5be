// Tension and TensionSpline.
#include "tension/tension.hpp"

#include "classes.hpp"
#include "module.hpp"
#include "spline_surface.hpp"
#include "state.hpp"

namespace velarix::py {
namespace {

using tension::Policy;
using tension::Tension;
using tension::TensionSpline;

std::optional<double> uniform_tension(const Tension& c) {
  if (const Policy::Uniform* uniform = c.policy.uniform_tension()) return uniform->sigma;
  return std::nullopt;
}
EndSlopes boundary(const Tension& c) { return c.boundary; }
double tolerance(const Tension& c) { return c.tol; }
std::uint64_t max_iterations(const Tension& c) { return c.max_iter; }

Tension with_uniform_tension(Tension c, double sigma) {
  c.policy = Policy::uniform(sigma);
  return c;
}
Tension with_boundary(Tension c, EndSlopes boundary) {
  c.boundary = boundary;
  return c;
}
Tension with_tolerance(Tension c, double tolerance) {
  c.tol = tolerance;
  return c;
}
Tension with_max_iterations(Tension c, std::uint64_t max_iterations) {
  c.max_iter = max_iterations;
  return c;
}

std::span<const double> tensions(const TensionSpline& s) { return s.tensions(); }
std::uint64_t iterations(const TensionSpline& s) { return s.iterations(); }

}  // namespace

PyTypeObject* tension_class() {
  return Class<Tension>("Tension",
                        "Tension()\n--\n\n"
                        "Exponential tension spline (Renka, TSPACK). Shape-preserving by default;\n"
                        "`with_uniform_tension` fixes one factor on every interval instead.")
      .default_constructible()
      .picklable<&state::save<Tension>, &state::load<Tension>>()
      .value_comparison()
      .property<&uniform_tension>("uniform_tension")
      .property<&boundary>("boundary")
      .property<&tolerance>("tolerance")
      .property<&max_iterations>("max_iterations")
      .method<"fit", &fit<Tension>, "x", "y">()
      .method<"with_uniform_tension", &with_uniform_tension, "sigma">()
      .method<"with_boundary", &with_boundary, "boundary">()
      .method<"with_tolerance", &with_tolerance, "tolerance">()
      .method<"with_max_iterations", &with_max_iterations, "max_iterations">()
      .create();
}

PyTypeObject* tension_spline_class() {
  Class<TensionSpline> cls("TensionSpline", "A fitted tension spline.");
  return add_evaluation_surface(cls)
      .property<&tensions>("tensions", "The tension factor used on each interval.")
      .property<&iterations>("iterations",
                             "Shape-preserving iterations performed (0 for uniform tension).")
      .picklable<&state::save<TensionSpline>, &state::load<TensionSpline>>()
      .create();
}

}  // namespace velarix::py
