// The library's public C++ surface: the shared types and every method.
#pragma once

#include "boundary.hpp"
#include "error.hpp"
#include "format.hpp"
#include "interpolator.hpp"
#include "piecewise.hpp"
#include "samples.hpp"
#include "tridiagonal.hpp"
#include "rational_cubic/rational_cubic.hpp"
#include "tension/tension.hpp"
#include "variable_degree/variable_degree.hpp"
