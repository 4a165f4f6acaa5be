// How failures leave the binding: library errors become ValueError, broken
// invariants RuntimeError, exhausted memory MemoryError. No C++ exception
// ever crosses into the interpreter.
#pragma once

#include <exception>
#include <new>

#include "error.hpp"
#include "python.hpp"

namespace velarix::py {

// Raises ValueError carrying the error's message; returns nullptr. A
// Cancelled error keeps the pending exception of the interrupt instead.
PyObject* invalid(const Error& error);

// The core's cancellation hook (cancel.hpp), installed by the module: runs
// the interpreter's signal handlers, taking the interpreter lock only for
// that, and says whether one raised (Ctrl-C's KeyboardInterrupt, which is
// then pending on the calling thread).
bool interrupted();

// Attaches the note "while processing '<parameter>'" to the pending exception.
void note_parameter(const char* parameter);

// Sets the Python exception for the C++ exception being handled.
void raise_current_exception();

// Runs `body` (which returns a new reference or nullptr with an exception
// set), turning any C++ exception into its Python counterpart.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    raise_current_exception();
    return nullptr;
  }
}

}  // namespace velarix::py
