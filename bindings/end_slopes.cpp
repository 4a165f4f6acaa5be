// EndSlopes: how a configuration sets the end derivatives of its spline.
#include "boundary.hpp"
#include "classes.hpp"
#include "module.hpp"
#include "state.hpp"

namespace velarix::py {
namespace {

EndSlopes estimated() { return EndSlopes::estimated(); }
EndSlopes clamped(double left, double right) { return EndSlopes::clamped(left, right); }
EndSlopes limited() { return EndSlopes::limited(); }
EndSlopes natural() { return EndSlopes::natural(); }
EndSlopes periodic() { return EndSlopes::periodic(); }

PyTypeObject* end_slopes_class() {
  return Class<EndSlopes>("EndSlopes",
                          "How the end slopes `S'(x₀)` and `S'(xₙ)` are set: "
                          "`EndSlopes.estimated()`\n"
                          "(the default), `EndSlopes.limited()` or `EndSlopes.clamped(left, right)`;\n"
                          "or the conditions that replace them: `EndSlopes.natural()` (`S″ = 0` at\n"
                          "both ends) and `EndSlopes.periodic()` (a spline that continues across the\n"
                          "period `xₙ − x₀`).")
      .static_method<"estimated", &estimated>(
          "Let the fitting method estimate the end slopes from the data.")
      .static_method<"clamped", &clamped, "left", "right">(
          "Use the given slopes at the two ends.")
      .static_method<"limited", &limited>(
          "Let the fitting method estimate the end slopes from the data, then limit them\n"
          "so that the end intervals keep the data's shape.")
      .static_method<"natural", &natural>(
          "Free ends: `S″(x₀) = S″(xₙ) = 0`, the end slopes following from the fit.")
      .static_method<"periodic", &periodic>(
          "Periodic ends: `S`, `S′` and `S″` agree at `x₀` and `xₙ`, so that the spline\n"
          "continues across the period `xₙ − x₀`. The data must have `y[0] == y[-1]`.")
      .picklable<&state::save<EndSlopes>, &state::load<EndSlopes>>()
      .value_comparison()
      .create();
}

}  // namespace

Classes end_slopes_classes() {
  static constexpr Registration classes[] = {
      {"EndSlopes", &end_slopes_class},
  };
  return classes;
}

}  // namespace velarix::py
