// A long fit split over threads gives the bits of one thread.
#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <cstring>
#include <numeric>
#include <random>

#include "parallel.hpp"
#include "quintic/convexity.hpp"
#include "quintic/estimates.hpp"
#include "quintic/quintic.hpp"
#include "quintic/repair.hpp"
#include "quintic/shape.hpp"
#include "quintic/slopes.hpp"

namespace velarix::quintic {
namespace {

// Enough knots for three chunks: noisy monotone, turning with flats and
// straight stretches, and smooth periodic data.
Samples long_data(int kind) {
  const std::size_t n = 3 * parallel::kLeastPerThread + 4321;
  std::mt19937_64 rng(kind);
  std::uniform_real_distribution<double> u(0, 1);
  Doubles x(n), y(n);
  double c = 0;
  for (std::size_t i = 0; i < n; ++i) {
    x[i] = i == 0 ? 0 : x[i - 1] + 0.2 + u(rng);
    const double r = u(rng);
    if (kind == 0) c += r;
    if (kind == 1) c = i % 5 == 0 ? c : (r < 0.3 ? c : c + (r < 0.5 ? 1.0 : r - 0.7));
    y[i] = kind == 2 ? std::sin(x[i] * 1e-3) : c;
  }
  if (kind == 2) y[n - 1] = y[0];
  return Samples::create(x, y).value();
}

bool same_bits(const QuinticSpline& a, const QuinticSpline& b) {
  const auto pa = a.curve().pieces();
  const auto pb = b.curve().pieces();
  if (pa.size() != pb.size() || a.shape_preserved() != b.shape_preserved()) return false;
  for (std::size_t i = 0; i < pa.size(); ++i) {
    const auto fa = pa[i].fields();
    const auto fb = pb[i].fields();
    if (std::memcmp(fa.data(), fb.data(), sizeof fa) != 0) return false;
  }
  return a.breakpoints().size() == b.breakpoints().size() &&
         std::memcmp(a.breakpoints().data(), b.breakpoints().data(),
                     8 * a.breakpoints().size()) == 0;
}

TEST(QuinticThreads, ChunkedFitsGiveTheBitsOfOneThread) {
  for (int kind = 0; kind < 3; ++kind) {
    const Samples samples = long_data(kind);
    for (int setting = 0; setting < 5; ++setting) {
      Quintic config;
      if (setting == 1) config.boundary = kind == 2 ? EndSlopes::periodic() : EndSlopes::natural();
      if (setting == 2) config.knot_insertion = false;
      if (setting >= 3) config.stencil = setting == 3 ? 3 : 7;
      const auto fit = [&](std::size_t threads) {
        const parallel::Workers workers(threads);
        return config.fit(samples.x(), samples.y()).value();
      };
      const QuinticSpline one = fit(1);
      EXPECT_TRUE(same_bits(one, fit(2))) << kind << " " << setting;
      EXPECT_TRUE(same_bits(one, fit(3))) << kind << " " << setting;
      if (kind < 2 && setting == 0) {
        EXPECT_GT(one.inserted(), 1000u);
      }
    }
  }
}

// In chunks the knot stage lists exactly the intervals that fail the plain
// test, in knot order, with the values of one thread; collinear runs and
// flats that cross the chunks' bounds classify as on one thread.
TEST(QuinticThreads, ChunkedStagesAgreeWithOneThread) {
  const Samples rough = long_data(1);
  const auto stage = [&](std::size_t threads) {
    const parallel::Workers workers(threads);
    const Classes c = classify(rough);
    return std::pair{c.shape, knot_values(rough, c, c.shape, estimate(rough, 5), {}, true)};
  };
  const auto [shapes, one] = stage(1);
  const auto [chunked_shapes, chunked] = stage(3);
  Vector<std::size_t> all(shapes.size());
  std::iota(all.begin(), all.end(), 0);
  EXPECT_EQ(chunked.failing, failing(rough, shapes, one.d, one.a, all));
  EXPECT_EQ(chunked.failing, one.failing);
  EXPECT_TRUE(chunked.d == one.d && chunked.a == one.a && chunked_shapes == shapes);

  // Straight stretches of every length, one bending knot between them.
  Doubles x(rough.x().begin(), rough.x().end());
  Doubles y(x.size());
  for (std::size_t i = 0, run = 1; i < x.size(); ++i) {
    if (i % (run * 1000) == 0) run = run % 97 + 1;
    y[i] = i % (run * 1000) < 7 ? 0.0 : 0.5 * x[i] + static_cast<double>(i / (run * 1000));
  }
  const Samples lines = Samples::create(x, y).value();
  const auto classes = [&](std::size_t threads) {
    const parallel::Workers workers(threads);
    return classify(lines);
  };
  const Classes c1 = classes(1);
  const Classes c3 = classes(3);
  EXPECT_TRUE(c1.bend == c3.bend && c1.shape == c3.shape && c1.straight == c3.straight);
  EXPECT_GT(std::count(c1.straight.begin(), c1.straight.end(), 1), 100000);
}

// The repair in chunks, on failing intervals that come in clusters with
// gaps of one, two and three intervals between them: the chunks are cut
// only where no repair can see another's, so the curvatures and what is
// known of each test are those of one thread.
TEST(QuinticThreads, ChunkedRepairAgreesWithOneThread) {
  const Samples rough = long_data(0);
  const Classes c = classify(rough);
  const KnotValues v = knot_values(rough, c, c.shape, estimate(rough, 5), {});
  Vector<std::size_t> clustered;
  for (const std::size_t i : v.failing) {
    if (i % 40 < 20 + (i / 40) % 4) clustered.push_back(i);
  }
  const auto repaired = [&](std::size_t threads) {
    const parallel::Workers workers(threads);
    UnfilledDoubles a = v.a;
    const Vector<std::uint8_t> known = repair_curvatures(rough, c.shape, v.d, a, clustered, {});
    return std::pair{known, a};
  };
  const auto [known, a] = repaired(1);
  EXPECT_TRUE(repaired(3) == std::pair(known, a));
  EXPECT_TRUE(repaired(5) == std::pair(known, a));
  EXPECT_GT(std::count(known.begin(), known.end(), kPasses), 1000);
}

// The assembly counts each chunk's pieces with split_point before writing
// them with split: the two must agree on every interval, or a chunk would
// write past its part of the arrays.
TEST(QuinticThreads, SplitPointCountsTheSplits) {
  std::mt19937_64 rng(41);
  std::uniform_real_distribution<double> u(-1, 1);
  const double v[] = {0, -0.0, 1e-300, 1, -0.3, 1e300, INFINITY, NAN};
  int splits = 0;
  for (int i = 0; i < 100000; ++i) {
    const bool odd = i % 4 == 0;
    const double p0 = odd ? v[rng() % 8] : u(rng);
    const double p1 = odd ? v[rng() % 8] : u(rng) * (i % 3 == 0 ? 1e-17 : 1);
    const Hermite e{0, 1, 1, p0, p1, u(rng), u(rng)};
    for (const int k : {1, -1}) {
      const std::optional<double> point = split_point(k, 2.0, 2.5, e);
      const std::optional<Halves> halves = split(k, 2.0, 2.5, e);
      ASSERT_EQ(point.has_value(), halves.has_value()) << i;
      if (point) {
        EXPECT_EQ(*point, halves->x) << i;
      }
      splits += point.has_value();
    }
  }
  EXPECT_GT(splits, 20000);
}

TEST(QuinticThreads, ChunksRunAllAndRethrowTheFirstError) {
  std::vector<int> ran(4, 0);
  EXPECT_THROW(parallel::for_chunks(4,
                                    [&](std::size_t c) {
                                      ran[c] = 1;
                                      if (c == 3) throw std::bad_alloc();
                                      if (c >= 2) throw std::runtime_error("chunk");
                                    }),
               std::runtime_error);
  EXPECT_EQ(ran, std::vector<int>(4, 1));
  const parallel::Workers workers(3);
  EXPECT_EQ(parallel::threads_for(10 * parallel::kLeastPerThread), 3u);
  EXPECT_EQ(parallel::threads_for(parallel::kLeastPerThread - 1), 1u);
}

}  // namespace
}  // namespace velarix::quintic
