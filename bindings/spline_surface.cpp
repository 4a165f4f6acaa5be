#include "spline_surface.hpp"

namespace velarix::py {

PyObject* new_double_array(std::size_t count) {
  Ref name(PyUnicode_FromString("array"));
  if (!name) return nullptr;
  Ref module(PyImport_Import(name.get()));
  if (!module) return nullptr;
  Ref array_type(PyObject_GetAttrString(module.get(), "array"));
  if (!array_type) return nullptr;
  Ref one(PyObject_CallFunction(array_type.get(), "s[d]", "d", 0.0));
  if (!one) return nullptr;
  Ref times(PyLong_FromSize_t(count));
  if (!times) return nullptr;
  PyObject* result = PyNumber_Multiply(one.get(), times.get());
  if (result == nullptr && PyErr_ExceptionMatches(PyExc_MemoryError)) {
    // The array's own MemoryError carries no text: say what did not fit.
    PyErr_Clear();
    PyErr_Format(PyExc_MemoryError, "no memory for a result of %zu doubles (%zu bytes)", count,
                 count * sizeof(double));
  }
  return result;
}

std::string scalar_doc(const char* what) {
  return std::string("The spline's ") + what +
         " at x, a float.\n\n"
         "Outside the knots the value and every derivative are held at the nearest\n"
         "end; a NaN x gives NaN.\n\n"
         "Raises\n------\nTypeError\n    For an x that is not a real number.";
}

std::string batch_doc(const char* what) {
  return std::string("The spline's ") + what +
         " at each item of xs (a C-contiguous float64 buffer).\n\n"
         "Returns\n-------\nA new array('d') of the same length.\n\n"
         "Raises\n------\nValueError\n    For a buffer that is not C-contiguous.\n"
         "MemoryError\n    Where the result does not fit in memory, with its size.";
}

std::string batch_into_doc(const char* what) {
  return std::string("The spline's ") + what +
         " at each item of xs, written into out (which may be xs).\n\n"
         "Returns\n-------\nNone; nothing is written unless both buffers pass their checks.\n\n"
         "Raises\n------\nValueError\n    For buffers that are not C-contiguous float64, an "
         "out that is not\n    writable, or lengths that differ.";
}

PyObject* field_dict(std::span<const char* const> names, std::span<const double> values) {
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  for (std::size_t i = 0; i < names.size(); ++i) {
    Ref value(PyFloat_FromDouble(values[i]));
    if (!value || PyDict_SetItemString(dict.get(), names[i], value.get()) != 0) return nullptr;
  }
  return dict.release();
}

bool check_input(const Float64Buffer& xs) {
  if (xs.c_contiguous()) return true;
  PyErr_SetString(PyExc_ValueError, "xs must be a C-contiguous float64 buffer");
  return false;
}

bool check_output(const Float64Buffer& out, const Float64Buffer& xs) {
  if (!out.writable() || !out.c_contiguous()) {
    PyErr_SetString(PyExc_ValueError, "out must be a writable, C-contiguous float64 buffer");
    return false;
  }
  if (out.count() != xs.count()) {
    PyErr_Format(PyExc_ValueError, "out holds %zu values but xs holds %zu", out.count(),
                 xs.count());
    return false;
  }
  return true;
}

std::optional<Extrapolation> extrapolation_argument(const std::string& extrapolate) {
  if (const auto mode = extrapolation_named(extrapolate)) return mode;
  std::string names;
  for (const std::string_view name : extrapolation_names) {
    names += (names.empty() ? "'" : ", '") + std::string(name) + "'";
  }
  PyErr_Format(PyExc_ValueError, "extrapolate must be one of %s, got '%s'", names.c_str(),
               extrapolate.c_str());
  return std::nullopt;
}

bool check_order(int nu) {
  if (nu >= -highest_antiderivative && nu <= highest_derivative) return true;
  PyErr_Format(PyExc_ValueError,
               "nu must be -%d to -1 (the antiderivatives), 0, 1, 2 or %d, got %d",
               highest_antiderivative, highest_derivative, nu);
  return false;
}

}  // namespace velarix::py
