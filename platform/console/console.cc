#include "platform/console/console.h"

#include <cstdio>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace kolvo {

void prepare_standard_output() noexcept {
#ifdef _WIN32
  _setmode(_fileno(stdout), _O_BINARY);
#endif
}

bool standard_output_is_terminal() noexcept {
#ifdef _WIN32
  return _isatty(_fileno(stdout)) != 0;
#else
  return isatty(STDOUT_FILENO) == 1;
#endif
}

void protect_process_memory() noexcept {
#ifndef _WIN32
  prctl(PR_SET_DUMPABLE, 0);
  const rlimit none{0, 0};
  setrlimit(RLIMIT_CORE, &none);
#endif
}

}  // namespace kolvo
