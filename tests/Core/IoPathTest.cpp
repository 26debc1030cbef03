#include <filesystem>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "Platform/Filesystem/ioPath.h"

#include "Support/TempDir.h"

namespace Tiskel {
namespace {

using Error = std::filesystem::filesystem_error;

// Failures must surface: "not found" is the only failure exists() may answer with false.
TEST(IoPath, FileOperationsReportTheirFailures) {
    Tiskel::Test::TempDir dir;
    std::string const file = dir.write("full/old.txt", "old");
    dir.write("new.txt", "new");
    ASSERT_EQ(::symlink("loop-b", dir.file("loop-a").c_str()), 0);
    ASSERT_EQ(::symlink("loop-a", dir.file("loop-b").c_str()), 0);
    EXPECT_THROW(dir.ioFile("loop-a").exists(), Error);
    EXPECT_FALSE(dir.ioFile("missing").exists());
    EXPECT_THROW(dir.ioFile("full").remove(), Error);

    EXPECT_TRUE(ioPath::rename(dir.ioFile("new.txt"), file));
    EXPECT_EQ(Tiskel::Test::TempDir::read(file), "new");
    EXPECT_FALSE(ioPath::rename(dir.ioFile("new.txt"), file));

    timeval const times[2] = {{1500000000, 0}, {1234567890, 750000}};
    ASSERT_EQ(::utimes(file.c_str(), times), 0);
    EXPECT_EQ(ioPath(file).last_write_time(), 1234567890);
    EXPECT_THROW(dir.ioFile("missing").last_write_time(), Error);
    EXPECT_EQ(ioPath(file).try_last_write_time(), std::optional<int64_t>(1234567890));
    EXPECT_EQ(dir.ioFile("missing").try_last_write_time(), std::nullopt);
    EXPECT_EQ(dir.ioFile("loop-a").try_last_write_time(), std::nullopt);
}

}  // namespace
}  // namespace Tiskel
