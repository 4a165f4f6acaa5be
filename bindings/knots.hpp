// Knots checked once for the several curves of one fit: the NumPy layer asks
// checked_knots(x) (bindings/samples.cpp) for them and passes them to each
// curve's fit(x, y) in place of x, which then checks only that curve's
// values. To Python they are an opaque capsule that holds the knots' buffer
// (or its row-major copy) and the core's CheckedKnots on it.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "buffer.hpp"
#include "classes.hpp"
#include "python.hpp"
#include "samples.hpp"

namespace velarix::py {

inline constexpr const char* checked_knots_name = "velarix.CheckedKnots";

// What the capsule owns: the knots' storage first, so that the checked
// knots, which read it, go before it.
struct HeldKnots {
  std::optional<Float64Buffer> buffer;
  std::optional<std::vector<double>> copy;
  std::optional<CheckedKnots> knots;
};

// The x of a fit: an array of knots, or checked knots.
struct FitKnots {
  std::optional<Float64Buffer> buffer;
  const CheckedKnots* checked = nullptr;
};

template <>
struct From<FitKnots> {
  static std::optional<FitKnots> convert(PyObject* object) {
    if (PyCapsule_IsValid(object, checked_knots_name)) {
      const auto* held =
          static_cast<const HeldKnots*>(PyCapsule_GetPointer(object, checked_knots_name));
      return FitKnots{std::nullopt, &*held->knots};
    }
    std::optional<Float64Buffer> buffer = Float64Buffer::accept(object);
    if (!buffer) return std::nullopt;
    return FitKnots{std::move(buffer), nullptr};
  }
};

}  // namespace velarix::py
