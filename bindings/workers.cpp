// The threads of the fits started on the calling thread, as module
// functions for the package's set_workers and get_workers:
//
//   fit_workers()     -> the setting (0: one per core)
//   set_fit_workers(n) -> the previous setting
#include "parallel.hpp"
#include "python.hpp"

namespace velarix::py {

PyObject* fit_workers(PyObject*, PyObject*) { return PyLong_FromSize_t(parallel::workers()); }

PyObject* set_fit_workers(PyObject*, PyObject* count) {
  const std::size_t threads = PyLong_AsSize_t(count);
  if (threads == static_cast<std::size_t>(-1) && PyErr_Occurred()) return nullptr;
  return PyLong_FromSize_t(parallel::set_workers(threads));
}

}  // namespace velarix::py
