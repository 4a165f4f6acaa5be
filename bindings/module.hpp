// How a binding file hands its classes to the module: each
// bindings/<method>.cpp defines one `<method>_classes()`, listed once in the
// module's class table (module.cpp).
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

}  // namespace velarix::py
