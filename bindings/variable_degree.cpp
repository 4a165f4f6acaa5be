// VariableDegree and VariableDegreeSpline.
#include "variable_degree/variable_degree.hpp"

#include "classes.hpp"
#include "module.hpp"
#include "spline_surface.hpp"
#include "variable_degree/state.hpp"

namespace velarix::py {
namespace {

using variable_degree::VariableDegree;
using variable_degree::VariableDegreeSpline;

// Limited end slopes keep the end intervals inside the data's shape.
PyObject* interpolation_configuration() {
  VariableDegree c;
  c.boundary = EndSlopes::limited();
  return to_python(std::move(c));
}

std::span<const double> degrees(const VariableDegreeSpline& s) { return s.degrees(); }
bool is_shape_preserving(const VariableDegreeSpline& s) { return s.shape_preserved(); }
std::uint64_t iterations(const VariableDegreeSpline& s) { return s.iterations(); }

PyTypeObject* variable_degree_class() {
  return Class<VariableDegree>("VariableDegree",
                               "VariableDegree()\n--\n\n"
                               "Co-convex C² variable-degree polynomial spline (Kaklis–Pandelis /\n"
                               "Costantini). Accepts data with inflections.")
      .default_constructible()
      .picklable<&state::save<VariableDegree>, &state::load<VariableDegree>>()
      .value_comparison()
      .field<&VariableDegree::boundary>("boundary")
      .field<&VariableDegree::max_degree>("max_degree")
      .field<&VariableDegree::max_iter>("max_iterations")
      .method<"fit", &fit<VariableDegree>, "x", "y">(fit_doc)
      .builder<"with_boundary", &VariableDegree::boundary, "boundary">()
      .builder<"with_max_degree", &VariableDegree::max_degree, "max_degree">()
      .builder<"with_max_iterations", &VariableDegree::max_iter, "max_iterations">()
      .create();
}

PyTypeObject* variable_degree_spline_class() {
  Class<VariableDegreeSpline> cls("VariableDegreeSpline",
                                  "A fitted variable-degree polynomial spline.");
  return add_evaluation_surface(cls)
      .property<&degrees>("degrees", "The polynomial degree used on each interval.")
      .property<&is_shape_preserving>(
          "is_shape_preserving",
          "False if the degree cap was reached before every curvature sign matched.")
      .property<&iterations>("iterations", "Degree-raising passes the fit performed.")
      .picklable<&state::save<VariableDegreeSpline>, &state::load<VariableDegreeSpline>>()
      .create();
}

}  // namespace

Method variable_degree_method() {
  static constexpr const char* ends[] = {"estimated", "limited", "clamped", "natural", "periodic"};
  static constexpr Option options[] = {
      {"max_degree", "with_max_degree", "float", {}, "D",
       "degree cap (default 50; inf for no cap)"},
  };
  static constexpr const char* promises[] = {"convex", "flat"};
  return {"variable_degree",
          {"VariableDegree", &variable_degree_class},
          {"VariableDegreeSpline", &variable_degree_spline_class},
          ends,
          options,
          &interpolation_configuration,
          "inflections allowed; each interval's curvature sign follows the data (co-convex, "
          "not co-monotone)",
          promises,
          "tab:green"};
}

}  // namespace velarix::py
