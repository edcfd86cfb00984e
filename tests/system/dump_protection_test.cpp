#include "system/dump_protection.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/prctl.h>
#include <sys/resource.h>
#endif

namespace kivo {
namespace {

#ifndef _WIN32
TEST(DumpProtection, LeavesNoCoreAndNoDumpableProcess) {
  EXPECT_FALSE(KeepOutOfDumps().has_value());
  rlimit core{};
  ASSERT_EQ(getrlimit(RLIMIT_CORE, &core), 0);
  EXPECT_EQ(core.rlim_cur, 0u);
  // The hard limit too, so that the process cannot raise it again.
  EXPECT_EQ(core.rlim_max, 0u);
  EXPECT_EQ(prctl(PR_GET_DUMPABLE, 0, 0, 0, 0), 0);
}
#endif

}  // namespace
}  // namespace kivo
