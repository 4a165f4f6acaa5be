// The coordinates a spline is fitted and kept in: the caller's x and y
// divided by powers of two, x' = x 2^-x_exp and y' = y 2^-y_exp. A power of
// two multiplies exactly (short of the subnormal range), so a curve fitted to
// data brought near 1 this way and scaled back is the fit of the data
// themselves, without the squares and cubes of widths or values that would
// under- or overflow in their own units.
#pragma once

#include <cmath>

namespace velarix {

struct Scale {
  int x_exp = 0;
  int y_exp = 0;

  bool identity() const { return x_exp == 0 && y_exp == 0; }

  // An abscissa of the caller's in the curve's coordinates, and back.
  double x_in(double x) const { return std::ldexp(x, -x_exp); }
  double x_out(double x) const { return std::ldexp(x, x_exp); }
  // A value of the curve (order 0) or of its derivative of that order in the
  // caller's units: S = S' 2^y_exp, dS/dx = dS'/dx' 2^(y_exp - x_exp), ...
  double out(double value, int order) const {
    return std::ldexp(value, y_exp - order * x_exp);
  }
  // An integral over x of the curve, in the caller's units.
  double integral_out(double value) const { return std::ldexp(value, x_exp + y_exp); }

  friend bool operator==(const Scale&, const Scale&) = default;
};

}  // namespace velarix
