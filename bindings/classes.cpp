#include "classes.hpp"

namespace velarix::py {

const char* keep(std::string text) {
  // A deque never moves its elements, so the pointers stay valid.
  static std::deque<std::string> texts;
  return texts.emplace_back(std::move(text)).c_str();
}

std::string field_doc(const char* name) {
  return std::string("The configuration's `") + name +
         "` setting (read-only; a `with_` builder returns a copy with another).";
}

std::string builder_doc(const char* param) {
  return std::string("A copy of this configuration with `") + param +
         "` replaced.\n\nReturns\n-------\nA new configuration of the same class; this one is "
         "unchanged.\n\nRaises\n------\nTypeError\n    For a value of the wrong type. A value "
         "out of range is refused with a\n    ValueError naming the setting when the copy "
         "fits.";
}

std::string signature_doc(const char* name, bool is_static,
                          std::span<const char* const> params, const char* doc) {
  std::string text = std::string(name) + "(";
  bool first = true;
  if (!is_static) {
    text += "$self";
    first = false;
  }
  for (const char* param : params) {
    if (!first) text += ", ";
    text += param;
    first = false;
  }
  text += ")\n--\n\n";
  if (doc != nullptr) text += doc;
  return text;
}

PyObject* to_python(std::span<const double> values) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = PyFloat_FromDouble(values[i]);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list.release();
}

}  // namespace velarix::py
