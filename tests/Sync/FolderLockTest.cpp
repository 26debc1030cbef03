#include <gtest/gtest.h>

#include "Support/TempDir.h"
#include "TargetFolder.h"

namespace Tiskel::Test {
namespace {

// A lock file no run has written to, as a new one is, tells of a clean end: a run that takes it
// has no leftovers to look for. (How runs wait for each other: the resource-sync tests.)
TEST(FolderLock, ANewLockFileTellsOfACleanEnd) {
    TempDir dir;
    EXPECT_TRUE(ResourceSync::FolderLock(dir.path(), false).previousRunEndedCleanly());
}

}  // namespace
}  // namespace Tiskel::Test
