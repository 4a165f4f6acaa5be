// Float64 buffers: the only way data enter and leave the library.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "python.hpp"

namespace velarix::py {

// A held buffer view of native float64 items, released on destruction.
class Float64Buffer {
 public:
  // Requests a buffer with shape, strides and format (read-only allowed) and
  // checks that its items are aligned native doubles. On failure the Python
  // exception is set and nothing is returned.
  static std::optional<Float64Buffer> accept(PyObject* object);

  Float64Buffer(Float64Buffer&&) noexcept = default;
  Float64Buffer& operator=(Float64Buffer&&) noexcept = default;

  // All dimensions together, in storage order.
  std::size_t count() const { return static_cast<std::size_t>(view_->len) / sizeof(double); }
  bool c_contiguous() const;
  bool writable() const { return view_->readonly == 0; }

  // Only meaningful for a C-contiguous view.
  std::span<const double> items() const;
  std::span<double> writable_items() const;

  // A row-major copy of the items, whatever the strides (nothing, with the
  // exception set, if the interpreter cannot make it).
  std::optional<std::vector<double>> copy() const;
  // The items read in place when C-contiguous, else from a row-major copy
  // kept in `copy` (nothing, with the exception set, if it cannot be made).
  std::optional<std::span<const double>> row_major(std::optional<std::vector<double>>& copy) const;

 private:
  struct Release {
    void operator()(Py_buffer* view) const;
  };

  Float64Buffer() = default;
  // The view stays at one address while held: exporters may point its
  // fields into the view itself (array.array points `strides` at
  // `itemsize`), so it must never be copied.
  std::unique_ptr<Py_buffer, Release> view_;
};

}  // namespace velarix::py
