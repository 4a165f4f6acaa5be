// Random data sets shared by the rational cubic tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace velarix::rational_cubic::testing {

struct Data {
  Doubles x;
  Doubles y;
};

// Convex data on uneven knots: widths spread over a factor of 40, secants
// rising by positive random increments, so every interior knot is strictly
// convex and the secant steps vary a lot from knot to knot.
inline Data random_convex(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  Data data{Doubles(n), Doubles(n)};
  data.x[0] = -2.0 + 4.0 * unit(rng);
  data.y[0] = -1.0 + 2.0 * unit(rng);
  double secant = -3.0 + 6.0 * unit(rng);
  for (std::size_t i = 1; i < n; ++i) {
    const double h = 0.025 + unit(rng);
    data.x[i] = data.x[i - 1] + h;
    data.y[i] = data.y[i - 1] + secant * h;
    secant += 0.01 + unit(rng);
  }
  return data;
}

inline Doubles negated(Doubles values) {
  for (double& value : values) value = -value;
  return values;
}

// Abscissae across the whole domain: every knot and `per_interval` points
// strictly inside each interval.
inline Doubles dense_grid(const Doubles& x, std::size_t per_interval) {
  Doubles grid;
  for (std::size_t i = 0; i + 1 < x.size(); ++i) {
    grid.push_back(x[i]);
    for (std::size_t j = 1; j <= per_interval; ++j) {
      grid.push_back(x[i] + (x[i + 1] - x[i]) * (double(j) / double(per_interval + 1)));
    }
  }
  grid.push_back(x.back());
  return grid;
}

}  // namespace velarix::rational_cubic::testing
