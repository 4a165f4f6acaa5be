// The core's check of a data set's knots and values, as module functions:
//
//   knot_refusal(x)  -> None | (kind, message, *fields)
//   value_refusal(y) -> None | (kind, message, *fields)
//   checked_knots(x) -> (knots, None) | (None, (kind, message, *fields))
//
// The NumPy layer fits several curves on one set of knots. It checks the
// knots once and every value of every curve once, here, before any fit, and
// words a refusal with the axis and the curve it concerns; the fields (the
// error's numbers, in declaration order: the index, then the value or the
// two neighbours) let it do that without checking anything itself. The
// knots checked_knots returns (bindings/knots.hpp) are what each curve's fit
// then takes for x, so that it checks its values alone.
#include "samples.hpp"

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "buffer.hpp"
#include "error.hpp"
#include "errors.hpp"
#include "knots.hpp"
#include "python.hpp"

namespace velarix::py {
namespace {

PyObject* size(std::size_t n) { return PyLong_FromSize_t(n); }
PyObject* number(double v) { return PyFloat_FromDouble(v); }

// (kind, message, *numbers) of each refusal the two checks return.
struct Fields {
  const char* text;

  PyObject* operator()(const TooFewPoints& e) const {
    return Py_BuildValue("(ssN)", "TooFewPoints", text, size(e.got));
  }
  PyObject* operator()(const NotIncreasing& e) const {
    return Py_BuildValue("(ssNNN)", "NotIncreasing", text, size(e.index), number(e.left),
                         number(e.right));
  }
  PyObject* operator()(const NonFiniteKnot& e) const {
    return Py_BuildValue("(ssNN)", "NonFiniteKnot", text, size(e.index), number(e.value));
  }
  PyObject* operator()(const UnusableWidth& e) const {
    return Py_BuildValue("(ssNNN)", "UnusableWidth", text, size(e.index), number(e.left),
                         number(e.right));
  }
  PyObject* operator()(const NonFiniteValue& e) const {
    return Py_BuildValue("(ssNN)", "NonFiniteValue", text, size(e.index), number(e.value));
  }
  template <class Other>
  PyObject* operator()(const Other&) const {
    PyErr_SetString(PyExc_RuntimeError, "a sample check returned an error of another kind");
    return nullptr;
  }
};

// The refusal as a tuple, or None.
PyObject* refusal(const std::optional<Error>& error) {
  if (!error) Py_RETURN_NONE;
  const std::string text = message(*error);
  return std::visit(Fields{text.c_str()}, *error);
}

template <std::optional<Error> (*check)(std::span<const double>)>
PyObject* checked(PyObject*, PyObject* values) {
  return guarded([values]() -> PyObject* {
    std::optional<Float64Buffer> buffer = Float64Buffer::accept(values);
    if (!buffer) return nullptr;
    if (buffer->c_contiguous()) return refusal(check(buffer->items()));
    std::optional<std::vector<double>> copy = buffer->copy();
    if (!copy) return nullptr;
    return refusal(check(*copy));
  });
}

void release_knots(PyObject* capsule) {
  delete static_cast<HeldKnots*>(PyCapsule_GetPointer(capsule, checked_knots_name));
}

PyObject* checked_knots(PyObject*, PyObject* values) {
  return guarded([values]() -> PyObject* {
    auto held = std::make_unique<HeldKnots>();
    held->buffer = Float64Buffer::accept(values);
    if (!held->buffer) return nullptr;
    const std::optional<std::span<const double>> x = held->buffer->row_major(held->copy);
    if (!x) return nullptr;
    Result<CheckedKnots> knots = CheckedKnots::check(*x);
    if (!knots) return Py_BuildValue("(ON)", Py_None, refusal(knots.error()));
    held->knots.emplace(std::move(knots).value());
    Ref capsule(PyCapsule_New(held.get(), checked_knots_name, release_knots));
    if (!capsule) return nullptr;
    held.release();
    return Py_BuildValue("(NO)", capsule.release(), Py_None);
  });
}

}  // namespace

// bindings/workers.cpp
PyObject* fit_workers(PyObject*, PyObject*);
PyObject* set_fit_workers(PyObject*, PyObject* count);
PyObject* block_cache_limit(PyObject*, PyObject*);
PyObject* set_block_cache_limit(PyObject*, PyObject* bytes);
PyObject* block_cache_bytes(PyObject*, PyObject*);

// The module's functions.
PyMethodDef module_functions[] = {
    {"knot_refusal", checked<&Samples::check_knots>, METH_O,
     "The core's refusal of the knots x, or None."},
    {"value_refusal", checked<&Samples::check_values>, METH_O,
     "The core's refusal of the values y (the first that is not finite), or None."},
    {"checked_knots", checked_knots, METH_O,
     "The knots x checked once for the fits of several curves, and None; or None and\n"
     "the core's refusal of them."},
    {"fit_workers", fit_workers, METH_NOARGS,
     "The threads a fit started on this thread may use."},
    {"set_fit_workers", set_fit_workers, METH_O,
     "Sets the threads of the fits started on this thread (0: one per core); returns\n"
     "the previous setting."},
    {"block_cache_limit", block_cache_limit, METH_NOARGS,
     "The bytes of released large blocks kept for reuse at most."},
    {"set_block_cache_limit", set_block_cache_limit, METH_O,
     "Sets the bytes of released large blocks kept for reuse at most (0: none);\n"
     "returns the previous limit."},
    {"block_cache_bytes", block_cache_bytes, METH_NOARGS,
     "The bytes of released large blocks kept for reuse now."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace velarix::py
