// The library's shared C++ surface. Each method's own header is in its
// directory (for example "tension/tension.hpp").
#pragma once

#include "boundary.hpp"
#include "error.hpp"
#include "format.hpp"
#include "interpolator.hpp"
#include "piecewise.hpp"
#include "samples.hpp"
#include "tridiagonal.hpp"
