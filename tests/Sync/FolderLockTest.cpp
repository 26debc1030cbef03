#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "Support/TempDir.h"
#include "Support/Wait.h"
#include "TargetFolder.h"

namespace Tiskel::Test {
namespace {

using ResourceSync::FolderBusy;
using ResourceSync::FolderLock;

// Lock requests of this process that wait in the kernel for a lock another holds.
int blockedLockRequests() {
    std::ifstream locks("/proc/locks");
    std::string const pid = " " + std::to_string(::getpid()) + " ";
    int blocked = 0;
    for (std::string line; std::getline(locks, line);) {
        if (line.find("->") != std::string::npos && line.find(pid) != std::string::npos) {
            ++blocked;
        }
    }
    return blocked;
}

// A run that ends cleanly removes the lock file, also while another run waits on it: the waiting
// run must then hold the file now at the path, or a third run gets in beside it.
TEST(FolderLock, AWaiterOfARemovedLockFileHoldsTheFileAtThePath) {
    TempDir dir;
    std::string const lockFile = dir.file(ResourceSync::kLockName);
    auto first = std::make_unique<FolderLock>(dir.path(), false);
    EXPECT_TRUE(first->previousRunEndedCleanly());  // no run before it

    std::optional<FolderLock> second;
    std::thread waiter([&] { second.emplace(dir.path(), true); });
    bool const waiting = waitUntil([] { return blockedLockRequests() > 0; });
    if (waiting) {
        first->endCleanly();
        EXPECT_FALSE(std::filesystem::exists(lockFile));
    }
    first.reset();
    waiter.join();
    ASSERT_TRUE(waiting) << "the second lock never waited";
    ASSERT_TRUE(second.has_value());
    EXPECT_TRUE(second->previousRunEndedCleanly());
    EXPECT_TRUE(std::filesystem::exists(lockFile));
    EXPECT_THROW(FolderLock(dir.path(), false), FolderBusy);

    // A run that does not end cleanly leaves the file, which tells the next run so.
    second.reset();
    EXPECT_FALSE(FolderLock(dir.path(), false).previousRunEndedCleanly());
}

}  // namespace
}  // namespace Tiskel::Test
