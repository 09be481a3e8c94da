#include "platform/memory/memory.h"

#if REGISTRY_HUGE_PAGE_HEAP
#include <mimalloc.h>
#endif

namespace kolvo {

void prefer_huge_pages() {
#if REGISTRY_HUGE_PAGE_HEAP
  // The allocator advises the kernel to use huge pages for the memory it maps from here on;
  // where huge pages are not available the advice is ignored and nothing else changes.
  mi_option_set_enabled(mi_option_large_os_pages, true);
  // By default a thread's first segment is left out, to spare short-lived threads; here the
  // short-lived record builder makes most of the records.
  mi_option_set(mi_option_eager_commit_delay, 0);
#endif
}

}  // namespace kolvo
