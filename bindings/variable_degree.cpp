// VariableDegree and VariableDegreeSpline.
#include "variable_degree/variable_degree.hpp"

#include "classes.hpp"
#include "module.hpp"
#include "spline_surface.hpp"

namespace velarix::py {
namespace {

using variable_degree::VariableDegree;
using variable_degree::VariableDegreeSpline;

EndSlopes boundary(const VariableDegree& c) { return c.boundary; }
double max_degree(const VariableDegree& c) { return c.max_degree; }
std::uint64_t max_iterations(const VariableDegree& c) { return c.max_iter; }

VariableDegree with_boundary(VariableDegree c, EndSlopes boundary) {
  c.boundary = boundary;
  return c;
}
VariableDegree with_max_degree(VariableDegree c, double max_degree) {
  c.max_degree = max_degree;
  return c;
}
VariableDegree with_max_iterations(VariableDegree c, std::uint64_t max_iterations) {
  c.max_iter = max_iterations;
  return c;
}

std::span<const double> degrees(const VariableDegreeSpline& s) { return s.degrees(); }
bool is_shape_preserving(const VariableDegreeSpline& s) { return s.shape_preserved(); }
std::uint64_t iterations(const VariableDegreeSpline& s) { return s.iterations(); }

}  // namespace

PyTypeObject* variable_degree_class() {
  return Class<VariableDegree>("VariableDegree",
                               "VariableDegree()\n--\n\n"
                               "Co-convex C² variable-degree polynomial spline (Kaklis–Pandelis /\n"
                               "Costantini). Accepts data with inflections.")
      .default_constructible()
      .value_comparison()
      .property<&boundary>("boundary")
      .property<&max_degree>("max_degree")
      .property<&max_iterations>("max_iterations")
      .method<"fit", &fit<VariableDegree>, "x", "y">()
      .method<"with_boundary", &with_boundary, "boundary">()
      .method<"with_max_degree", &with_max_degree, "max_degree">()
      .method<"with_max_iterations", &with_max_iterations, "max_iterations">()
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
      .create();
}

}  // namespace velarix::py
