// Memory for data that is built once and kept until the run ends, such as the registry's
// records and their list.
//
// A registry of a hundred thousand rows is some 20 MB of small buffers, written once and
// freed at exit. Taken from the C library's heap, each 4 KiB page of it costs a page fault at
// first touch, and on a virtual machine a fault costs 5 to 15 µs: more than a tenth of a
// second for the whole registry, on the thread that parses. Here the small buffers are cut
// from 2 MiB chunks and the large ones (the list) get mappings of their own, both aligned so
// that the kernel may back them with one huge page each (asked for, never required).
#pragma once

#include <cstddef>
#include <limits>
#include <new>

namespace kolvo {

// Returns memory for bytes, aligned for any type of up to alignof(std::max_align_t). Throws
// std::bad_alloc. Safe to call from any thread.
void* allocate_bulk(std::size_t bytes);
// Gives back what allocate_bulk(bytes) returned, with the same bytes; from any thread.
void release_bulk(void* memory, std::size_t bytes) noexcept;

// What the bulk memory holds right now, for tests: chunks of small buffers and large mappings
// not yet given back. Both stay 0 in builds that take everything from the C library's heap
// (Windows, and the sanitizer builds, so that the sanitizers see every buffer).
struct BulkMemoryUse {
  std::size_t chunks = 0;
  std::size_t large_mappings = 0;
};
BulkMemoryUse bulk_memory_use() noexcept;

// A standard allocator over the bulk memory. Stateless: any two compare equal, so records
// move between containers without copying their buffers.
template <class T>
class BulkAllocator {
 public:
  using value_type = T;
  static_assert(alignof(T) <= alignof(std::max_align_t));

  BulkAllocator() noexcept = default;
  template <class U>
  BulkAllocator(const BulkAllocator<U>&) noexcept {}

  T* allocate(std::size_t count) {
    if (count > std::numeric_limits<std::size_t>::max() / sizeof(T))
      throw std::bad_array_new_length();
    return static_cast<T*>(allocate_bulk(count * sizeof(T)));
  }
  void deallocate(T* memory, std::size_t count) noexcept {
    release_bulk(memory, count * sizeof(T));
  }

  template <class U>
  bool operator==(const BulkAllocator<U>&) const noexcept {
    return true;
  }
};

}  // namespace kolvo
