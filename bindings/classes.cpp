#include "classes.hpp"

namespace velarix::py {

const char* keep(std::string text) {
  // A deque never moves its elements, so the pointers stay valid.
  static std::deque<std::string> texts;
  return texts.emplace_back(std::move(text)).c_str();
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
