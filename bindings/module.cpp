// _velarix: shape-preserving C² interpolating splines.
//
// Importing the module registers nine immutable classes, in this order:
// EndSlopes; RationalCubic and RationalCubicSpline; Tension and
// TensionSpline; VariableDegree and VariableDegreeSpline; Smoother and
// SmoothingSpline. A configuration class (RationalCubic(), Tension(),
// VariableDegree(), Smoother()) holds a method's settings, refined by
// builders that return new objects; its fit(x, y) returns the matching
// fitted-spline class. The module has no functions and
// no state besides its class objects.
#include "module.hpp"

namespace velarix::py {

// Each binding file's classes (bindings/<name>.cpp).
Classes end_slopes_classes();
Classes rational_cubic_classes();
Classes tension_classes();
Classes variable_degree_classes();
Classes smoothing_classes();

namespace {

// The module's class table, the one list of its classes: registered in this
// order, file by file, each file's classes in its own order.
constexpr Classes (*const class_table[])() = {
    &end_slopes_classes,
    &rational_cubic_classes,
    &tension_classes,
    &variable_degree_classes,
    &smoothing_classes,
};

// Appends `name` to the module's __all__ (created when missing) and sets the
// attribute of that name to the class.
int add_class(PyObject* module, const Registration& registration) {
  PyObject* type = reinterpret_cast<PyObject*>(registration.create());
  if (type == nullptr) return -1;
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = Ref(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return -1;
  }
  Ref name(PyUnicode_FromString(registration.name));
  if (!name || PyList_Append(all.get(), name.get()) != 0) return -1;
  return PyObject_SetAttrString(module, registration.name, type);
}

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "module execution expects a module object");
    return -1;
  }
  for (const auto classes : class_table) {
    for (const Registration& registration : classes()) {
      if (add_class(module, registration) != 0) return -1;
    }
  }
  return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "_velarix", "", 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace velarix::py

PyMODINIT_FUNC PyInit__velarix() { return PyModuleDef_Init(&velarix::py::definition); }
