// Every method of the table is a configuration that fits one curve and
// makes a spline that evaluates as the shared layers expect: checked here
// once for all, at compile time, so that a method's own header need not.
#include "every_method_header.hpp"
#include "methods.hpp"

namespace velarix {

#define VELARIX_CHECK_METHOD(name, configuration_kind, spline_kind, Configuration) \
  static_assert(Fit<name::Configuration>);                                        \
  static_assert(Interpolator1d<name::Configuration::Spline>);
VELARIX_METHODS(VELARIX_CHECK_METHOD)
#undef VELARIX_CHECK_METHOD

}  // namespace velarix
