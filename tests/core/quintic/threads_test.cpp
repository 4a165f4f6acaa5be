// A long fit split over threads gives the bits of one thread.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "parallel.hpp"
#include "quintic/quintic.hpp"

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
    for (int setting = 0; setting < 3; ++setting) {
      Quintic config;
      if (setting == 1) config.boundary = kind == 2 ? EndSlopes::periodic() : EndSlopes::natural();
      if (setting == 2) config.knot_insertion = false;
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
