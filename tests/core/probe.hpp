// A piece that reports where it was evaluated, for the lookup tests: value is
// the interval index, first derivative the abscissa handed over, second
// derivative index + abscissa, so one number shows both the piece and the
// clamping.
#pragma once

#include <utility>
#include <vector>

#include "piecewise.hpp"

namespace velarix::testing {

struct Probe {
  double index;
  double value(double) const { return index; }
  double first_derivative(double x) const { return x; }
  double second_derivative(double x) const { return index + x; }
};

inline Piecewise<Probe> probes(std::vector<double> knots) {
  std::vector<Probe> pieces;
  for (std::size_t i = 0; i + 1 < knots.size(); ++i) pieces.push_back({double(i)});
  return Piecewise<Probe>(std::move(knots), std::move(pieces));
}

}  // namespace velarix::testing
