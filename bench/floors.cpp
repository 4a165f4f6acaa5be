// The cost of the library calls that one evaluation cannot do without, on
// the same 1e6 sorted points the batch benchmark uses: the exponential
// tension piece calls exp twice per point, the variable-degree piece pow
// twice, and the rational cubic's second derivative divides three times.
// Their results must stay those of the C library (and of IEEE division), so
// these are floors of the evaluation, whatever the lookup costs.
//   cmake --build build --target velarix_floors && build/velarix_floors
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

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
}
