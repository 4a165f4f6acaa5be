// The smoother's banded numerics against the same quantities computed
// densely: products, the Cholesky solve and the traces of the inverse, the
// reductions a held bound makes, and the bordered solve with its hat-matrix
// trace.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <cstdint>
#include <random>
#include <vector>

#include "smoothing/active_set.hpp"
#include "smoothing/banded.hpp"
#include "smoothing/basis.hpp"
#include "smoothing/coordinates.hpp"

namespace velarix::smoothing {
namespace {

using Dense = std::vector<Doubles>;

Dense dense(const Band& m) {
  Dense out(m.size, Doubles(m.size, 0.0));
  for (std::size_t i = 0; i < m.size; ++i) {
    for (std::size_t j = 0; j < m.size; ++j) out[i][j] = m.at(i, j);
  }
  return out;
}

// x = A^-1 b by Gaussian elimination with partial pivoting.
Doubles dense_solve(Dense a, Doubles b) {
  const std::size_t n = b.size();
  for (std::size_t k = 0; k < n; ++k) {
    std::size_t p = k;
    for (std::size_t i = k + 1; i < n; ++i) p = std::fabs(a[i][k]) > std::fabs(a[p][k]) ? i : p;
    std::swap(a[k], a[p]);
    std::swap(b[k], b[p]);
    for (std::size_t i = k + 1; i < n; ++i) {
      const double f = a[i][k] / a[k][k];
      for (std::size_t j = k; j < n; ++j) a[i][j] -= f * a[k][j];
      b[i] -= f * b[k];
    }
  }
  for (std::size_t k = n; k-- > 0;) {
    for (std::size_t j = k + 1; j < n; ++j) b[k] -= a[k][j] * b[j];
    b[k] /= a[k][k];
  }
  return b;
}

// trace(A^-1 M), column by column.
double dense_trace(const Dense& a, const Dense& m) {
  double trace = 0;
  for (std::size_t j = 0; j < a.size(); ++j) {
    Doubles column(a.size());
    for (std::size_t i = 0; i < a.size(); ++i) column[i] = m[i][j];
    trace += dense_solve(a, column)[j];
  }
  return trace;
}

Dense sum(const Dense& g, const Dense& p, double lam) {
  Dense out = g;
  for (std::size_t i = 0; i < g.size(); ++i) {
    for (std::size_t j = 0; j < g.size(); ++j) out[i][j] += lam * p[i][j];
  }
  return out;
}

// A banded Gram-like matrix: diagonally dominant, so positive definite.
Band random_band(std::size_t n, std::size_t width, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<> unit(-1, 1);
  Band m(n, width);
  for (std::size_t i = 0; i < n; ++i) {
    m.upper(i, i) = 2.0 * width + 1 + unit(rng);
    for (std::size_t d = 1; d <= width && i + d < n; ++d) m.upper(i, i + d) = unit(rng);
  }
  return m;
}

Doubles random_vector(std::size_t n, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<> unit(-1, 1);
  Doubles v(n);
  for (double& x : v) x = unit(rng);
  return v;
}

TEST(Band, ProductsAgreeWithTheDenseMatrix) {
  const Band m = random_band(23, 3, 1);
  const Dense d = dense(m);
  const Doubles x = random_vector(23, 2), y = random_vector(23, 3);
  Doubles out(23);
  multiply(m, x, out);
  for (std::size_t i = 0; i < 23; ++i) {
    double expected = 0;
    for (std::size_t j = 0; j < 23; ++j) expected += d[i][j] * x[j];
    EXPECT_NEAR(out[i], expected, 1e-13);
  }
  for (const std::size_t offset : {0u, 2u}) {
    const std::span<const double> xs = std::span<const double>(x).subspan(offset);
    const std::span<const double> ys = std::span<const double>(y).subspan(offset);
    double expected = 0;
    for (std::size_t i = offset; i < 23; ++i) {
      for (std::size_t j = offset; j < 23; ++j) expected += x[i] * d[i][j] * y[j];
    }
    EXPECT_NEAR(bilinear(m, offset, xs, ys), expected, 1e-12) << offset;
  }
  EXPECT_NEAR(quadratic(m, x), bilinear(m, 0, x, x), 1e-12);
}

struct FactorCase {
  std::size_t offset;
  double lam;
};

class Factors : public ::testing::TestWithParam<FactorCase> {};

// The factor of G + lam P on the rows from `offset` on solves that block and
// gives trace(A^-1 M) from the band of the inverse alone.
TEST_P(Factors, SolveAndTraceAgreeWithTheDenseInverse) {
  const auto [offset, lam] = GetParam();
  const std::size_t n = 31;
  const Band g = random_band(n, 3, 5), p = random_band(n, 2, 6);
  BandFactor factor;
  ASSERT_TRUE(factor.factor(g, p, lam, offset));
  const std::size_t m = n - offset;
  Dense block(m, Doubles(m)), gram(m, Doubles(m));
  for (std::size_t i = 0; i < m; ++i) {
    for (std::size_t j = 0; j < m; ++j) {
      block[i][j] = g.at(i + offset, j + offset) + lam * p.at(i + offset, j + offset);
      gram[i][j] = g.at(i + offset, j + offset);
    }
  }
  Doubles x = random_vector(m, 7);
  const Doubles expected = dense_solve(block, x);
  factor.solve(x);
  for (std::size_t i = 0; i < m; ++i) EXPECT_NEAR(x[i], expected[i], 1e-12 * (1 + std::fabs(expected[i])));
  const double trace = dense_trace(block, gram);
  EXPECT_NEAR(factor.trace_with(g, offset), trace, 1e-12 * trace);
}

INSTANTIATE_TEST_SUITE_P(Smoothing, Factors,
                         ::testing::Values(FactorCase{0, 1e-3}, FactorCase{1, 1.0},
                                           FactorCase{2, 1e3}, FactorCase{2, 0.0}));

TEST(Factors, RefuseAMatrixThatIsNotPositiveDefinite) {
  Band g = random_band(9, 3, 8);
  const Band p = random_band(9, 3, 9);
  g.upper(4, 4) = -50;
  BandFactor factor;
  EXPECT_FALSE(factor.factor(g, p, 1.0, 0));
}

// q - G x - lam P x_p, each product in full.
TEST(Band, ResidualTakesThePenaltyOnItsOwnVector) {
  const Band g = random_band(12, 3, 10), p = random_band(12, 3, 11);
  const Doubles q = random_vector(12, 12), x = random_vector(12, 13), xp = random_vector(12, 14);
  Doubles out(12), gx(12), px(12);
  residual(g, p, 0.75, q, x, xp, out);
  multiply(g, x, gx);
  multiply(p, xp, px);
  for (std::size_t i = 0; i < 12; ++i) EXPECT_NEAR(out[i], q[i] - gx[i] - 0.75 * px[i], 1e-14);
}

// The band padded with zero diagonals: the general loops then run every
// operation of the cubic width's spelt-out ones, plus exact zeros.
Band padded(const Band& m, std::size_t width) {
  Band out(m.size, width);
  for (std::size_t i = 0; i < m.size; ++i) {
    for (std::size_t d = 0; d <= m.width && i + d < m.size; ++d) out.upper(i, i + d) = m.upper(i, i + d);
  }
  return out;
}

bool same_bits(std::span<const double> a, std::span<const double> b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// The factor, its solves and the band-inverse trace at width 3 give the
// bits of the general loops, and so does the bordered solve of the
// unreduced system (the null vectors' columns, S and the refinement).
TEST(Factors, SpeltOutWidthGivesTheBitsOfTheGeneralLoops) {
  const std::size_t n = 40;
  const Band g = random_band(n, 3, 21), p = random_band(n, 3, 22);
  const Band g4 = padded(g, 4), p4 = padded(p, 4);
  BandFactor cubic, general;
  for (const std::size_t offset : {0u, 2u}) {
    ASSERT_TRUE(cubic.factor(g, p, 0.37, offset));
    ASSERT_TRUE(general.factor(g4, p4, 0.37, offset));
    Doubles x = random_vector(n - offset, 23), y = x;
    cubic.solve(x);
    general.solve(y);
    EXPECT_TRUE(same_bits(x, y)) << offset;
    const double a = cubic.trace_with(p, offset), b = general.trace_with(p4, offset);
    EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0) << offset;
  }
  const Basis basis(Doubles{0.0, 0.1, 0.25, 0.3, 0.5, 0.55, 0.7, 0.8, 0.95, 1.0});
  const Coordinates none(basis, Shape::none);
  const Doubles greville = basis.greville();
  const Reduction z = none.reduction(Vector<std::uint8_t>(none.size(), 0), greville);
  const std::size_t k = basis.size();
  const NormalEquations normal{random_band(k, 3, 24), random_vector(k, 25), 9.0};
  const NormalEquations normal4{padded(normal.band, 4), normal.rhs, 9.0};
  const Band penalty = basis.penalty_band(), penalty4 = padded(penalty, 4);
  const ReducedSystem cubic_system(z, normal, penalty), general_system(z, normal4, penalty4);
  Workspace one, two;
  Doubles zc(k), zg(k);
  ASSERT_TRUE(cubic_system.solve(0.01, one, zc));
  ASSERT_TRUE(general_system.solve(0.01, two, zg));
  EXPECT_TRUE(same_bits(zc, zg));
  EXPECT_EQ(cubic_system.edf(0.01, one), general_system.edf(0.01, two));
}

const Doubles kBreaks = {0.0, 0.3, 0.35, 1.0, 1.6, 2.0, 2.2, 3.1, 4.0, 4.05, 5.0};

struct Held {
  Shape shape;
  std::vector<std::size_t> bounds;
};

class Reductions : public ::testing::TestWithParam<Held> {};

Vector<std::uint8_t> held_set(const Coordinates& c, const std::vector<std::size_t>& bounds) {
  Vector<std::uint8_t> held(c.size(), 0);
  for (const std::size_t j : bounds) held[j] = c.bounded()[j];
  return held;
}

// Z's columns keep the held coordinates at zero, Z^T is its adjoint and
// reduce() is Z^T M Z; the bordered solve and its trace are those of the
// dense reduced system, and lines (when no stretch is flat) solve exactly.
TEST_P(Reductions, AreTheDenseReducedSystem) {
  const auto& [shape, bounds] = GetParam();
  const Basis basis(kBreaks);
  const Coordinates coordinates(basis, shape);
  const Doubles greville = basis.greville();
  const Reduction z = coordinates.reduction(held_set(coordinates, bounds), greville);
  const std::size_t k = coordinates.size(), m = z.columns;
  Dense columns(k, Doubles(m, 0.0));
  for (std::size_t a = 0; a < m; ++a) {
    Doubles unit(m, 0.0), c(k);
    unit[a] = 1;
    z.expand(unit, c);
    for (std::size_t i = 0; i < k; ++i) columns[i][a] = c[i];
  }
  Doubles beta(k);
  Doubles any = random_vector(m, 15), c(k);
  z.expand(any, c);
  coordinates.beta_of(coordinates.curve_of(c), beta);
  for (const std::size_t j : bounds) {
    if (coordinates.bounded()[j]) {
      EXPECT_NEAR(beta[j], 0.0, 1e-9) << j;
    }
  }
  const Doubles w = random_vector(k, 16);
  Doubles projected(m);
  z.project(w, projected);
  for (std::size_t a = 0; a < m; ++a) {
    double expected = 0;
    for (std::size_t i = 0; i < k; ++i) expected += columns[i][a] * w[i];
    EXPECT_NEAR(projected[a], expected, 1e-13);
  }
  NormalEquations normal{random_band(k, 3, 17), random_vector(k, 18), 40.0};
  const Band penalty = basis.penalty_band();
  const auto reduced = [&](const Dense& full) {
    Dense out(m, Doubles(m, 0.0));
    for (std::size_t a = 0; a < m; ++a) {
      for (std::size_t b = 0; b < m; ++b) {
        for (std::size_t i = 0; i < k; ++i) {
          for (std::size_t j = 0; j < k; ++j) out[a][b] += columns[i][a] * full[i][j] * columns[j][b];
        }
      }
    }
    return out;
  };
  const Dense g = reduced(dense(normal.band)), p = reduced(dense(penalty));
  const Dense band_g = dense(z.reduce(normal.band));
  for (std::size_t a = 0; a < m; ++a) {
    for (std::size_t b = 0; b < m; ++b) EXPECT_NEAR(band_g[a][b], g[a][b], 1e-12);
  }
  const ReducedSystem system(z, normal, penalty);
  Workspace work;
  for (const double lam : {1e-4, 0.3, 50.0}) {
    Doubles solved(m);
    ASSERT_TRUE(system.solve(lam, work, solved));
    Doubles q(m);
    z.project(normal.rhs, q);
    const Dense h = sum(g, p, lam);
    const Doubles expected = dense_solve(h, q);
    for (std::size_t a = 0; a < m; ++a) EXPECT_NEAR(solved[a], expected[a], 1e-10) << lam;
    const double edf = dense_trace(h, g);
    EXPECT_NEAR(system.edf(lam, work), edf, 1e-9 * edf) << lam;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Smoothing, Reductions,
    ::testing::Values(Held{Shape::none, {}}, Held{Shape::increasing, {3, 4, 5, 9}},
                      Held{Shape::increasing, {1, 2}}, Held{Shape::convex, {4, 5, 6}},
                      Held{Shape::decreasing_concave, {1, 7, 8}},
                      Held{Shape::increasing_convex, {2, 3, 10, 11}}));

}  // namespace
}  // namespace velarix::smoothing
