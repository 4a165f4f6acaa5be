// The accelerated lookups (the bucket index behind interval(), the forward
// steps of ascending batches) against the plain binary search over all knots,
// on knot sets chosen to stress the rounding of the bucket boundaries.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <vector>

#include "piecewise.hpp"
#include "probe.hpp"

namespace velarix {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

using testing::Probe;
using testing::probes;

// The interval by the definition: clamp, count the knots at or below, step
// back one, keep the last knot in the last piece.
std::size_t plain_interval(std::span<const double> knots, double x) {
  double c = x;
  if (c < knots.front()) c = knots.front();
  if (c > knots.back()) c = knots.back();
  const std::size_t count = locate(knots, c);
  const std::size_t i = count == 0 ? 0 : count - 1;
  return std::min(i, knots.size() - 2);
}

struct KnotSet {
  const char* name;
  std::function<Doubles(std::mt19937&)> make;
};

Doubles uneven(std::mt19937& rng, std::size_t n, double start, double spread) {
  std::uniform_real_distribution<double> width(spread * 0.005, spread);
  Doubles knots{start};
  for (std::size_t i = 1; i < n; ++i) knots.push_back(knots.back() + width(rng));
  return knots;
}

const KnotSet kKnotSets[] = {
    {"two",
     [](std::mt19937&) {
       return Doubles{-1, 2};
     }},
    {"uneven", [](std::mt19937& rng) { return uneven(rng, 500, -3, 2); }},
    {"clustered",
     [](std::mt19937& rng) {
       // Nearly all knots in one bucket, a few spread over the rest.
       Doubles knots = uneven(rng, 300, 0, 1e-6);
       for (double x : {1.0, 5.0, 1e3}) knots.push_back(x);
       return knots;
     }},
    {"groups",
     [](std::mt19937&) {
       // Tight groups of 3 to 6 knots far apart: buckets hold a few knots,
       // around the count up to which a bucket is scanned instead of searched.
       Doubles knots;
       for (int g = 0; g < 60; ++g) {
         for (int j = 0; j < 3 + g % 4; ++j) knots.push_back(g * 10.0 + j * 1e-3);
       }
       return knots;
     }},
    {"ties",
     [](std::mt19937& rng) {
       Doubles knots = uneven(rng, 200, 0, 1);
       for (std::size_t i = 0; i < knots.size(); i += 7)
         knots[i + 1 < knots.size() ? i + 1 : i] = knots[i];
       std::sort(knots.begin(), knots.end());
       return knots;
     }},
    {"spaced one ulp",
     [](std::mt19937&) {
       Doubles knots{1e15};
       for (int i = 0; i < 100; ++i) knots.push_back(std::nextafter(knots.back(), inf));
       return knots;
     }},
    {"huge range",  // too wide for the bucket scale: the plain search
     [](std::mt19937&) {
       return Doubles{-1.5e308, -1, 0, 3, 1.5e308};
     }},
    {"tiny values", [](std::mt19937& rng) { return uneven(rng, 100, 1e-300, 1e-301); }},
};

// In-range and out-of-range points, every knot and both its neighbours.
Doubles queries(std::span<const double> knots, std::mt19937& rng) {
  const double width = knots.back() - knots.front();
  const double pad = std::isfinite(width) ? width * 0.1 + 1 : 1;
  std::uniform_real_distribution<double> u(knots.front() - (std::isfinite(width) ? pad : 0),
                                           std::isfinite(width) ? knots.back() + pad : knots.back());
  Doubles xs{std::nan(""), -inf, inf, -std::nan("")};
  for (double k : knots) {
    xs.push_back(k);
    xs.push_back(std::nextafter(k, -inf));
    xs.push_back(std::nextafter(k, inf));
  }
  for (int i = 0; i < 2000; ++i) xs.push_back(u(rng));
  return xs;
}

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

class Lookup : public ::testing::TestWithParam<KnotSet> {};

TEST_P(Lookup, IndexedIntervalEqualsPlainSearch) {
  std::mt19937 rng(7);
  const auto curve = probes(GetParam().make(rng));
  for (double x : queries(curve.knots(), rng)) {
    ASSERT_EQ(curve.interval(curve.clamp(x)), plain_interval(curve.knots(), x)) << x;
  }
}

TEST_P(Lookup, ForwardStepsFromAnyHintEqualPlainSearch) {
  std::mt19937 rng(8);
  const auto curve = probes(GetParam().make(rng));
  const std::size_t pieces = curve.pieces().size();
  std::uniform_int_distribution<std::size_t> hint(0, pieces - 1);
  for (double x : queries(curve.knots(), rng)) {
    const std::size_t expected = plain_interval(curve.knots(), x);
    const double c = curve.clamp(x);
    // Hints at, just before and far from the answer, and random ones.
    for (std::size_t h : {expected, expected > 0 ? expected - 1 : 0, expected > 3 ? expected - 4 : 0,
                          expected > 5 ? expected - 5 : 0, std::size_t{0}, pieces - 1, hint(rng)}) {
      ASSERT_EQ(curve.interval_from(h, c), expected) << x << " from " << h;
    }
  }
}

// Ascending batches (sorted, with NaN and infinities at the ends or inside,
// repeated values, and sparse or dense against the knots) and shuffled ones
// give the scalar results bit for bit.
TEST_P(Lookup, BatchesEqualScalarEvaluation) {
  std::mt19937 rng(9);
  const auto curve = probes(GetParam().make(rng));
  Doubles xs = queries(curve.knots(), rng);
  std::vector<Doubles> batches;
  Doubles sorted(xs.begin() + 4, xs.end());
  std::sort(sorted.begin(), sorted.end());
  batches.push_back(sorted);
  Doubles ends = sorted;
  ends.insert(ends.begin(), -inf);
  ends.push_back(inf);
  ends.push_back(std::nan(""));
  batches.push_back(ends);
  Doubles sparse;
  for (std::size_t i = 0; i < sorted.size(); i += 37) sparse.push_back(sorted[i]);
  batches.push_back(sparse);
  Doubles nan_inside = sorted;
  nan_inside.insert(nan_inside.begin() + nan_inside.size() / 2, std::nan(""));
  batches.push_back(nan_inside);
  std::shuffle(xs.begin(), xs.end(), rng);
  batches.push_back(xs);
  for (const auto& batch : batches) {
    Doubles out(batch.size());
    curve.evaluate<Derivative::second>(batch, out);
    for (std::size_t i = 0; i < batch.size(); ++i) {
      ASSERT_EQ(bits(out[i]), bits(curve.second_derivative(batch[i]))) << batch[i];
    }
  }
}

// Shuffled batches are evaluated a block at a time; an `out` that overlaps
// `xs` at an offset must still see the results of the index-order loop, in
// which element i is read before element i is written. Lengths around the
// block size, and offsets both ways.
TEST_P(Lookup, OverlappingShuffledBatchesFollowIndexOrder) {
  std::mt19937 rng(10);
  const auto curve = probes(GetParam().make(rng));
  Doubles xs = queries(curve.knots(), rng);
  std::shuffle(xs.begin(), xs.end(), rng);
  for (std::size_t length : {1, 31, 32, 33, 100}) {
    for (std::ptrdiff_t shift : {-33, -1, 0, 1, 7, 32, 40}) {
      Doubles buffer(xs.begin(), xs.begin() + length + 80);
      Doubles expected = buffer;
      const std::size_t from = 40;
      const std::size_t to = static_cast<std::size_t>(40 + shift);
      for (std::size_t i = 0; i < length; ++i) {
        expected[to + i] = curve.second_derivative(expected[from + i]);
      }
      curve.evaluate<Derivative::second>(std::span<const double>(buffer.data() + from, length),
                                         std::span<double>(buffer.data() + to, length));
      for (std::size_t i = 0; i < buffer.size(); ++i) {
        ASSERT_EQ(bits(buffer[i]), bits(expected[i])) << length << " " << shift << " " << i;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(KnotSets, Lookup, ::testing::ValuesIn(kKnotSets),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           std::replace(name.begin(), name.end(), ' ', '_');
                           return name;
                         });

}  // namespace
}  // namespace velarix
