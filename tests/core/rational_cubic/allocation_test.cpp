// Counts the heap allocations of the tridiagonal solver and of the convexity
// solve, whose sweeps reuse their storage: a solve allocates as much for ten
// sweeps as for one. The replaced global operator new serves the whole test
// executable; it counts only while `counting` is set, on this thread.
//
// The replacement pairs malloc with free on purpose; the compiler sees only
// operator new and free meeting once both are inlined.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <new>
#include <vector>

#include "memory.hpp"
#include "rational_cubic/solver.hpp"
#include "samples.hpp"
#include "tridiagonal.hpp"

namespace {

thread_local bool counting = false;
thread_local std::size_t allocations = 0;

}  // namespace

void* operator new(std::size_t size) {
  if (counting) ++allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace velarix::tridiagonal {
namespace {

class Allocations : public ::testing::TestWithParam<std::size_t> {};

TEST_P(Allocations, ExactlyTwoPerSolve) {
  const std::size_t n = GetParam();
  const std::vector<double> lower(n, 1.0), diag(n, 4.0), upper(n, 1.0), rhs(n, 6.0);
  allocations = 0;
  counting = true;
  const Doubles s = solve(lower, diag, upper, rhs);
  counting = false;
  EXPECT_EQ(allocations, 2u);
  EXPECT_EQ(s.size(), n);
}
// The largest size is the last whose arrays come from operator new.
INSTANTIATE_TEST_SUITE_P(Sizes, Allocations,
                         ::testing::Values(1, 2, 7, 1000, memory::mapped_from / sizeof(double) - 1));

std::size_t allocations_of_convexity_solve(std::uint64_t sweeps) {
  std::vector<double> x, y;
  for (int i = 0; i < 200; ++i) {
    x.push_back(i * 0.01 + (i % 3) * 0.003);
    y.push_back(std::exp(x.back()));
  }
  const Samples samples = Samples::create(x, y).value();
  // A zero tolerance is never met, so exactly `sweeps` sweeps are made.
  const rational_cubic::solver::SolveSettings settings{1, 1, 1e-3, 0.5, 0, sweeps, 1e6};
  allocations = 0;
  counting = true;
  const auto result = rational_cubic::solver::solve(samples, settings, 1, 7.5);
  counting = false;
  EXPECT_FALSE(result.ok());
  return allocations;
}

TEST(Allocations, ConvexitySolveAllocatesTheSameForAnyNumberOfSweeps) {
  EXPECT_EQ(allocations_of_convexity_solve(10), allocations_of_convexity_solve(1));
}

}  // namespace
}  // namespace velarix::tridiagonal
