#include "platform/memory/bulk_memory.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <new>

#if defined(__linux__) && !defined(REGISTRY_SANITIZED)
#include <sys/mman.h>
#define REGISTRY_BULK_POOL 1
#endif

namespace kolvo {

#ifdef REGISTRY_BULK_POOL
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kPage = 4096;
constexpr std::size_t kAlign = alignof(std::max_align_t);
// Buffers up to this size are cut from chunks; larger ones are mapped on their own. Records'
// buffers are a few hundred bytes; the list is megabytes.
constexpr std::size_t kSmallMax = std::size_t{64} << 10;

std::atomic<std::size_t> chunks_mapped{0};
std::atomic<std::size_t> large_mapped{0};

constexpr std::size_t round_up(std::size_t value, std::size_t step) {
  return (value + step - 1) / step * step;
}

// Maps bytes (a multiple of the page size). Mappings of a huge page or more start on a huge
// page boundary and ask for huge pages, so that the kernel can back them with them.
void* map(std::size_t bytes) {
  if (bytes < kHugePage) {
    void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) throw std::bad_alloc();
    return memory;
  }
  const std::size_t padded = bytes + kHugePage;
  void* raw = mmap(nullptr, padded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = round_up(start, kHugePage);
  if (aligned > start) munmap(raw, aligned - start);
  const std::uintptr_t end = start + padded;
  if (end > aligned + bytes)
    munmap(reinterpret_cast<void*>(aligned + bytes), end - aligned - bytes);
  void* memory = reinterpret_cast<void*>(aligned);
  // Advice only: without transparent huge pages the memory works the same, page by page.
  madvise(memory, bytes, MADV_HUGEPAGE);
  return memory;
}

// A chunk of small buffers, one huge page, with this header at its start. It is held once for
// each buffer cut from it and once by the thread cutting from it; the last release unmaps it.
// Buffers are never reused singly: what is kept until the end needs no reuse.
struct Chunk {
  std::atomic<std::size_t> holds{1};
};
constexpr std::size_t kChunkHeader = round_up(sizeof(Chunk), 64);

void release_chunk(Chunk* chunk) noexcept {
  if (chunk->holds.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  chunk->~Chunk();
  munmap(chunk, kHugePage);
  chunks_mapped.fetch_sub(1, std::memory_order_relaxed);
}

// Where this thread cuts its next buffer. Each thread has a chunk of its own, so cutting takes
// no lock; buffers are given back from any thread.
struct Cursor {
  Chunk* chunk = nullptr;
  std::size_t used = 0;
  ~Cursor() {
    if (chunk != nullptr) release_chunk(chunk);
  }
};
thread_local Cursor cursor;

void* allocate_small(std::size_t bytes) {
  const std::size_t size = round_up(std::max<std::size_t>(bytes, 1), kAlign);
  if (cursor.chunk == nullptr || cursor.used + size > kHugePage) {
    auto* fresh = new (map(kHugePage)) Chunk;
    chunks_mapped.fetch_add(1, std::memory_order_relaxed);
    if (cursor.chunk != nullptr) release_chunk(cursor.chunk);
    cursor.chunk = fresh;
    cursor.used = kChunkHeader;
  }
  cursor.chunk->holds.fetch_add(1, std::memory_order_relaxed);
  void* memory = reinterpret_cast<char*>(cursor.chunk) + cursor.used;
  cursor.used += size;
  return memory;
}

std::size_t large_size(std::size_t bytes) {
  return bytes < kHugePage ? round_up(bytes, kPage) : round_up(bytes, kHugePage);
}

}  // namespace

void* allocate_bulk(std::size_t bytes) {
  if (bytes <= kSmallMax) return allocate_small(bytes);
  if (bytes > SIZE_MAX - 2 * kHugePage) throw std::bad_alloc();
  void* memory = map(large_size(bytes));
  large_mapped.fetch_add(1, std::memory_order_relaxed);
  return memory;
}

void release_bulk(void* memory, std::size_t bytes) noexcept {
  if (memory == nullptr) return;
  if (bytes <= kSmallMax) {
    const auto address = reinterpret_cast<std::uintptr_t>(memory);
    release_chunk(reinterpret_cast<Chunk*>(address & ~(kHugePage - 1)));
    return;
  }
  munmap(memory, large_size(bytes));
  large_mapped.fetch_sub(1, std::memory_order_relaxed);
}

BulkMemoryUse bulk_memory_use() noexcept {
  return {chunks_mapped.load(std::memory_order_relaxed),
          large_mapped.load(std::memory_order_relaxed)};
}

#else

// Everything from the C library's heap: on Windows (where a thread's cursor could not be given
// back at thread exit by the static MinGW-w64 runtime), and under the sanitizers, which then
// see each buffer on its own.
void* allocate_bulk(std::size_t bytes) { return ::operator new(bytes); }
void release_bulk(void* memory, std::size_t bytes) noexcept { ::operator delete(memory, bytes); }
BulkMemoryUse bulk_memory_use() noexcept { return {}; }

#endif

}  // namespace kolvo
