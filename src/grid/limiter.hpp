// The shape limiter of a grid surface. The surface's coefficients are, per
// data node, its value (the "staircase", which interpolates and copies each
// data difference into one data interval, so it has every sign the data
// ask) plus mu times each of 2^N - 1 parts of the unconstrained spline's
// offset from it, one part per nonempty set of axes, each of which keeps
// interpolation by itself. mu starts at 1 (the unconstrained spline) and is
// only ever lowered, where a coefficient difference along an axis takes the
// wrong sign for a cell whose data edges along that axis agree (or is not
// exactly 0 where they are all flat). mu = 0 is the staircase, which meets
// every such row, so the limiter ends with every row met in floating point.
//
// A row is its data step plus one term per variable it meets (within one
// block each part meets both coefficients, with the difference of its two
// entries). A violated row scales its negative terms until its positive
// side meets them with a margin beyond the coefficients' rounding; a flat
// row sets every variable it meets to 0. After 400 such rounds the negative
// variables of a violated row are set to 0 instead, so the limiter ends. The
// first round checks every row; later ones only the rows of the nodes whose
// mu changed, and a node keeps the unconstrained block until it changes.
#pragma once

#include <span>

#include "grid/axis.hpp"

namespace velarix::grid {

// `coefficients` holds the unconstrained spline's (row-major over the 3 n_a
// per axis) and is overwritten with the limited ones. `values` are the data,
// row-major.
void limit_shape(std::span<const Axis> axes, std::span<const double> values,
                 std::span<double> coefficients);

// Whether every coefficient difference has the sign its cells ask, exactly,
// and is exactly 0 where they are flat.
bool coefficient_signs_hold(std::span<const Axis> axes, std::span<const double> values,
                            std::span<const double> coefficients);

}  // namespace velarix::grid
