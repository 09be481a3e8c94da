// Names for the program's own threads, so that `top -H`, `perf report --sort comm` and gdb tell
// the transfer from the record building.
#pragma once

namespace kolvo {

// Names the calling thread; the system keeps the first 15 bytes. Where it cannot, nothing
// happens: a name is only ever a help to whoever looks at the process.
void name_this_thread(const char* name) noexcept;

}  // namespace kolvo
