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

PyTypeObject* end_slopes_class() {
  return Class<EndSlopes>("EndSlopes",
                          "How the end slopes `S'(x₀)` and `S'(xₙ)` are set: "
                          "`EndSlopes.estimated()`\n"
                          "(the default) or `EndSlopes.clamped(left, right)`.")
      .static_method<"estimated", &estimated>(
          "Let the fitting method estimate the end slopes from the data.")
      .static_method<"clamped", &clamped, "left", "right">(
          "Use the given slopes at the two ends.")
      .static_method<"limited", &limited>(
          "Let the fitting method estimate the end slopes from the data, then limit them\n"
          "so that the end intervals keep the data's shape.")
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
