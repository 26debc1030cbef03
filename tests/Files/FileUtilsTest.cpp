#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/time.h>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "App/ResourceDownloadManager/FileUtils.h"
#include "Platform/Core/Exception.h"

#include "Support/LogCapture.h"
#include "Support/TempDir.h"

namespace Tiskel::App {
namespace {

using Test::TempDir;

// The suite may run as root, so every failure below is one root cannot get past either: a
// missing parent folder, a non-empty folder where a file is expected, a symbolic-link loop.
class FileUtilsTest : public testing::Test {
  protected:
    FileUtilsTest() { std::filesystem::create_symlink(loop, loop); }
    // Nothing may be logged that a test did not expect.
    void TearDown() override { expectErrors({}); }

    // Everything logged since the last call must be exactly these ERROR lines of the unit.
    void expectErrors(std::vector<std::string> const& texts) {
        EXPECT_EQ(log.textsFrom("App/ResourceDownloadManager/FileUtils"), texts);
        for (auto const& line : log.lines()) {
            EXPECT_EQ(line.severity, google::GLOG_ERROR) << line.text;
        }
        log.clear();
    }

    TempDir dir;
    Tiskel::Test::LogCapture log;
    std::string const missing = dir.file("missing");
    std::string const orphan = dir.file("no/parent/file");
    std::string const folder = std::filesystem::path(dir.write("folder/inside", "x")).parent_path();
    std::string const loop = dir.file("loop");
};

TEST_F(FileUtilsTest, OpenersLogWhyTheyFailed) {
    EXPECT_EQ(openInputNoexcept(missing), nullptr);
    // open(2) accepts a folder for reading; the stream factory must still refuse it.
    EXPECT_EQ(openInputNoexcept(folder), nullptr);
    EXPECT_EQ(openInputNoexcept(loop), nullptr);
    EXPECT_EQ(openOutputNoexcept(orphan), nullptr);
    EXPECT_EQ(openOutputNoexcept(folder), nullptr);
    expectErrors({
        "failed to create file for reading=" + missing + ", errno=No such file or directory",
        "failed to create file for reading=" + folder + ", errno=Is a directory",
        "failed to create file for reading=" + loop + ", errno=Too many levels of symbolic links",
        "failed to create file for writing=" + orphan + ", errno=No such file or directory",
        "failed to create file for writing=" + folder + ", errno=Is a directory",
    });

    std::string const existing = dir.write("existing", "old content");
    EXPECT_NE(openOutputNoexcept(existing), nullptr);
    EXPECT_EQ(TempDir::read(existing), "");
}

// A failed write leaves the stream failed, so that a later close cannot report success; a good
// stream closes once (a second close could hit a descriptor number another file has by then)
// and then refuses writes.
TEST_F(FileUtilsTest, AFailedWriteSticksAndAStreamClosesOnce) {
    boost::intrusive_ptr<Core::IDataOutput> const full = openOutputNoexcept("/dev/full");
    EXPECT_THROW(writeOutput(*full, "/dev/full", "abc", 3), Tiskel::Exception);
    EXPECT_FALSE(closeOutputNoexcept(*full, "/dev/full"));
    expectErrors({"failed to write file=/dev/full, errno=No space left on device",
                  "failed to close file=/dev/full, errno=No space left on device"});

    std::string const file = dir.file("out.bin");
    boost::intrusive_ptr<Core::IDataOutput> const good = openOutputNoexcept(file);
    writeOutput(*good, file, "abc", 3);
    EXPECT_TRUE(closeOutputNoexcept(*good, file));
    EXPECT_TRUE(closeOutputNoexcept(*good, file));
    EXPECT_EQ(TempDir::read(file), "abc");
    EXPECT_THROW(writeOutput(*good, file, "d", 1), Tiskel::Exception);
    expectErrors({"failed to write file=" + file + ", errno=Bad file descriptor"});
}

// The local-directory downloader reads whole files into fresh buffers; a buffer used before must
// shrink to the file too.
TEST_F(FileUtilsTest, ReadWholeFileSizesTheBufferToTheFile) {
    std::vector<uint8_t> buffer(100, 0xAA);
    ASSERT_TRUE(readWholeFileToBuffer(dir.write("empty", ""), buffer));
    EXPECT_TRUE(buffer.empty());

    // sysfs attributes claim a page as their size but hold a few bytes: the read comes up short.
    if (fileExists("/sys/devices/system/cpu/online")) {
        EXPECT_FALSE(readWholeFileToBuffer("/sys/devices/system/cpu/online", buffer));
    }
}

// Queries and removal survive file system errors. One look tells "nothing at all" apart from a
// link to nothing, which must still be cleared.
TEST_F(FileUtilsTest, FileQueriesLooksAndRemovalSurviveFilesystemErrors) {
    std::string const file = dir.write("file", "abc");
    timeval const times[2] = {{1600000000, 0}, {1500000000, 250000}};
    ASSERT_EQ(::utimes(file.c_str(), times), 0);
    EXPECT_EQ(fileLastModifiedTime(file), 1500000000);
    EXPECT_THROW(fileLastModifiedTime(missing), std::exception);
    std::string const linkToFile = dir.file("link");
    std::string const dangling = dir.file("dangling");
    std::filesystem::create_symlink(file, linkToFile);
    std::filesystem::create_symlink(missing, dangling);
    // A file, also through a link, has its size and time; the others have none. The one-look
    // time query agrees.
    struct Case {
        std::string path;
        bool absent;
        int64_t size;
    } const cases[] = {{file, false, 3},   {linkToFile, false, 3}, {missing, true, -1},
                       {orphan, true, -1}, {dangling, false, -1},  {loop, false, -1}};
    for (Case const& c : cases) {
        PathLook const look = lookAt(c.path);
        EXPECT_EQ(look.absent, c.absent) << c.path;
        EXPECT_EQ(look.status ? look.status->size : -1, c.size) << c.path;
        EXPECT_EQ(look.status ? look.status->lastWriteTime : 0, c.size < 0 ? 0 : 1500000000);
        EXPECT_EQ(fileLastModifiedTimeIfExists(c.path).value_or(-1), c.size < 0 ? -1 : 1500000000);
    }

    EXPECT_TRUE(fileExists(file));
    EXPECT_TRUE(removeFile(file));
    EXPECT_FALSE(fileExists(file));
    EXPECT_TRUE(removeFile(missing));
    EXPECT_FALSE(fileExists(loop));    // exists() throws; fileExists must not
    EXPECT_FALSE(removeFile(loop));    // exists() throws
    EXPECT_FALSE(removeFile(folder));  // remove() throws
    EXPECT_TRUE(fileExists(folder + "/inside"));
    expectErrors({"Failed to remove file=" + loop, "Failed to remove file=" + folder});
}

TEST_F(FileUtilsTest, TemporaryFileReplacesTheOldFileOnlyOnAMoveAndLogsFailures) {
    std::string const tmp = dir.write("res.tmp", "stale from an interrupted run");
    std::string const dest = dir.write("res.bin", "old version");
    {
        TemporaryFile temporary(tmp, dest);
        EXPECT_TRUE(temporary.ready);
        EXPECT_FALSE(fileExists(tmp));
        dir.write("res.tmp", "partial");
    }
    EXPECT_FALSE(fileExists(tmp));
    EXPECT_EQ(TempDir::read(dest), "old version");
    {
        TemporaryFile temporary(tmp, dest);
        dir.write("res.tmp", "new version");
        EXPECT_TRUE(temporary.moveToDest());
        dir.write("res.tmp", "someone else's");
    }
    EXPECT_EQ(TempDir::read(dest), "new version");
    // After a move the destructor leaves the path alone.
    EXPECT_EQ(TempDir::read(tmp), "someone else's");
    // A stale symbolic link is removed itself; its target is neither followed nor created.
    std::filesystem::remove(tmp);
    std::filesystem::create_symlink(missing, tmp);
    EXPECT_TRUE(TemporaryFile(tmp, dest).ready);
    EXPECT_FALSE(std::filesystem::is_symlink(tmp));
    EXPECT_FALSE(fileExists(missing));

    // A temporary path that cannot be freed, then a destination that cannot be reached.
    EXPECT_FALSE(TemporaryFile(folder, dest).ready);
    {
        TemporaryFile temporary(tmp, orphan);
        dir.write("res.tmp", "complete");
        EXPECT_FALSE(temporary.moveToDest());
    }
    EXPECT_FALSE(fileExists(tmp));
    // The destructor tries once more to free the temporary path the constructor could not.
    expectErrors({"Failed to remove file=" + folder, "Failed to remove file=" + folder,
                  "Failed to rename: " + tmp + " -> " + orphan});
}

// Threads racing for one temporary path: never two holders at once, no holder's file touched by
// another thread while it is held, and the path free again whenever its holder goes.
TEST_F(FileUtilsTest, ATemporaryPathServesOneTemporaryFileAtATime) {
    std::string const tmp = dir.file("res.tmp");
    std::string const dest = dir.write("res.bin", "old version");
    std::atomic<int> holders{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> held{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                TemporaryFile temporary(tmp, dest);
                if (!temporary.ready) {
                    continue;
                }
                overlaps += ++holders > 1;
                std::string const mine = std::to_string(t) + "/" + std::to_string(i);
                dir.write("res.tmp", mine);
                std::this_thread::yield();
                std::ifstream in(tmp);
                overlaps += std::string(std::istreambuf_iterator<char>(in), {}) != mine;
                --holders;
                ++held;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(overlaps, 0);
    EXPECT_GT(held, 4);
    EXPECT_FALSE(fileExists(tmp));
    EXPECT_EQ(TempDir::read(dest), "old version");
    log.clear();  // the busy lines (their text: the downloaders' busy-path test)
}

}  // namespace
}  // namespace Tiskel::App
