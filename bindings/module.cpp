// _velarix: shape-preserving C² interpolating splines.
//
// Importing the module registers immutable classes, in this order:
// EndSlopes, then per method of the method table its configuration and its
// spline (RationalCubic and RationalCubicSpline; Tension and TensionSpline;
// VariableDegree and VariableDegreeSpline; ...), then the smoother's
// Smoother and SmoothingSpline, and the table of several variables'
// GridSurface. A configuration class (RationalCubic(),
// Tension(), VariableDegree(), Smoother()) holds a method's settings, refined
// by builders that return new objects; its fit(x, y) returns the matching
// fitted-spline class. The smoother does not interpolate, so it has classes
// but no method record. `methods` describes each method
// (read-only records: its name, classes, end conditions, options and the
// configuration the NumPy layer uses). Its two functions, knot_refusal(x)
// and value_refusal(y), are the core's check of a data set for the NumPy
// layer (bindings/samples.cpp). The module has no state besides its class
// objects and those records.
#include "module.hpp"
#include "repeated.hpp"

#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <span>
#include <utility>

#include "cancel.hpp"
#include "errors.hpp"
#include "extrapolation.hpp"
#include "interpolator.hpp"
#include "methods.hpp"

namespace velarix::py {

// The shared classes (bindings/end_slopes.cpp), the smoother's classes
// (bindings/smoothing.cpp) and each method's record (bindings/<method>.cpp),
// for every method of the library's list.
Classes end_slopes_classes();
Classes smoothing_classes();
Classes grid_classes();  // bindings/grid.cpp
extern PyMethodDef module_functions[];  // bindings/samples.cpp
#define VELARIX_DECLARE(name, configuration_kind, spline_kind, Configuration) Method name##_method();
VELARIX_METHODS(VELARIX_DECLARE)
#undef VELARIX_DECLARE

namespace {

// The module's method table, in the library's order. The classes are
// registered in this order: the shared ones, then per method its
// configuration and its spline.
#define VELARIX_ENTRY(name, configuration_kind, spline_kind, Configuration) &name##_method,
constexpr Method (*const method_table[])() = {VELARIX_METHODS(VELARIX_ENTRY)};
#undef VELARIX_ENTRY

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

PyObject* strings(std::span<const char* const> texts) {
  Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(texts.size())));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    PyObject* text = PyUnicode_FromString(texts[i]);
    if (text == nullptr) return nullptr;
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), text);
  }
  return tuple.release();
}

// A read-only mapping of the given keys to new references (nullptr entries
// mean a failure, already set).
PyObject* record(std::initializer_list<std::pair<const char*, PyObject*>> items) {
  Ref dict(PyDict_New());
  bool failed = !dict;
  for (const auto& [key, value] : items) {
    Ref owned(value);
    failed = failed || !owned || PyDict_SetItemString(dict.get(), key, value) != 0;
  }
  return failed ? nullptr : PyDictProxy_New(dict.get());
}

PyObject* type_object(const Registration& registration) {
  PyObject* type = reinterpret_cast<PyObject*>(registration.create());
  Py_XINCREF(type);
  return type;
}

PyObject* option_records(std::span<const Option> options) {
  Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(options.size())));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < options.size(); ++i) {
    const Option& o = options[i];
    PyObject* item = record({{"name", PyUnicode_FromString(o.name)},
                             {"builder", PyUnicode_FromString(o.builder)},
                             {"type", PyUnicode_FromString(o.type)},
                             {"choices", strings(o.choices)},
                             {"metavar", PyUnicode_FromString(o.metavar)},
                             {"help", PyUnicode_FromString(o.help)}});
    if (item == nullptr) return nullptr;
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item);
  }
  return tuple.release();
}

PyObject* method_record(const Method& m) {
  return record({{"name", PyUnicode_FromString(m.name)},
                 {"configuration", type_object(m.configuration)},
                 {"spline", type_object(m.spline)},
                 {"end_conditions", strings(m.end_conditions)},
                 {"options", option_records(m.options)},
                 {"interpolation_configuration", m.interpolation_configuration()},
                 {"summary", PyUnicode_FromString(m.summary)},
                 {"promises", strings(m.promises)},
                 {"colour", PyUnicode_FromString(m.colour)},
                 {"threaded_fit", PyBool_FromLong(m.threaded_fit ? 1 : 0)}});
}

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "module execution expects a module object");
    return -1;
  }
  for (const Registration& registration : end_slopes_classes()) {
    if (add_class(module, registration) != 0) return -1;
  }
  constexpr std::size_t count = std::size(method_table);
  Ref methods(PyTuple_New(static_cast<Py_ssize_t>(count)));
  if (!methods) return -1;
  for (std::size_t i = 0; i < count; ++i) {
    const Method m = method_table[i]();
    if (add_class(module, m.configuration) != 0 || add_class(module, m.spline) != 0) return -1;
    PyObject* item = method_record(m);
    if (item == nullptr) return -1;
    PyTuple_SetItem(methods.get(), static_cast<Py_ssize_t>(i), item);
  }
  for (const Registration& registration : smoothing_classes()) {
    if (add_class(module, registration) != 0) return -1;
  }
  for (const Registration& registration : grid_classes()) {
    if (add_class(module, registration) != 0) return -1;
  }
  cancel::install(&interrupted);
  // The deepest antiderivative the splines serve in closed form (evaluate's
  // nu down to its negative), which the NumPy layer's orders read.
  if (PyModule_AddIntConstant(module, "highest_antiderivative", highest_antiderivative) != 0) {
    return -1;
  }
  // The highest derivative they serve (nu up to it), for the same orders.
  if (PyModule_AddIntConstant(module, "highest_derivative", highest_derivative) != 0) return -1;
  // The extrapolation modes the NumPy layer offers, its one list of them.
  Ref modes(PyTuple_New(static_cast<Py_ssize_t>(offered_extrapolations.size())));
  if (!modes) return -1;
  for (std::size_t i = 0; i < offered_extrapolations.size(); ++i) {
    const std::string_view name = offered_extrapolations[i];
    PyObject* text = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    if (text == nullptr) return -1;
    PyTuple_SetItem(modes.get(), static_cast<Py_ssize_t>(i), text);
  }
  if (PyModule_AddObjectRef(module, "extrapolations", modes.get()) != 0) return -1;
  return PyModule_AddObjectRef(module, "methods", methods.get());
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "_velarix", "", 0, module_functions, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace velarix::py

PyMODINIT_FUNC PyInit__velarix() { return PyModuleDef_Init(&velarix::py::definition); }
