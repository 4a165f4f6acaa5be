// The allocator behind the long arrays: blocks below and above the size from
// which they are mapped by themselves, and vectors that grow across it.
#include "memory.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <numeric>

namespace velarix {
namespace {

class Blocks : public ::testing::TestWithParam<std::size_t> {};

TEST_P(Blocks, AreWritableWholeAndReleased) {
  const std::size_t bytes = GetParam();
  for (int round = 0; round < 3; ++round) {
    auto* block = static_cast<unsigned char*>(memory::allocate(bytes));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % alignof(std::max_align_t), 0u);
    std::memset(block, 0xA5, bytes);
    EXPECT_EQ(block[0], 0xA5);
    EXPECT_EQ(block[bytes - 1], 0xA5);
    memory::deallocate(block, bytes);
  }
}
INSTANTIATE_TEST_SUITE_P(Sizes, Blocks,
                         ::testing::Values(1, 4095, memory::mapped_from - 1, memory::mapped_from,
                                           memory::mapped_from + 1, memory::mapped_from + 12345,
                                           std::size_t{37} << 20));

// A work array just above the mapped size, and the pieces of a curve of 10^6
// intervals (64 MB), which a fit of the same size takes again once the
// cache's limit holds them (the default keeps blocks up to 32 MiB).
class Reuse : public ::testing::TestWithParam<std::size_t> {};

TEST_P(Reuse, AReleasedLargeBlockServesTheNextRequestOfItsSize) {
  if (!memory::maps_large_blocks) GTEST_SKIP() << "every block comes from operator new";
  const std::size_t bytes = GetParam();
  const std::size_t limit = memory::set_cache_limit(std::size_t{256} << 20);
  EXPECT_EQ(limit, memory::default_cache_limit);
  void* first = memory::allocate(bytes);
  static_cast<char*>(first)[bytes - 1] = 1;
  memory::deallocate(first, bytes);
  void* other = memory::allocate(bytes + (std::size_t{1} << 20));
  void* again = memory::allocate(bytes);
  EXPECT_EQ(again, first);
  EXPECT_NE(other, first);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(again) % (std::size_t{2} << 20), 0u);
  memory::deallocate(again, bytes);
  memory::deallocate(other, bytes + (std::size_t{1} << 20));
  memory::set_cache_limit(limit);
  EXPECT_LE(memory::cached_bytes(), limit);
}
INSTANTIATE_TEST_SUITE_P(Sizes, Reuse, ::testing::Values(memory::mapped_from + 1000, 64000000));

TEST(Blocks, AbsurdSizesFailAsBadAlloc) {
  EXPECT_THROW(LargeAllocator<double>().allocate(~std::size_t{0} / 4), std::bad_alloc);
  // Through operator new (the sanitizer build) the runtime stops the process
  // at such a size instead of throwing.
  if (memory::maps_large_blocks) {
    EXPECT_THROW(memory::allocate(~std::size_t{0} - 100), std::bad_alloc);
  }
}

TEST(Vector, KeepsItsElementsWhileGrowingAcrossTheMappedSize) {
  Doubles values;
  const std::size_t count = 3 * memory::mapped_from / sizeof(double);
  for (std::size_t i = 0; i < count; ++i) values.push_back(static_cast<double>(i));
  double expected = 0.5 * static_cast<double>(count) * static_cast<double>(count - 1);
  EXPECT_EQ(std::accumulate(values.begin(), values.end(), 0.0), expected);
  values.resize(10);
  values.shrink_to_fit();
  EXPECT_EQ(values.back(), 9.0);
  Doubles copy = values;
  EXPECT_EQ(copy, values);
}

}  // namespace
}  // namespace velarix
