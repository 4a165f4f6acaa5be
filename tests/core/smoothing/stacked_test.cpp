// The unconstrained fit's least-squares factor against the normal equations
// solved densely, where those are well conditioned (few knots), and its
// penalty of a smooth curve where they are not.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "smoothing/banded.hpp"
#include "smoothing/basis.hpp"
#include "smoothing/stacked.hpp"

namespace velarix::smoothing {
namespace {

struct Record {
  Doubles x, y, w;
  Data data() const { return Data{x, y, w}; }
};

Record record(std::size_t n, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<> unit(0, 1);
  Record r;
  double at = 0;
  for (std::size_t i = 0; i < n; ++i) {
    at += 0.2 + 1.6 * unit(rng);
    r.x.push_back(at);
    r.y.push_back(std::sin(at / 3) + 0.3 * (unit(rng) - 0.5));
    r.w.push_back(0.5 + unit(rng));
  }
  return r;
}

// R^T R = G + lam P: the stacked solve and trace are those of the banded
// Cholesky factor of the normal equations, to rounding, on 40 knots.
TEST(Stacked, SolvesTheNormalEquations) {
  const Record r = record(60, 3);
  const Data data = r.data();
  const Units units = units_of(data, r.x.back() - r.x.front());
  Doubles breaks;
  for (std::size_t i = 0; i < 60; i += 3) breaks.push_back(units.u(r.x[i]));
  breaks.push_back(units.u(r.x.back()));
  const Basis basis(breaks);
  const NormalEquations normal = assemble(basis, data, units, {});
  const Band penalty = basis.penalty_band();
  const DataFactor stacked = factor_data(basis, data, units);
  const double scale = normal.band.trace() / penalty.trace();
  for (const double u : {-3.0, 0.0, 4.0}) {
    const double lam = scale * std::pow(10.0, u);
    BandFactor cholesky, rotated;
    ASSERT_TRUE(cholesky.factor(normal.band, penalty, lam, 0));
    Doubles expected(normal.rhs.begin(), normal.rhs.end()), z(basis.size());
    cholesky.solve(expected);
    ASSERT_TRUE(factor_stacked(basis, stacked, lam, rotated, z));
    for (std::size_t i = 0; i < z.size(); ++i) EXPECT_NEAR(z[i], expected[i], 1e-9) << u << " " << i;
    const double edf = cholesky.trace_with(normal.band, 0);
    EXPECT_NEAR(rotated.trace_with(normal.band, 0), edf, 1e-10 * edf) << u;
  }
}

// On 2 x 10^4 knots, where the assembled band's rounding exceeds the
// penalty of a smooth curve, |R c|^2 - |R_G c|^2 is still lam integral S''^2
// for S = u^2 (Marsden's coefficients): S'' = 2.
TEST(Stacked, KeepsThePenaltyOfASmoothCurve) {
  const Record r = record(20000, 4);
  const Data data = r.data();
  const Units units = units_of(data, r.x.back() - r.x.front());
  Doubles breaks;
  for (const double x : r.x) breaks.push_back(units.u(x));
  const Basis basis(breaks);
  Doubles t(3, breaks.front());
  t.insert(t.end(), breaks.begin(), breaks.end());
  t.insert(t.end(), 3, breaks.back());
  Doubles c(basis.size());
  for (std::size_t j = 0; j < c.size(); ++j) {
    c[j] = (t[j + 1] * t[j + 2] + t[j + 1] * t[j + 3] + t[j + 2] * t[j + 3]) / 3;
  }
  const double lam = 1e6;
  const double exact = lam * 4 * (breaks.back() - breaks.front());
  const DataFactor stacked = factor_data(basis, data, units);
  BandFactor rotated;
  Doubles z(basis.size());
  ASSERT_TRUE(factor_stacked(basis, stacked, lam, rotated, z));
  const auto norm = [&](const Band& r) {
    double sum = 0;
    for (std::size_t i = 0; i < c.size(); ++i) {
      double row = 0;
      for (std::size_t d = 0; d <= 3 && i + d < c.size(); ++d) row += r.upper(i, i + d) * c[i + d];
      sum += row * row;
    }
    return sum;
  };
  EXPECT_NEAR(norm(rotated.rows()) - norm(stacked.r), exact, 1e-6 * exact);
}

}  // namespace
}  // namespace velarix::smoothing
