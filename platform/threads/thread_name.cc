#include "platform/threads/thread_name.h"

#include <pthread.h>

namespace kolvo {

void name_this_thread(const char* name) noexcept {
  char kept[16] = {};
  for (int i = 0; i < 15 && name[i] != '\0'; ++i) kept[i] = name[i];
  pthread_setname_np(pthread_self(), kept);
}

}  // namespace kolvo
