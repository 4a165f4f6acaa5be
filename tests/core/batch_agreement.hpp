// Batch evaluation against single evaluation, bit for bit, for the pieces
// whose batches take a faster path (pairs of queries on two-lane vectors).
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <span>
#include <vector>

#include "piecewise.hpp"

namespace velarix::testing {

// Every value and derivative of `batch` evaluated as a batch carries the
// bits of the single evaluation at the same abscissa.
template <class P>
void expect_batch_agrees_with_single(const Piecewise<P>& curve, std::span<const double> batch) {
  const auto bits = [](double v) { return std::bit_cast<std::uint64_t>(v); };
  std::vector<double> value(batch.size()), first(batch.size()), second(batch.size()),
      third(batch.size());
  curve.template evaluate<Derivative::value>(batch, value);
  curve.template evaluate<Derivative::first>(batch, first);
  curve.template evaluate<Derivative::second>(batch, second);
  curve.template evaluate<Derivative::third>(batch, third);
  for (std::size_t i = 0; i < batch.size(); ++i) {
    EXPECT_EQ(bits(value[i]), bits(curve.value(batch[i]))) << batch[i];
    EXPECT_EQ(bits(first[i]), bits(curve.first_derivative(batch[i]))) << batch[i];
    EXPECT_EQ(bits(second[i]), bits(curve.second_derivative(batch[i]))) << batch[i];
    EXPECT_EQ(bits(third[i]), bits(curve.third_derivative(batch[i]))) << batch[i];
  }
}

}  // namespace velarix::testing
