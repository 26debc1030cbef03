#include <filesystem>
#include <sstream>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "Platform/Filesystem/ioPath.h"

#include "Support/TempDir.h"

namespace Tiskel {
namespace {

using Test::TempDir;

TEST(IoPath, JoinsWithExactlyTheSeparatorsGiven) {
    EXPECT_EQ((ioPath("root") / ioPath("a/b.txt")).string(), "root/a/b.txt");
    EXPECT_EQ((ioPath("root/") / ioPath("b.txt")).string(), "root/b.txt");
    EXPECT_EQ((ioPath("") / ioPath("b.txt")).string(), "b.txt");
    // A leading '/' on the right is kept: the right side is never taken as a new root.
    EXPECT_EQ((ioPath("/srv/root") / ioPath("/files/b.txt")).string(), "/srv/root//files/b.txt");
    EXPECT_TRUE(ioPath().empty());
    std::ostringstream text;
    text << ioPath("/x/y");
    EXPECT_EQ(text.str(), "/x/y");
}

TEST(IoPath, ExistsIsFalseOnlyForNothingThereAndThrowsOnOtherErrors) {
    TempDir dir;
    std::string const file = dir.write("file.txt", "x");
    EXPECT_TRUE(ioPath(file).exists());
    EXPECT_TRUE(ioPath(dir.path()).exists());
    EXPECT_FALSE(dir.ioFile("missing.txt").exists());

    ASSERT_EQ(::symlink("loop-b", dir.file("loop-a").c_str()), 0);
    ASSERT_EQ(::symlink("loop-a", dir.file("loop-b").c_str()), 0);
    EXPECT_THROW(dir.ioFile("loop-a").exists(), std::filesystem::filesystem_error);
    // A regular file used as a directory.
    EXPECT_THROW(dir.ioFile("file.txt/inner").exists(), std::filesystem::filesystem_error);
}

TEST(IoPath, RemoveDeletesFilesAndEmptyDirectoriesAndThrowsOtherwise) {
    TempDir dir;
    dir.write("full/inside.txt", "x");
    std::filesystem::create_directory(dir.file("empty"));
    dir.write("file.txt", "x");

    EXPECT_TRUE(dir.ioFile("file.txt").remove());
    EXPECT_FALSE(dir.ioFile("file.txt").exists());
    EXPECT_TRUE(dir.ioFile("empty").remove());
    EXPECT_TRUE(dir.ioFile("missing").remove());
    EXPECT_THROW(dir.ioFile("full").remove(), std::filesystem::filesystem_error);
    EXPECT_TRUE(dir.ioFile("full/inside.txt").exists());
}

TEST(IoPath, RenameReplacesTheDestinationAndReportsFailure) {
    TempDir dir;
    dir.write("new.txt", "new");
    dir.write("old.txt", "old");
    EXPECT_TRUE(ioPath::rename(dir.ioFile("new.txt"), dir.ioFile("old.txt")));
    EXPECT_EQ(TempDir::read(dir.file("old.txt")), "new");
    EXPECT_FALSE(dir.ioFile("new.txt").exists());

    EXPECT_FALSE(ioPath::rename(dir.ioFile("missing.txt"), dir.ioFile("old.txt")));
    EXPECT_EQ(TempDir::read(dir.file("old.txt")), "new");
    // A file cannot replace a non-empty directory.
    dir.write("busy/inside.txt", "x");
    EXPECT_FALSE(ioPath::rename(dir.ioFile("old.txt"), dir.ioFile("busy")));
    EXPECT_TRUE(dir.ioFile("old.txt").exists());
}

TEST(IoPath, LastWriteTimeIsTheModificationTimeInSecondsSinceTheEpoch) {
    TempDir dir;
    std::string const file = dir.write("file.txt", "x");
    timeval const times[2] = {{1500000000, 0}, {1234567890, 750000}};
    ASSERT_EQ(::utimes(file.c_str(), times), 0);
    EXPECT_EQ(ioPath(file).last_write_time(), 1234567890);

    struct stat info {};
    dir.write("fresh.txt", "x");
    ASSERT_EQ(::stat(dir.file("fresh.txt").c_str(), &info), 0);
    EXPECT_EQ(dir.ioFile("fresh.txt").last_write_time(), static_cast<int64_t>(info.st_mtime));

    EXPECT_THROW(dir.ioFile("missing.txt").last_write_time(), std::filesystem::filesystem_error);
}

}  // namespace
}  // namespace Tiskel
