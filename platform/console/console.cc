#include "platform/console/console.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#endif

namespace kolvo {

void prepare_standard_output() noexcept {
#ifdef _WIN32
  _setmode(_fileno(stdout), _O_BINARY);
#endif
}

}  // namespace kolvo
