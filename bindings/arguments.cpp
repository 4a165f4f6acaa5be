#include "arguments.hpp"

#include <cstring>
#include <string>
#include <vector>

namespace velarix::py {
namespace {

std::string qualified(const Callable& callable) {
  return std::string(callable.class_name) + "." + callable.method_name + "()";
}

bool too_many(const Callable& callable, std::size_t expected, Py_ssize_t given) {
  const std::string name = qualified(callable);
  if (expected == 0) {
    PyErr_Format(PyExc_TypeError, "%s takes no arguments (%zd given)", name.c_str(), given);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional argument%s but %zd %s given",
                 name.c_str(), expected, expected == 1 ? "" : "s", given,
                 given == 1 ? "was" : "were");
  }
  return false;
}

// Places one keyword argument; `key` must be a str.
bool place_keyword(const Callable& callable, std::span<const char* const> names,
                   PyObject* key, PyObject* value, std::span<PyObject*> slots) {
  if (!PyUnicode_Check(key)) {
    PyErr_SetString(PyExc_TypeError, "keywords must be strings");
    return false;
  }
  const char* text = PyUnicode_AsUTF8AndSize(key, nullptr);
  if (text == nullptr) return false;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (std::strcmp(text, names[i]) != 0) continue;
    if (slots[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                   qualified(callable).c_str(), names[i]);
      return false;
    }
    slots[i] = value;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%s'",
               qualified(callable).c_str(), text);
  return false;
}

// The interpreter's own wording: every missing parameter, in order, as in
// "f() missing 2 required positional arguments: 'x' and 'y'".
bool all_present(const Callable& callable, std::span<const char* const> names,
                 std::span<PyObject*> slots) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (slots[i] == nullptr) missing.push_back(names[i]);
  }
  if (missing.empty()) return true;
  std::string listed;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) {
      const bool last = i + 1 == missing.size();
      listed += missing.size() == 2 ? " and " : (last ? ", and " : ", ");
    }
    listed += std::string("'") + missing[i] + "'";
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s",
               qualified(callable).c_str(), missing.size(), missing.size() == 1 ? "" : "s",
               listed.c_str());
  return false;
}

}  // namespace

bool bind_arguments(const Callable& callable, std::span<const char* const> names,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> slots) {
  if (static_cast<std::size_t>(nargs) > names.size()) {
    return too_many(callable, names.size(), nargs);
  }
  for (std::size_t i = 0; i < names.size(); ++i) {
    slots[i] = static_cast<Py_ssize_t>(i) < nargs ? args[i] : nullptr;
  }
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k) {
      if (!place_keyword(callable, names, PyTuple_GetItem(kwnames, k), args[nargs + k],
                         slots)) {
        return false;
      }
    }
  }
  return all_present(callable, names, slots);
}

bool bind_arguments(const Callable& callable, std::span<const char* const> names,
                    PyObject* args, PyObject* kwargs, std::span<PyObject*> slots) {
  const Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs < 0) return false;
  if (static_cast<std::size_t>(nargs) > names.size()) {
    return too_many(callable, names.size(), nargs);
  }
  for (std::size_t i = 0; i < names.size(); ++i) {
    slots[i] = static_cast<Py_ssize_t>(i) < nargs
                   ? PyTuple_GetItem(args, static_cast<Py_ssize_t>(i))
                   : nullptr;
  }
  if (kwargs != nullptr) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t position = 0;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      if (!place_keyword(callable, names, key, value, slots)) return false;
    }
  }
  return all_present(callable, names, slots);
}

}  // namespace velarix::py
