// The class objects of the module, one function per class, each creating its
// class on the first call and returning the same object afterwards.
#pragma once

#include "python.hpp"

namespace velarix::py {

PyTypeObject* end_slopes_class();
PyTypeObject* rational_cubic_class();
PyTypeObject* rational_cubic_spline_class();
PyTypeObject* tension_class();
PyTypeObject* tension_spline_class();
PyTypeObject* variable_degree_class();
PyTypeObject* variable_degree_spline_class();

}  // namespace velarix::py
