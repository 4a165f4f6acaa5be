// Passes over long data split into chunks, one thread per chunk. A chunk's
// results are the same bits whichever thread computes them, and callers
// combine them in chunk order, so a fit gives the same curve on any number
// of threads.
#pragma once

#include <cstddef>
#include <exception>
#include <thread>
#include <vector>

namespace velarix::parallel {

// Below this many elements per thread a pass is not split: starting a
// thread costs tens of microseconds, the work of some 10^4 elements.
inline constexpr std::size_t kLeastPerThread = std::size_t{1} << 17;

// The threads a pass over `elements` may use: the calling thread's setting
// (see workers()), with enough elements for each.
std::size_t threads_for(std::size_t elements);

// Where chunk c of `chunks` equal parts of `count` elements begins (chunk
// `chunks` begins at `count`).
inline std::size_t chunk_begin(std::size_t count, std::size_t chunks, std::size_t c) {
  return c * count / chunks;
}

// The threads that passes started on the calling thread may use: one per
// core the process may run on unless set otherwise (set_workers(0) restores that). The setting
// belongs to the thread, so that a caller that runs fits side by side on
// every core can keep each of them to one.
std::size_t workers();
// Returns the previous setting (0 for one per core).
std::size_t set_workers(std::size_t threads);

// Sets the calling thread's workers while it lives.
class Workers {
 public:
  explicit Workers(std::size_t threads) : previous_(set_workers(threads)) {}
  ~Workers() { set_workers(previous_); }
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

 private:
  std::size_t previous_;
};

// Runs body(c) for every chunk c < count: chunk 0 on the calling thread,
// each other one on a thread of its own, and returns once all have. An
// exception from a chunk is rethrown here, the lowest chunk's first; a
// thread that cannot be started runs its chunk on the calling thread.
template <class Body>
void for_chunks(std::size_t count, Body&& body) {
  if (count <= 1) {
    if (count == 1) body(std::size_t{0});
    return;
  }
  std::vector<std::exception_ptr> errors(count);
  std::vector<std::thread> threads;
  threads.reserve(count - 1);
  const auto guarded = [&](std::size_t c) noexcept {
    try {
      body(c);
    } catch (...) {
      errors[c] = std::current_exception();
    }
  };
  for (std::size_t c = 1; c < count; ++c) {
    try {
      threads.emplace_back(guarded, c);
    } catch (...) {  // not started
      guarded(c);
    }
  }
  guarded(0);
  for (std::thread& thread : threads) thread.join();
  for (const std::exception_ptr& error : errors) {
    if (error) std::rethrow_exception(error);
  }
}

}  // namespace velarix::parallel
