// A piece that reports where it was evaluated, for the lookup tests: value is
// the interval index, first derivative the abscissa handed over, second
// derivative index + abscissa, so one number shows both the piece and the
// clamping; the third derivative is the second's negative.
#pragma once

#include <initializer_list>
#include <span>
#include <utility>

#include "memory.hpp"
#include "piecewise.hpp"

namespace velarix::testing {

struct Probe {
  double index;
  double value(double) const { return index; }
  double first_derivative(double x) const { return x; }
  double second_derivative(double x) const { return index + x; }
  double third_derivative(double x) const { return -(index + x); }
};

inline Piecewise<Probe> probes(std::span<const double> knots) {
  Vector<Probe> pieces;
  for (std::size_t i = 0; i + 1 < knots.size(); ++i) pieces.push_back({double(i)});
  return Piecewise<Probe>(Doubles(knots.begin(), knots.end()), std::move(pieces));
}

inline Piecewise<Probe> probes(std::initializer_list<double> knots) {
  return probes(std::span<const double>(knots.begin(), knots.size()));
}

}  // namespace velarix::testing
