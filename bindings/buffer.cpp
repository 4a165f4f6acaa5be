#include "buffer.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

namespace velarix::py {
namespace {

// "d", or "d" after one byte-order character that names the host's order.
bool is_native_double(const char* format) {
  if (format == nullptr) format = "B";  // an absent format means unsigned bytes
  if (std::strcmp(format, "d") == 0) return true;
  if (format[0] == '\0' || std::strcmp(format + 1, "d") != 0) return false;
  switch (format[0]) {
    case '@':
    case '=':
      return true;
    case '<':
      return std::endian::native == std::endian::little;
    case '>':
    case '!':
      return std::endian::native == std::endian::big;
    default:
      return false;
  }
}

}  // namespace

std::optional<Float64Buffer> Float64Buffer::accept(PyObject* object) {
  auto view_storage = std::make_unique<Py_buffer>();
  if (PyObject_GetBuffer(object, view_storage.get(), PyBUF_FULL_RO) != 0) return std::nullopt;
  Float64Buffer buffer;
  buffer.view_.reset(view_storage.release());
  const Py_buffer& view = *buffer.view_;
  if (view.shape == nullptr) {
    PyErr_SetString(PyExc_BufferError, "shape is null");
    return std::nullopt;
  }
  if (view.strides == nullptr) {
    PyErr_SetString(PyExc_BufferError, "strides is null");
    return std::nullopt;
  }
  if (view.itemsize != sizeof(double) || !is_native_double(view.format)) {
    PyErr_Format(PyExc_BufferError, "buffer contents are not compatible with %s", "f64");
    return std::nullopt;
  }
  // An empty buffer has no item to misalign; the interpreter's own empty
  // arrays expose addresses that are not multiples of 8.
  const auto address = reinterpret_cast<std::uintptr_t>(view.buf);
  if (view.len > 0 && address % alignof(double) != 0) {
    PyErr_Format(PyExc_BufferError, "buffer contents are insufficiently aligned for %s",
                 "f64");
    return std::nullopt;
  }
  return buffer;
}

void Float64Buffer::Release::operator()(Py_buffer* view) const {
  PyBuffer_Release(view);
  delete view;
}

bool Float64Buffer::c_contiguous() const {
  return view_->buf != nullptr && PyBuffer_IsContiguous(view_.get(), 'C') != 0;
}

std::span<const double> Float64Buffer::items() const {
  return {static_cast<const double*>(view_->buf), count()};
}

std::span<double> Float64Buffer::writable_items() const {
  return {static_cast<double*>(view_->buf), count()};
}

std::optional<std::span<const double>> Float64Buffer::row_major(
    std::optional<std::vector<double>>& copy) const {
  if (c_contiguous()) return items();
  copy = this->copy();
  if (!copy) return std::nullopt;
  return std::span<const double>(*copy);
}

std::optional<std::vector<double>> Float64Buffer::copy() const {
  std::vector<double> items(count());
  if (!items.empty() && PyBuffer_ToContiguous(items.data(), view_.get(), view_->len, 'C') != 0) {
    return std::nullopt;
  }
  return items;
}

}  // namespace velarix::py
