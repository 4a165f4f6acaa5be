// The quick paths of the fit against the plain tests they stand for.
#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <random>

#include "quintic/convexity.hpp"
#include "quintic/estimates.hpp"
#include "quintic/repair.hpp"
#include "quintic/slopes.hpp"

namespace velarix::quintic {
namespace {

// Cubics q(t) = alpha (t - t0)^2 (1 + beta (t - t0)) + gamma, whose minimum
// gamma lies about the floor (or far below it), at t0 inside, near an
// eighth, a third or an end, or just beyond an end. Scaling by powers of two
// (into the range tested in units of 2^64 too) changes no decision.
TEST(BendingTests, CheapRefusalIsSoundAndTheNegationAgrees) {
  std::mt19937_64 rng(17);
  std::uniform_real_distribution<double> u(0, 1);
  int refused = 0, open = 0;
  for (int i = 0; i < 300000; ++i) {
    const double spots[] = {u(rng), 0.125 + 0.02 * (u(rng) - 0.5), 1.0 / 3, 0, 1, -1e-7 * u(rng)};
    const double t0 = i % 2 ? 1 - spots[i / 2 % 6] : spots[i / 2 % 6];
    const double alpha = std::exp(8 * u(rng) - 4), beta = 1.8 * u(rng) - 0.9;
    const double f = (4 * u(rng) - 2) * (i % 7 ? 1 : 1e6);
    // Monomial coefficients b0..b3, the Bernstein ones, then the gaps.
    const auto bend = [&](double gamma) {
      const double b0 = alpha * t0 * t0 * (1 - beta * t0) + gamma;
      const double b1 = alpha * t0 * (3 * beta * t0 - 2), b2 = alpha * (1 - 3 * beta * t0);
      const double e1 = b0 + b1 / 3, e2 = b0 + (2 * b1 + b2) / 3, e3 = b0 + b1 + b2 + alpha * beta;
      const double r0 = e1 + 2 * b0 - e3, r1 = e2 + 2 * e3 - b0;
      return Bend{(12 * r0 + 8 * r1) / 80, (8 * r0 + 12 * r1) / 80, b0, e3};
    };
    const Bend b = bend(-f * kRounding * bernstein(bend(0)).scale);
    const Bernstein c = bernstein(b);
    const bool keeps = keeps_bending(b);
    // The thirds' sums and the minimum each carry a few hundredths of the
    // floor in rounding: a minimum that close to it may go either way.
    EXPECT_TRUE(!dips(c) || std::fabs(f - 1) < 0.1 || !minimum_keeps_bending(c)) << i;
    refused += dips(c);
    open += !dips(c) && !all_above_floor(c);
    for (const int p : {0, -900, 900, 1020 - std::ilogb(c.scale)}) {
      const Bend s{std::ldexp(b.p0, p), std::ldexp(b.p1, p), std::ldexp(b.big0, p),
                   std::ldexp(b.big1, p)};
      EXPECT_TRUE(keeps_bending(s) == keeps && fails_bending(s) == !keeps) << i << " " << p;
    }
  }
  EXPECT_TRUE(refused > 10000 && open > 10000) << refused << " " << open;
  // Zero, tiny, huge and non-finite gaps and curvatures.
  const double v[] = {0, -0.0, 1e-300, 1, -0.3, 1e300, -1.7e308, INFINITY, NAN};
  for (int i = 0; i < 20000; ++i) {
    const Bend b{v[rng() % 9], v[rng() % 9], v[rng() % 9], v[rng() % 9]};
    EXPECT_EQ(fails_bending(b), !keeps_bending(b)) << i;
  }
}

// Noisy monotone, noisy turning and smooth data, on sizes that leave tails
// after runs of 64 steps: the knot stage lists exactly the intervals whose
// piece fails the plain test with the values it returns, in knot order.
TEST(KnotStage, ListsExactlyTheFailingIntervals) {
  std::mt19937_64 rng(23);
  std::uniform_real_distribution<double> u(0, 1);
  for (const std::size_t m : {10u, 65u, 200u, 5000u}) {
    for (int kind = 0; kind < 3; ++kind) {
      Doubles x{0}, y{1};
      for (std::size_t i = 0; i < m; ++i) {
        x.push_back(x.back() + 0.1 + u(rng));
        y.push_back(kind == 2 ? std::exp(x.back() / m) : y.back() + u(rng) - 0.5 * kind);
      }
      const Samples samples = Samples::create(x, y).value();
      const Classes c = classify(samples);
      for (const bool write : {false, true}) {
        const KnotValues v = knot_values(samples, c, c.shape, estimate(samples, 5), {}, write);
        // The plain test of every interval (monotone ones bend by 0 and pass).
        Vector<std::size_t> all(m);
        std::iota(all.begin(), all.end(), 0);
        const Vector<std::size_t> expected = failing(samples, c.shape, v.d, v.a, all);
        EXPECT_EQ(v.failing, expected) << m << " " << kind << " " << write;
        EXPECT_TRUE(kind == 2 || !expected.empty()) << m << " " << kind;
      }
    }
  }
}

// What the repair leaves known of each failing interval's test gives the
// knot insertion the marks and curvatures it finds by testing them itself.
TEST(KnotStage, KnownTestsInsertAsTestedOnes) {
  std::mt19937_64 rng(31);
  std::uniform_real_distribution<double> u(0, 1);
  Doubles x{0}, y{0};
  for (int i = 0; i < 20000; ++i) {
    x.push_back(x.back() + 0.2 + u(rng));
    y.push_back(y.back() + u(rng) - (i % 3 == 0 ? 0.4 : 0.0));
  }
  const Samples samples = Samples::create(x, y).value();
  const Classes c = classify(samples);
  KnotValues v = knot_values(samples, c, c.shape, estimate(samples, 5), {});
  const Vector<std::uint8_t> known = repair_curvatures(samples, c.shape, v.d, v.a, v.failing, {});
  auto a = v.a;
  EXPECT_GT(v.failing.size(), 1000u);
  EXPECT_EQ(insert_knots(samples, c.shape, v.d, v.a, v.failing, {}, known),
            insert_knots(samples, c.shape, v.d, a, v.failing, {}));
  EXPECT_EQ(v.a, a);
}

// Knots about the collinear threshold (exact lines, 1e-12 and a few ulps
// off them, repeated values), huge and tiny, on odd and even counts: the
// bends taken two knots at a time are those of each knot alone.
TEST(Classify, PairedBendsAreTheSingleKnotOnes) {
  std::mt19937_64 rng(29);
  std::uniform_real_distribution<double> u(0, 1);
  int bent = 0, collinear = 0;
  for (int scales = 0; scales < 9; ++scales) {
    const double xs = std::pow(1e150, scales / 3 - 1), ys = std::pow(1e150, scales % 3 - 1);
    for (const std::size_t n : {3u, 4u, 5u, 6u, 63u, 64u}) {
      Doubles x{xs}, y;
      for (std::size_t i = 1; i < n; ++i) x.push_back(x.back() + xs * (0.5 + u(rng)));
      for (std::size_t i = 0; i < n; ++i) {
        const double pick = u(rng), off[] = {0, (pick - 0.4) * 2e-11, (pick - 0.6) * 4e-15, 0.1};
        y.push_back(pick > 0.9 && i > 0 ? y.back()
                                        : ys * (3 + 2 * x[i] / xs) * (1 + off[int(4 * pick)]));
      }
      const Samples samples = Samples::create(x, y).value();
      const Classes classes = classify(samples);
      for (std::size_t k = 1; k + 1 < n; ++k) {
        EXPECT_EQ(classes.bend[k], bend_at(samples, k)) << scales << " " << n << " " << k;
        (classes.bend[k] == 0 ? collinear : bent) += 1;
      }
    }
  }
  EXPECT_TRUE(bent > 100 && collinear > 100) << bent << " " << collinear;
}

}  // namespace
}  // namespace velarix::quintic
