// Counts the heap allocations of the tridiagonal solver, which the convexity
// solve calls once per sweep. The replaced global operator new serves the whole
// test executable; it counts only while `counting` is set, on this thread.
//
// The replacement pairs malloc with free on purpose; the compiler sees only
// operator new and free meeting once both are inlined.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <new>
#include <vector>

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

TEST_P(Allocations, ExactlyThreePerSolve) {
  const std::size_t n = GetParam();
  const std::vector<double> lower(n, 1.0), diag(n, 4.0), upper(n, 1.0), rhs(n, 6.0);
  allocations = 0;
  counting = true;
  const std::vector<double> s = solve(lower, diag, upper, rhs);
  counting = false;
  EXPECT_EQ(allocations, 3u);
  EXPECT_EQ(s.size(), n);
}
INSTANTIATE_TEST_SUITE_P(Sizes, Allocations, ::testing::Values(1, 2, 7, 1000, 100000));

}  // namespace
}  // namespace velarix::tridiagonal
