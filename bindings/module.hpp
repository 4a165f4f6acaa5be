// How a binding file hands its classes to the module. Each
// bindings/<method>.cpp defines one `<method>_method()`, the method's record,
// listed once in the module's method table (module.cpp); the module exports
// the records as `_velarix.methods`, which every layer above reads.
#pragma once

#include <span>

#include "python.hpp"

namespace velarix::py {

// A class of the module: its name in the module and the function that
// creates its class object on the first call and returns the same object
// afterwards.
struct Registration {
  const char* name;
  PyTypeObject* (*create)();
};

using Classes = std::span<const Registration>;

// A setting of a method that the command offers as an option: the builder of
// the configuration that applies it, the type of the value the builder takes
// ("float", "int", "bool" or "str"), and the values allowed, when they are
// few, as the command spells them.
struct Option {
  const char* name;  // snake case; the command's flag is --name with hyphens
  const char* builder;
  const char* type;
  std::span<const char* const> choices;
  const char* metavar;
  const char* help;
};

// Everything the layers above the classes need to know about a method.
struct Method {
  const char* name;  // snake case, as its line in methods.hpp names it
  Registration configuration;
  Registration spline;
  // The end conditions its configurations accept, as the names of the
  // EndSlopes constructors.
  std::span<const char* const> end_conditions;
  std::span<const Option> options;
  // The configuration velarix.interpolate and the command use by default, as
  // a new reference (nullptr with the exception set on failure).
  PyObject* (*interpolation_configuration)();
  const char* summary;  // one line: what the method promises
  // The shape requirements the method's verdict (is_shape_preserving)
  // checks, among "monotone", "convex", "flat" and "overshoot", where the
  // data have them; the command names the one a fit misses.
  std::span<const char* const> promises;
  // The colour its curves are drawn in, a Matplotlib colour name, so that a
  // method keeps its colour on every figure.
  const char* colour;
  // Whether a fit of long data splits its passes over the threads that
  // velarix.get_workers() gives (a benchmark times such fits in elapsed
  // time too).
  bool threaded_fit = false;
};

}  // namespace velarix::py
