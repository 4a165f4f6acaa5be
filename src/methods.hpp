// The library's methods, one line each, in the order the extension registers
// them: the method's snake-case name (its directory under src/, its
// namespace, and its binding's `<name>_method()`), and the kinds of the saved
// states of its configuration and its fitted spline. Every list of the
// methods (the state kinds, the extension's method table) is expanded from
// this one, so a new method is one line here.
//
// A kind is never reused or renumbered: saved states carry it.
#pragma once

#define VELARIX_METHODS(METHOD)          \
  METHOD(rational_cubic, 2, 3)           \
  METHOD(tension, 4, 5)                  \
  METHOD(variable_degree, 6, 7)          \
  METHOD(quintic, 8, 9)
