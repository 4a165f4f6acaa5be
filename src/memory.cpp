#include "memory.hpp"

#include <array>
#include <cstdint>
#include <mutex>

#if defined(__linux__) && !defined(VELARIX_PLAIN_ALLOCATION)
#include <sys/mman.h>
#define VELARIX_MAPPED_BLOCKS
#endif

namespace velarix::memory {
namespace {

#ifdef VELARIX_MAPPED_BLOCKS
constexpr std::size_t page = 4096;
constexpr std::size_t huge_page = std::size_t{2} << 20;

std::size_t round_up(std::size_t bytes, std::size_t to) { return (bytes + to - 1) / to * to; }

// A mapping of `length` bytes (a multiple of the page) that starts on a huge
// page boundary, so that the kernel can back all of it but the tail with
// huge pages. Over-maps by one huge page and trims both ends.
void* map_aligned(std::size_t length) {
  const std::size_t padded = length + huge_page - page;
  void* raw = mmap(nullptr, padded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = round_up(start, huge_page);
  if (aligned > start) munmap(raw, aligned - start);
  const std::uintptr_t end = aligned + length;
  if (start + padded > end) munmap(reinterpret_cast<void*>(end), start + padded - end);
  void* block = reinterpret_cast<void*>(aligned);
  // Only advice: without it (or without huge pages) the block still works.
  madvise(block, length, MADV_HUGEPAGE);
  return block;
}

// Blocks released by one fit are taken again by the next fit of the same
// size instead of being unmapped and mapped afresh: pages that are still
// mapped need neither a fault nor clearing. Only exact lengths are reused
// (an array of n and one of n - 1 doubles mostly round to the same pages),
// and at most `capacity` bytes are kept, the oldest block going first. That
// holds the work arrays of a fit of 10^6 knots and the knots and pieces of
// the curve it returns (about 120 MiB for the quintic), so that a freed
// spline's pieces, a block several times the size of any work array, do not
// push the work arrays out. Such a fit releases about twenty blocks, its
// one-byte class arrays among them; 32 are kept at most.
//
// A kept block is lazily freed: the kernel may take its pages back when
// memory runs short, and then the next fit faults on them as on a fresh
// block; until then they are reused as they are. So the cache holds memory
// only while nothing else needs it.
class BlockCache {
 public:
  static constexpr std::size_t capacity = std::size_t{256} << 20;
  static constexpr std::size_t largest_kept = capacity / 2;

  void* take(std::size_t length) {
    const std::lock_guard lock(mutex_);
    for (std::size_t i = count_; i-- > 0;) {
      if (blocks_[i].length != length) continue;
      void* block = blocks_[i].block;
      remove(i);
      return block;
    }
    return nullptr;
  }

  // False when the block is not kept; the caller unmaps it.
  bool keep(void* block, std::size_t length) {
    if (length > largest_kept) return false;
    const std::lock_guard lock(mutex_);
    while (count_ == blocks_.size() || total_ + length > capacity) {
      munmap(blocks_[0].block, blocks_[0].length);
      remove(0);
    }
#ifdef MADV_FREE
    // Only advice: a kernel without lazy freeing keeps the pages mapped.
    madvise(block, length, MADV_FREE);
#endif
    blocks_[count_++] = {block, length};
    total_ += length;
    return true;
  }

 private:
  struct Block {
    void* block;
    std::size_t length;
  };

  void remove(std::size_t i) {
    total_ -= blocks_[i].length;
    for (std::size_t j = i + 1; j < count_; ++j) blocks_[j - 1] = blocks_[j];
    --count_;
  }

  std::mutex mutex_;
  std::array<Block, 32> blocks_{};
  std::size_t count_ = 0;
  std::size_t total_ = 0;
};

// Never destroyed: blocks may be released by other static destructors.
BlockCache& cache() {
  static BlockCache* const instance = new BlockCache;
  return *instance;
}
#endif

}  // namespace

void* allocate(std::size_t bytes) {
#ifdef VELARIX_MAPPED_BLOCKS
  if (bytes >= mapped_from) {
    if (bytes > std::numeric_limits<std::size_t>::max() - huge_page) throw std::bad_alloc();
    const std::size_t length = round_up(bytes, page);
    if (void* block = cache().take(length)) return block;
    return map_aligned(length);
  }
#endif
  return ::operator new(bytes);
}

void deallocate(void* block, [[maybe_unused]] std::size_t bytes) noexcept {
#ifdef VELARIX_MAPPED_BLOCKS
  if (bytes >= mapped_from) {
    const std::size_t length = round_up(bytes, page);
    if (!cache().keep(block, length)) munmap(block, length);
    return;
  }
#endif
  ::operator delete(block);
}

}  // namespace velarix::memory
