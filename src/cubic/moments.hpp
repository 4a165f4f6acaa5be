// The moment system of a C² spline of the cubic family: on each interval a
// piece whose second derivative is fixed by its end moments M_i, M_{i+1}
// and whose degree k_i >= 3 sets how the moments reach its end slopes
// (k = 3 everywhere is the cubic spline of CubicPiece). Requiring S'
// continuous at every interior knot gives one tridiagonal row per knot; the
// end rows take given slopes, natural ends or the periodic wrap.
#pragma once

#include <span>

#include "boundary.hpp"
#include "memory.hpp"
#include "samples.hpp"

namespace velarix::cubic {

// The moments M_0..M_{n-1} (second derivatives at the knots) of the C²
// spline with one degree per interval and the end slopes
// S'(x_0) = left, S'(x_{n-1}) = right.
Doubles moment_system(const Samples& samples, std::span<const double> degrees, double left,
                      double right);
// The same for any end rows: given slopes, natural ends (M_0 = M_{n-1} = 0,
// exactly) or periodic ends (M_{n-1} = M_0, and S' continuous across the
// wrap; the data must close up, y[0] == y[n-1]).
Doubles moment_system(const Samples& samples, std::span<const double> degrees, const EndRows& ends);

}  // namespace velarix::cubic
