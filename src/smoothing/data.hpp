// A smoothing fit's data before the basis: the checks of the arrays, their
// order by x, the distinct abscissae and the breakpoints chosen from them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "error.hpp"
#include "memory.hpp"
#include "smoothing/basis.hpp"

namespace velarix::smoothing {

// Equal lengths (weights one per point when `weighted`), x and y finite,
// weights finite and >= 0: the first fault found, in that order.
std::optional<Error> check_data(std::span<const double> x, std::span<const double> y,
                                std::span<const double> w, bool weighted);

// The data in ascending x: the caller's arrays when they already are, a
// stably sorted copy otherwise.
class SortedData {
 public:
  SortedData(std::span<const double> x, std::span<const double> y, std::span<const double> w);
  const Data& data() const { return data_; }

 private:
  Doubles x_;
  Doubles y_;
  Doubles w_;
  Data data_;
};

// The gap up to which neighbouring abscissae count as one, for data spanning
// `range`.
double tie_gap(double range);

// The distinct abscissae among the points of positive weight.
std::size_t weighted_distinct(const Data& data, double tie);

// The breakpoints, in the caller's units, from a number of segments or from
// interior knots given (refused when not inside the range of x).
Doubles chosen_breakpoints(const Data& data, double tie, std::uint64_t segments);
std::optional<Error> given_breakpoints(const Data& data, double tie, const Doubles& knots,
                                       Doubles& breakpoints);

}  // namespace velarix::smoothing
