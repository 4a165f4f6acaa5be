#include "memory.hpp"

#include <array>
#include <cstdint>
#include <mutex>

#if defined(__linux__) && !defined(VELARIX_PLAIN_ALLOCATION)
#include <pthread.h>
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

class BlockCache;
BlockCache& cache();

// Blocks released by one fit are taken again by the next fit of the same
// size instead of being unmapped and mapped afresh: pages that are still
// mapped need neither a fault nor clearing. Only exact lengths are reused
// (an array of n and one of n - 1 doubles mostly round to the same pages),
// and at most `limit_` bytes are kept, the oldest block going first. The
// default, 64 MiB, keeps what stays resident once every curve is dropped
// small, and still holds several work arrays of a fit of 10^6 knots (8 MiB
// per array of doubles); a caller that refits long data in a loop may
// raise it (256 MiB holds the work arrays of a quintic fit of 10^6 knots
// and the knots and pieces of its curve). Such a fit releases about twenty
// blocks, its one-byte class arrays among them; 32 are kept at most.
//
// A child forked while another thread holds the lock would wait for it
// forever (that thread does not exist in the child): the lock is taken
// around fork and released on both sides, so that the child starts with
// the cache consistent and unlocked.
//
// A kept block is lazily freed: the kernel may take its pages back when
// memory runs short, and then the next fit faults on them as on a fresh
// block; until then they are reused as they are. So the cache holds memory
// only while nothing else needs it.
class BlockCache {
 public:
  BlockCache() {
    pthread_atfork([] { cache().mutex_.lock(); }, [] { cache().mutex_.unlock(); },
                   [] { cache().mutex_.unlock(); });
  }

  std::size_t limit() {
    const std::lock_guard lock(mutex_);
    return limit_;
  }

  std::size_t set_limit(std::size_t bytes) {
    const std::lock_guard lock(mutex_);
    const std::size_t previous = limit_;
    limit_ = bytes;
    while (count_ > 0 && total_ > limit_) unmap_oldest();
    return previous;
  }

  std::size_t total() {
    const std::lock_guard lock(mutex_);
    return total_;
  }

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
    const std::lock_guard lock(mutex_);
    if (length > limit_ / 2) return false;
    while (count_ == blocks_.size() || total_ + length > limit_) unmap_oldest();
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

  void unmap_oldest() {
    munmap(blocks_[0].block, blocks_[0].length);
    remove(0);
  }

  void remove(std::size_t i) {
    total_ -= blocks_[i].length;
    for (std::size_t j = i + 1; j < count_; ++j) blocks_[j - 1] = blocks_[j];
    --count_;
  }

  std::mutex mutex_;
  std::size_t limit_ = default_cache_limit;
  std::array<Block, 32> blocks_{};
  std::size_t count_ = 0;
  std::size_t total_ = 0;
};

// Never destroyed: blocks may be released by other static destructors.
// Created on the first large block, so that the fork handlers are installed
// before any lock can be held.
BlockCache& cache() {
  static BlockCache* const instance = new BlockCache;
  return *instance;
}
#endif

}  // namespace

#ifdef VELARIX_MAPPED_BLOCKS
std::size_t cache_limit() { return cache().limit(); }
std::size_t set_cache_limit(std::size_t bytes) { return cache().set_limit(bytes); }
std::size_t cached_bytes() { return cache().total(); }
#else
// Without mapped blocks nothing is cached.
std::size_t cache_limit() { return 0; }
std::size_t set_cache_limit(std::size_t) { return 0; }
std::size_t cached_bytes() { return 0; }
#endif

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
