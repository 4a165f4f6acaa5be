#include "errors.hpp"

#include <string>
#include <variant>

namespace velarix::py {

PyObject* invalid(const Error& error) {
  // A stopped computation leaves the exception the interrupt raised (see
  // interrupted()), or raises KeyboardInterrupt if none is pending.
  if (std::holds_alternative<Cancelled>(error)) {
    if (PyErr_Occurred() == nullptr) PyErr_SetNone(PyExc_KeyboardInterrupt);
    return nullptr;
  }
  PyErr_SetString(PyExc_ValueError, message(error).c_str());
  return nullptr;
}

bool interrupted() {
  // The core's worker threads have no thread state: only the thread that
  // made the call asks (and only the main thread runs signal handlers).
  if (PyGILState_GetThisThreadState() == nullptr) return false;
  const PyGILState_STATE state = PyGILState_Ensure();
  const bool raised = PyErr_CheckSignals() != 0;
  PyGILState_Release(state);
  return raised;
}

void note_parameter(const char* parameter) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  const std::string note = std::string("while processing '") + parameter + "'";
  Ref result(value != nullptr ? PyObject_CallMethod(value, "add_note", "s", note.c_str())
                              : nullptr);
  if (!result) {
    // The note could not be added: keep the original exception, not the new one.
    PyErr_Clear();
  }
  PyErr_Restore(type, value, traceback);
}

void raise_current_exception() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_SetString(PyExc_MemoryError,
                    "no memory left for the work arrays of a fit or an evaluation");
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown internal error");
  }
}

}  // namespace velarix::py
