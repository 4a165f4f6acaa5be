#include "tridiagonal.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "error.hpp"

namespace velarix::tridiagonal {
namespace {

using V = Doubles;

TEST(Tridiagonal, SingleRow) { EXPECT_EQ(solve(V{9}, V{4}, V{9}, V{2}), (V{0.5})); }

TEST(Tridiagonal, SmallSystem) {
  const V s = solve(V{0, 1, 1}, V{2, 2, 2}, V{1, 1, 0}, V{3, 4, 3});
  ASSERT_EQ(s.size(), 3u);
  for (double v : s) EXPECT_NEAR(v, 1.0, 4e-16);
}

TEST(Tridiagonal, UnitBoundaryRowsAreReturnedUnchanged) {
  const V s = solve(V{0, 1, 0}, V{1, 4, 1}, V{0, 1, 0}, V{-2.5, 6, 7.25});
  EXPECT_EQ(s.front(), -2.5);
  EXPECT_EQ(s.back(), 7.25);
}

// Random diagonally dominant systems: the residual is at rounding level.
TEST(Tridiagonal, SolvesDominantSystems) {
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> u(-1, 1);
  for (int trial = 0; trial < 50; ++trial) {
    const std::size_t n = 1 + trial * 7;
    V a(n), b(n), c(n), r(n);
    for (std::size_t i = 0; i < n; ++i) {
      a[i] = u(rng);
      c[i] = u(rng);
      b[i] = 2.5 + u(rng);
      r[i] = 10 * u(rng);
    }
    const V s = solve(a, b, c, r);
    for (std::size_t i = 0; i < n; ++i) {
      double lhs = b[i] * s[i];
      if (i > 0) lhs += a[i] * s[i - 1];
      if (i + 1 < n) lhs += c[i] * s[i + 1];
      EXPECT_NEAR(lhs, r[i], 1e-12 * (1 + std::abs(r[i])));
    }
  }
}

struct Fault {
  V lower, diag, upper, rhs;
  const char* message;
};

class TridiagonalFaults : public ::testing::TestWithParam<Fault> {};

TEST_P(TridiagonalFaults, ThrowWithTheirMessage) {
  const Fault& f = GetParam();
  try {
    (void)solve(f.lower, f.diag, f.upper, f.rhs);
    FAIL() << "no fault reported";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), f.message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Examples, TridiagonalFaults,
    ::testing::Values(Fault{{0, 0}, {0, 1}, {0, 0}, {1, 1}, "zero pivot at row 0"},
                      Fault{{0, 1}, {1, 1}, {1, 0}, {1, 1}, "zero pivot at row 1"},
                      Fault{{0, 0, 0}, {1, 1, 1}, {0, 0}, {1, 1, 1},
                            "tridiagonal slices must have equal length"},
                      Fault{{0, 0}, {1, 1, 1}, {0, 0, 0}, {1, 1, 1},
                            "tridiagonal slices must have equal length"},
                      Fault{{}, {}, {}, {}, "tridiagonal system has no rows"}));


// The pivoted solve has the same faults, with the same messages.
TEST_P(TridiagonalFaults, ThrowWithTheirMessageWhenPivoted) {
  Fault f = GetParam();
  try {
    solve_pivoted(f.lower, f.diag, f.upper, f.rhs);
    FAIL() << "no fault reported";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), f.message);
  }
}

// Systems far from diagonal dominance (zero and tiny diagonals, so rows are
// exchanged) leave a residual at rounding level of the terms of each row.
TEST(TridiagonalPivoted, SolvesIndefiniteSystems) {
  V lower{9, 1}, diag{0, 0}, upper{1, 9}, rhs{2, 3};
  solve_pivoted(lower, diag, upper, rhs);
  EXPECT_EQ(rhs, (V{3, 2}));
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> u(-1, 1);
  for (int trial = 0; trial < 40; ++trial) {
    const std::size_t n = 1 + trial * 13;
    V a(n), b(n), c(n), r(n);
    for (std::size_t i = 0; i < n; ++i) {
      a[i] = u(rng), b[i] = 0.01 * u(rng), c[i] = u(rng), r[i] = u(rng);
    }
    V la = a, lb = b, lc = c, x = r;
    solve_pivoted(la, lb, lc, x);
    for (std::size_t i = 0; i < n; ++i) {
      using L = long double;
      const L left = i > 0 ? L(a[i]) * x[i - 1] : 0, right = i + 1 < n ? L(c[i]) * x[i + 1] : 0;
      const L lhs = left + L(b[i]) * x[i] + right;
      const double size = double(std::abs(left) + std::abs(L(b[i]) * x[i]) + std::abs(right));
      EXPECT_NEAR(double(lhs), r[i], 1e-12 * size) << "n = " << n << ", row " << i;
    }
  }
}

// The cyclic system written out densely (the corners wrap, and for n <= 2
// the entries of a row on one unknown add up), solved by Gaussian
// elimination in long double (no pivoting: the systems are dominant).
V dense_cyclic(const V& a, const V& b, const V& c, const V& r) {
  using L = long double;
  const std::size_t n = b.size();
  std::vector<std::vector<L>> m(n, std::vector<L>(n + 1, 0));
  for (std::size_t i = 0; i < n; ++i) {
    m[i][(i + n - 1) % n] += a[i], m[i][i] += b[i], m[i][(i + 1) % n] += c[i], m[i][n] = r[i];
  }
  for (std::size_t k = 0; k < n; ++k) {
    for (std::size_t i = k + 1; i < n; ++i) {
      const L l = m[i][k] / m[k][k];
      for (std::size_t j = k; j <= n; ++j) m[i][j] -= l * m[k][j];
    }
  }
  V x(n);
  for (std::size_t k = n; k-- > 0;) {
    L sum = m[k][n];
    for (std::size_t j = k + 1; j < n; ++j) sum -= m[k][j] * x[j];
    x[k] = double(sum / m[k][k]);
  }
  return x;
}

// Random diagonally dominant cyclic systems of 1 to 40 rows, the dominance
// from strong to barely there: the cyclic solve agrees with the dense one to
// a few ulps of the largest unknown times the condition (at most 1 / margin).
// Without the corner entries it performs the plain solve's operations (the
// fill stays zero) and agrees with it bit for bit, with the solution, the
// eliminated diagonal and the fill written over rhs, upper and lower.
TEST(CyclicTridiagonal, AgreesWithTheDenseSolveAndWithoutCornersWithThePlainOne) {
  std::mt19937 rng(29);
  std::uniform_real_distribution<double> u(-1, 1);
  for (const double margin : {2.0, 0.1, 1e-3}) {
    for (std::size_t n = 1; n <= 40; ++n) {
      V a(n), b(n), c(n), r(n);
      for (std::size_t i = 0; i < n; ++i) {
        a[i] = u(rng), c[i] = u(rng), r[i] = 10 * u(rng);
        b[i] = (std::abs(a[i]) + std::abs(c[i]) + margin) * (u(rng) < 0 ? -1 : 1);
      }
      const V x = solve_cyclic(a, b, c, r), want = dense_cyclic(a, b, c, r);
      const double scale = std::abs(*std::max_element(
          want.begin(), want.end(), [](double p, double q) { return std::abs(p) < std::abs(q); }));
      for (std::size_t i = 0; i < n; ++i) {
        ASSERT_NEAR(x[i], want[i], 64 * 0x1p-53 * scale / std::min(margin, 1.0)) << n << " " << i;
      }
      a[0] = 0, c[n - 1] = 0;
      const V plain = solve(a, b, c, r);
      solve_cyclic(a, b, c, r, c, a, r);
      ASSERT_EQ(r, plain) << n;
    }
  }
}

// The cyclic solve has the faults of the plain one, with the same messages.
TEST_P(TridiagonalFaults, ThrowWithTheirMessageWhenCyclic) {
  const Fault& f = GetParam();
  try {
    (void)solve_cyclic(f.lower, f.diag, f.upper, f.rhs);
    FAIL() << "no fault reported";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), f.message);
  }
}

}  // namespace
}  // namespace velarix::tridiagonal
