// TEMPORARY stand-in until main carries the period map; replaced by the merge.
#pragma once
#include <cmath>
namespace velarix {
inline double wrap_into_period(double x, double first, double last) {
  const double p = last - first;
  return first + std::fmod(std::fmod(x - first, p) + p, p);
}
}  // namespace velarix
