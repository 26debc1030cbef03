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

using ResourceSync::FolderLock;

// True while a lock request of this process waits in the kernel for a lock another holds.
bool lockRequestWaits() {
    std::ifstream locks("/proc/locks");
    std::string const pid = " " + std::to_string(::getpid()) + " ";
    for (std::string line; std::getline(locks, line);) {
        if (line.find("->") != std::string::npos && line.find(pid) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// A run that ends cleanly removes the lock file, also while another run waits on it: the waiting
// run must then hold the file now at the path, or a third run gets in beside it.
TEST(FolderLock, AWaiterOfARemovedLockFileHoldsTheFileAtThePath) {
    TempDir dir;
    auto first = std::make_unique<FolderLock>(dir.path(), false);
    std::optional<FolderLock> second;
    std::thread waiter([&] { second.emplace(dir.path(), true); });
    bool const waiting = waitUntil(lockRequestWaits);
    if (waiting) {
        first->endCleanly();
    }
    first.reset();
    waiter.join();
    ASSERT_TRUE(waiting) << "the second lock never waited";
    EXPECT_TRUE(second->previousRunEndedCleanly());
    EXPECT_TRUE(std::filesystem::exists(dir.file(ResourceSync::kLockName)));
    EXPECT_THROW(FolderLock(dir.path(), false), ResourceSync::FolderBusy);
}

}  // namespace
}  // namespace Tiskel::Test
