// Argument lists: every parameter is required and may be given by position or
// by keyword; nothing else is accepted.
#pragma once

#include <cstddef>
#include <span>

#include "python.hpp"

namespace velarix::py {

// The callable as its errors name it: "RationalCubic.fit()".
struct Callable {
  const char* class_name;
  const char* method_name;
};

// Fills `slots` (borrowed references, one per name) from a vectorcall
// argument list. Returns false with TypeError set on a missing, surplus,
// unknown or repeated argument.
bool bind_arguments(const Callable& callable, std::span<const char* const> names,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> slots);

// The same for a tuple and a keyword dictionary (the call protocol).
bool bind_arguments(const Callable& callable, std::span<const char* const> names,
                    PyObject* args, PyObject* kwargs, std::span<PyObject*> slots);

}  // namespace velarix::py
