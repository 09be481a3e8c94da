// Bulk memory: every size gives usable, aligned, separate memory, and everything given back,
// from whichever thread, is unmapped once its last buffer is.
#include "platform/memory/bulk_memory.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kolvo {
namespace {

constexpr std::size_t kKiB = 1024;
constexpr std::size_t kMiB = 1024 * kKiB;

struct Buffer {
  unsigned char* memory;
  std::size_t bytes;
};

// Allocates each size and fills its buffer with a byte of its own, first to last.
std::vector<Buffer> allocate_filled(const std::vector<std::size_t>& sizes) {
  std::vector<Buffer> buffers;
  for (const std::size_t bytes : sizes) {
    auto* memory = static_cast<unsigned char*>(allocate_bulk(bytes));
    std::memset(memory, static_cast<int>(buffers.size() + 1), bytes);
    buffers.push_back({memory, bytes});
  }
  return buffers;
}

// Allocating on a thread that has ended leaves nothing held for that thread.
std::vector<Buffer> allocate_filled_on_another_thread(const std::vector<std::size_t>& sizes) {
  std::vector<Buffer> buffers;
  std::thread([&] { buffers = allocate_filled(sizes); }).join();
  return buffers;
}

void release_all(const std::vector<Buffer>& buffers) {
  for (const Buffer& buffer : buffers) release_bulk(buffer.memory, buffer.bytes);
}

// Whether this build cuts buffers from chunks of its own, rather than taking them from the
// C library's heap.
bool pooled() {
  const BulkMemoryUse before = bulk_memory_use();
  const std::vector<Buffer> one = allocate_filled_on_another_thread({1});
  const bool counted = bulk_memory_use().chunks > before.chunks;
  release_all(one);
  return counted;
}

TEST(BulkMemoryTest, EverySizeIsAlignedWritableAndApartFromTheOthers) {
  // Around each boundary: the smallest sizes, the largest cut from a chunk and the smallest
  // mapped on its own, about a huge page, and more than a chunk holds in total.
  const std::vector<std::size_t> sizes = {1,         15,
                                          16,        17,
                                          100,       64 * kKiB - 1,
                                          64 * kKiB, 64 * kKiB + 1,
                                          1 * kMiB,  2 * kMiB - 1,
                                          2 * kMiB,  2 * kMiB + 1,
                                          5 * kMiB,  24,
                                          300,       64 * kKiB};
  const std::vector<Buffer> buffers = allocate_filled(sizes);
  for (std::size_t i = 0; i < buffers.size(); ++i) {
    SCOPED_TRACE("size " + std::to_string(buffers[i].bytes));
    const auto address = reinterpret_cast<std::uintptr_t>(buffers[i].memory);
    EXPECT_EQ(address % alignof(std::max_align_t), 0u);
    // A buffer written over by a later one, or by one next to it, has lost its bytes.
    const std::vector<unsigned char> expected(buffers[i].bytes, static_cast<unsigned char>(i + 1));
    EXPECT_EQ(std::memcmp(buffers[i].memory, expected.data(), expected.size()), 0);
  }
  release_all(buffers);
}

TEST(BulkMemoryTest, LargeBuffersStartOnAHugePageAndAreUnmappedWhenGivenBack) {
  if (!pooled()) GTEST_SKIP() << "this build takes bulk memory from the C library's heap";
  const BulkMemoryUse before = bulk_memory_use();
  const std::vector<Buffer> buffers = allocate_filled({2 * kMiB, 3 * kMiB + 5, 9 * kMiB});
  for (const Buffer& buffer : buffers) {
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer.memory) % (2 * kMiB), 0u);
  }
  EXPECT_EQ(bulk_memory_use().large_mappings, before.large_mappings + 3);
  release_all(buffers);
  EXPECT_EQ(bulk_memory_use().large_mappings, before.large_mappings);
}

TEST(BulkMemoryTest, AChunkIsUnmappedWithTheLastBufferCutFromIt) {
  if (!pooled()) GTEST_SKIP() << "this build takes bulk memory from the C library's heap";
  const std::size_t before = bulk_memory_use().chunks;
  // 5 MiB of small buffers fill more than two chunks; the thread that cut them has ended, so
  // only the buffers hold the chunks.
  const std::vector<Buffer> buffers =
      allocate_filled_on_another_thread(std::vector<std::size_t>(5 * 1024, 1000));
  EXPECT_EQ(bulk_memory_use().chunks, before + 3);
  // Released from another thread than the one that cut them, the first half first: a chunk
  // must stay while any buffer of it is left.
  const std::size_t half = buffers.size() / 2;
  release_all({buffers.begin(), buffers.begin() + static_cast<std::ptrdiff_t>(half)});
  EXPECT_GT(bulk_memory_use().chunks, before);
  const unsigned char last_fill = static_cast<unsigned char>(buffers.size());
  EXPECT_EQ(buffers.back().memory[999], last_fill);
  release_all({buffers.begin() + static_cast<std::ptrdiff_t>(half), buffers.end()});
  EXPECT_EQ(bulk_memory_use().chunks, before);
}

TEST(BulkMemoryTest, ContainersMoveTheirBuffersAndCopyTheirContents) {
  using BulkString = std::basic_string<char, std::char_traits<char>, BulkAllocator<char>>;
  BulkString original(200, 'x');
  const char* const buffer = original.data();
  BulkString moved = std::move(original);
  EXPECT_EQ(moved.data(), buffer);  // the allocators compare equal, so nothing is copied
  BulkString copy = moved;
  EXPECT_NE(copy.data(), moved.data());
  copy[0] = 'y';
  EXPECT_EQ(moved, BulkString(200, 'x'));
}

}  // namespace
}  // namespace kolvo
