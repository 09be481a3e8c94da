#include "platform/threads/thread_name.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#endif

namespace kolvo {

#ifdef _WIN32

void name_this_thread(const char* name) noexcept {
  wchar_t wide[16] = {};
  for (int i = 0; i < 15 && name[i] != '\0'; ++i) wide[i] = static_cast<unsigned char>(name[i]);
  // Looked up, not linked: systems before Windows 10 (1607) have no thread names, and run
  // without them.
  using SetThreadDescriptionFunction = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  const FARPROC found = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription");
  if (found != nullptr) {
    reinterpret_cast<SetThreadDescriptionFunction>(reinterpret_cast<void*>(found))(
        GetCurrentThread(), wide);
  }
}

#else

void name_this_thread(const char* name) noexcept {
  char kept[16] = {};
  for (int i = 0; i < 15 && name[i] != '\0'; ++i) kept[i] = name[i];
  pthread_setname_np(pthread_self(), kept);
}

#endif

}  // namespace kolvo
