// Storage for the arrays of a fit and of a fitted curve, which are as long
// as the data. A fit writes each of its arrays once, front to back, so for
// long data its cost is dominated by the first touch of fresh memory: one
// page fault, and the clearing of the page, per 4 KiB. Blocks of half a
// megabyte and more are therefore mapped on their own and asked to be
// backed by huge pages (one fault per 2 MiB), and released blocks, up to
// a limit (64 MiB unless set otherwise, see set_cache_limit), are kept
// (lazily freed, so that the kernel may reclaim them) for the next request
// of the same size, so that repeated fits of one size reuse mapped pages.
// Smaller blocks come from operator new.
#pragma once

#include <cstddef>
#include <limits>
#include <new>
#include <utility>
#include <vector>

namespace velarix {
namespace memory {

// From this size on a block is mapped by itself (on Linux, and unless the
// build asks for every block through operator new, as the sanitizer build
// does so that the large arrays are checked too).
#if defined(__linux__) && !defined(VELARIX_PLAIN_ALLOCATION)
inline constexpr bool maps_large_blocks = true;
#else
inline constexpr bool maps_large_blocks = false;
#endif
// Low enough for the one-byte arrays of a fit of 10^6 knots: from the C
// library's heap they were given back to the system when the fit freed them
// (the heap's top is trimmed) and faulted in again by the next fit.
inline constexpr std::size_t mapped_from = std::size_t{512} << 10;

// Throws std::bad_alloc when no memory is left.
void* allocate(std::size_t bytes);
// `bytes` must be the size the block was allocated with.
void deallocate(void* block, std::size_t bytes) noexcept;

// The bytes of released blocks kept for reuse at most; a block of more than
// half of it is unmapped when released. Blocks beyond a lowered limit are
// unmapped at once, the oldest first; 0 keeps none.
inline constexpr std::size_t default_cache_limit = std::size_t{64} << 20;
std::size_t cache_limit();
// Returns the previous limit.
std::size_t set_cache_limit(std::size_t bytes);
// The bytes of released blocks kept now (within cache_limit()).
std::size_t cached_bytes();

// Types whose arrays are written in place, element by element, by several
// threads at once: sizing such an array leaves its elements uninitialized
// (see LargeAllocator::construct) rather than clearing memory that the
// writers, each on its own part, touch first.
template <class T>
inline constexpr bool filled_in_place = false;

}  // namespace memory

template <class T>
struct LargeAllocator {
  using value_type = T;

  LargeAllocator() = default;
  template <class U>
  LargeAllocator(const LargeAllocator<U>&) noexcept {}

  T* allocate(std::size_t count) {
    if (count > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(memory::allocate(count * sizeof(T)));
  }
  void deallocate(T* block, std::size_t count) noexcept {
    memory::deallocate(block, count * sizeof(T));
  }
  template <class U>
  void construct(U* at) {
    if constexpr (memory::filled_in_place<U>) {
      ::new (static_cast<void*>(at)) U;
    } else {
      ::new (static_cast<void*>(at)) U();
    }
  }

  friend bool operator==(const LargeAllocator&, const LargeAllocator&) { return true; }
};

template <class T>
using Vector = std::vector<T, LargeAllocator<T>>;
using Doubles = Vector<double>;

// For arrays written in full before anything reads them: sizing one leaves
// its elements uninitialized instead of zeroing them, a pass over memory
// that the writes repeat.
template <class T>
struct UnfilledAllocator : LargeAllocator<T> {
  template <class U>
  struct rebind {
    using other = UnfilledAllocator<U>;
  };

  UnfilledAllocator() = default;
  template <class U>
  UnfilledAllocator(const UnfilledAllocator<U>&) noexcept {}

  template <class U>
  void construct(U* at) noexcept {
    ::new (static_cast<void*>(at)) U;
  }
  template <class U, class... Args>
  void construct(U* at, Args&&... args) {
    ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
  }
};

using UnfilledDoubles = std::vector<double, UnfilledAllocator<double>>;

}  // namespace velarix
