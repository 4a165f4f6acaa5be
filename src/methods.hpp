// The library's methods, one line each, in the order the extension registers
// them: the method's snake-case name (its directory under src/, its
// namespace, and its binding's `<name>_method()`), the kinds of the saved
// states of its configuration and its fitted spline, and the class of its
// configuration (`velarix::<name>::<Configuration>`). Every list of the
// methods (the state kinds, the extension's method table, the core tests'
// list of types) is expanded from this one, so a new method is one line here.
//
// A kind is never reused or renumbered: saved states carry it.
#pragma once

#define VELARIX_METHODS(METHOD)                  \
  METHOD(rational_cubic, 2, 3, RationalCubic)    \
  METHOD(tension, 4, 5, Tension)                 \
  METHOD(variable_degree, 6, 7, VariableDegree)  \
  METHOD(quintic, 8, 9, Quintic)
