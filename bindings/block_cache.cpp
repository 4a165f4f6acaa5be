// The cache of released large blocks (src/memory.hpp), as module functions
// for the package's set_cache_limit, get_cache_limit and cached_bytes:
//
//   block_cache_limit()          -> the limit in bytes
//   set_block_cache_limit(bytes) -> the previous limit
//   block_cache_bytes()          -> the bytes kept now
#include "memory.hpp"
#include "python.hpp"

namespace velarix::py {

PyObject* block_cache_limit(PyObject*, PyObject*) {
  return PyLong_FromSize_t(memory::cache_limit());
}

PyObject* set_block_cache_limit(PyObject*, PyObject* bytes) {
  const std::size_t limit = PyLong_AsSize_t(bytes);
  if (limit == static_cast<std::size_t>(-1) && PyErr_Occurred()) return nullptr;
  return PyLong_FromSize_t(memory::set_cache_limit(limit));
}

PyObject* block_cache_bytes(PyObject*, PyObject*) {
  return PyLong_FromSize_t(memory::cached_bytes());
}

}  // namespace velarix::py
