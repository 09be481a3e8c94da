// How the program's own memory is backed.
#pragma once

namespace kolvo {

// Asks for the heap to be backed by 2 MiB pages wherever the system hands them out on request
// (transparent huge pages in "madvise" mode). A large registry is tens of megabytes of small
// records, and on a virtual machine each 4 KiB page costs a fault of several microseconds the
// first time it is touched: thousands of them, against a few dozen. Does nothing in builds
// without an allocator that can (the sanitizer builds keep their own). Call first thing in
// main, before the heap has grown.
void prefer_huge_pages();

}  // namespace kolvo
