#include "parallel.hpp"

#include <algorithm>
#include <utility>

namespace velarix::parallel {
namespace {
thread_local std::size_t setting = 0;  // 0: one per core
}  // namespace

std::size_t workers() {
  return setting != 0 ? setting : std::max<std::size_t>(std::thread::hardware_concurrency(), 1);
}

std::size_t set_workers(std::size_t threads) { return std::exchange(setting, threads); }

std::size_t threads_for(std::size_t elements) {
  return std::max<std::size_t>(std::min(workers(), elements / kLeastPerThread), 1);
}

}  // namespace velarix::parallel
