// The cost of the library calls that one evaluation cannot do without, on
// the same 1e6 sorted points the batch benchmark uses: the exponential
// tension piece calls exp twice per point, the variable-degree piece pow
// twice, and the rational cubic's second derivative divides three times.
// Their results must stay those of the C library (and of IEEE division), so
// these are floors of the evaluation, whatever the lookup costs.
//
// It also measures two floors of a fit at 1e6 knots: one tridiagonal solve
// (the library's own; its elimination is a chain of dependent divisions, so
// its cost is their latency) beside the cyclic solve of a periodic fit, and
// the first write of a fitted curve's storage, which is fresh memory that
// the kernel must map and clear (at 1e6 knots; smaller storage is kept
// mapped and reused).
//   cmake --build build --target velarix_floors && build/velarix_floors
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <utility>
#include <vector>

#include "memory.hpp"
#include "rational_cubic/piece.hpp"
#include "tension/piece.hpp"
#include "tridiagonal.hpp"
#include "variable_degree/piece.hpp"

namespace {

template <class F>
double nanoseconds_per_point(const std::vector<double>& t, F f) {
  std::vector<double> times;
  volatile double sink = 0;
  for (int repeat = 0; repeat < 7; ++repeat) {
    const auto start = std::chrono::steady_clock::now();
    double sum = 0;
    for (const double b : t) sum += f(b);
    sink = sink + sum;
    const std::chrono::duration<double, std::nano> elapsed =
        std::chrono::steady_clock::now() - start;
    times.push_back(elapsed.count() / static_cast<double>(t.size()));
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

template <class F>
double milliseconds(F f) {
  std::vector<double> times;
  for (int repeat = 0; repeat < 7; ++repeat) {
    const auto start = std::chrono::steady_clock::now();
    f();
    const std::chrono::duration<double, std::milli> elapsed =
        std::chrono::steady_clock::now() - start;
    times.push_back(elapsed.count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

// A diagonally dominant system of n rows, as the fits build them (the
// corner entries are those of a periodic fit's cyclic system).
struct System {
  velarix::Doubles lower, diag, upper, rhs;
};

System dominant_system(std::size_t n, std::mt19937_64& rng) {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  System s{velarix::Doubles(n), velarix::Doubles(n), velarix::Doubles(n), velarix::Doubles(n)};
  for (std::size_t i = 0; i < n; ++i) {
    s.lower[i] = unit(rng);
    s.upper[i] = unit(rng);
    s.diag[i] = 2 + s.lower[i] + s.upper[i];
    s.rhs[i] = unit(rng);
  }
  return s;
}

double tridiagonal_solve_ms(const System& s) {
  velarix::Doubles eliminated(s.diag.size()), solution(s.diag.size());
  return milliseconds(
      [&] { velarix::tridiagonal::solve(s.lower, s.diag, s.upper, s.rhs, eliminated, solution); });
}

double cyclic_solve_ms(const System& s) {
  velarix::Doubles eliminated(s.diag.size()), fill(s.diag.size()), solution(s.diag.size());
  return milliseconds([&] {
    velarix::tridiagonal::solve_cyclic(s.lower, s.diag, s.upper, s.rhs, eliminated, fill, solution);
  });
}

// Allocating `bytes` through the library's allocator and writing every
// double of it once, front to back, as a fit writes its pieces.
double fresh_write_ms(std::size_t bytes) {
  return milliseconds([&] {
    void* block = velarix::memory::allocate(bytes);
    volatile double* values = static_cast<double*>(block);
    for (std::size_t i = 0; i < bytes / sizeof(double); ++i) values[i] = 1.0;
    velarix::memory::deallocate(block, bytes);
  });
}

}  // namespace

int main() {
  std::mt19937_64 rng(20261208);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<double> t(1000000);
  for (double& b : t) b = unit(rng);
  std::sort(t.begin(), t.end());
  volatile double sigma_in = 2.0;
  volatile double degree_in = 3.0;
  volatile double h_in = 0.04;
  const double sigma = sigma_in;
  const double degree = degree_in;
  const double h = h_in;
  std::printf("two exp calls        %.2f ns per point\n", nanoseconds_per_point(t, [&](double b) {
                return std::exp(-sigma * (1 - b)) + std::exp(-sigma * b);
              }));
  std::printf("two pow calls        %.2f ns per point\n", nanoseconds_per_point(t, [&](double b) {
                return std::pow(1 - b, degree) + std::pow(b, degree);
              }));
  std::printf("three divisions      %.2f ns per point\n", nanoseconds_per_point(t, [&](double b) {
                return ((b / h) / (b + 1.5)) / (h * b + 1);
              }));
  std::printf("a loop that only adds %.2f ns per point\n",
              nanoseconds_per_point(t, [&](double b) { return b; }));

  const std::size_t n = 1000000;
  const System system = dominant_system(n, rng);
  const double plain = tridiagonal_solve_ms(system);
  const double cyclic = cyclic_solve_ms(system);
  std::printf("one tridiagonal solve, 1e6 rows        %.2f ms\n", plain);
  std::printf("one cyclic solve, 1e6 rows             %.2f ms (%.2f times)\n", cyclic,
              cyclic / plain);
  // A fitted curve keeps one knot and one piece per interval; four cubic
  // coefficients per interval are what a plain cubic spline keeps.
  const std::pair<const char*, std::size_t> curves[] = {
      {"four coefficients", 4 * sizeof(double)},
      {"rational cubic", sizeof(double) + sizeof(velarix::rational_cubic::RationalCubicPiece)},
      {"tension", sizeof(double) + sizeof(velarix::tension::TensionPiece)},
      {"variable degree", sizeof(double) + sizeof(velarix::variable_degree::VariableDegreePiece)},
  };
  for (const auto& [name, bytes] : curves) {
    std::printf("first write of 1e6 x %3zu bytes (%s) %.2f ms\n", bytes, name,
                fresh_write_ms(bytes * n));
  }
  // At 1e5 knots the same storage is at most 10.4 MB, which the allocator
  // keeps mapped between fits, so a fit of that size writes memory that is
  // already mapped: the ratio of the two sizes is the growth of this floor.
  const std::size_t tension_bytes = sizeof(double) + sizeof(velarix::tension::TensionPiece);
  const double small = fresh_write_ms(tension_bytes * n / 10);
  const double large = fresh_write_ms(tension_bytes * n);
  std::printf("tension storage, 1e5 then 1e6 intervals: %.2f ms, %.2f ms (%.1f times)\n", small,
              large, large / small);
}
