#include "platform/console/console.h"

#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/resource.h>

namespace kolvo {
namespace {

// A core file of a run would hold the key and the token, and so would another process's read
// of its memory.
TEST(ConsoleTest, ProtectingTheProcessTurnsOffCoreFilesAndMemoryReads) {
  protect_process_memory();
  EXPECT_EQ(prctl(PR_GET_DUMPABLE), 0);
  rlimit core{};
  ASSERT_EQ(getrlimit(RLIMIT_CORE, &core), 0);
  EXPECT_EQ(core.rlim_cur, 0u);
  EXPECT_EQ(core.rlim_max, 0u);
}

}  // namespace
}  // namespace kolvo
