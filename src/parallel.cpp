#include "parallel.hpp"

#if defined(__linux__)
#include <sched.h>
#endif

#include <algorithm>
#include <cstddef>
#include <utility>

namespace velarix::parallel {
namespace {

thread_local std::size_t setting = 0;  // 0: one per core

// The cores this process may run on: those of its affinity mask (a process
// pinned to some cores, or a container given some, sees fewer than the
// machine has), else the machine's.
std::size_t cores() {
#if defined(__linux__)
  cpu_set_t mask;
  if (sched_getaffinity(0, sizeof mask, &mask) == 0) {
    return static_cast<std::size_t>(std::max(CPU_COUNT(&mask), 1));
  }
#endif
  return std::max<std::size_t>(std::thread::hardware_concurrency(), 1);
}

}  // namespace

std::size_t workers() { return setting != 0 ? setting : cores(); }

std::size_t set_workers(std::size_t threads) { return std::exchange(setting, threads); }

std::size_t threads_for(std::size_t elements) {
  return std::max<std::size_t>(std::min(workers(), elements / kLeastPerThread), 1);
}

}  // namespace velarix::parallel
