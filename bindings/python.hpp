// The interpreter's limited C API (3.11 and later), a small owning
// reference so that every early return releases what it holds, and the
// release of the interpreter lock around long work of the core.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030B0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <utility>

namespace velarix::py {

// Owns one strong reference (or nothing).
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) : object_(owned) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

// Releases the interpreter lock for its lifetime, so that other Python
// threads run while the core computes on a second core. Nothing in its
// scope may touch a Python object: the buffers the core reads and writes
// are views acquired before it and released after it. The lock is taken
// back on every exit, an exception's included, so that the exception is
// turned into a Python one with the lock held.
class Unlocked {
 public:
  Unlocked() : state_(PyEval_SaveThread()) {}
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;
  ~Unlocked() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

// Runs `work` without the interpreter lock when `items` reach `from`, and
// with it otherwise: releasing and taking back the lock costs about as much
// as a few dozen evaluations, and small calls are left their speed.
template <class Work>
decltype(auto) unlocked_from(std::size_t from, std::size_t items, Work&& work) {
  if (items < from) return work();
  const Unlocked unlocked;
  return work();
}

}  // namespace velarix::py
