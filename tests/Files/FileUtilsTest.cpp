#include <filesystem>
#include <string>
#include <sys/time.h>
#include <vector>

#include <glog/logging.h>
#include <gtest/gtest.h>

#include "App/ResourceDownloadManager/FileUtils.h"

#include "Support/LogCapture.h"
#include "Support/TempDir.h"

namespace Tiskel::App {
namespace {

using Test::LogCapture;
using Test::LogLine;
using Test::TempDir;

// The failures below are ones root cannot get past either, since the suite may run as root.
class FileUtilsTest : public testing::Test {
  protected:
    // Everything logged since the last check must be exactly these ERROR lines of the unit.
    void expectErrors(std::vector<std::string> const& texts) {
        std::vector<LogLine> const lines = log.lines();
        ASSERT_EQ(lines.size(), texts.size());
        for (size_t i = 0; i < lines.size(); ++i) {
            EXPECT_EQ(lines[i].text, texts[i]);
            EXPECT_EQ(lines[i].file, "App/ResourceDownloadManager/FileUtils");
            EXPECT_EQ(lines[i].severity, google::GLOG_ERROR);
        }
        log.clear();
    }

    // A symbolic link to itself: every lookup through it fails with ELOOP.
    std::string linkLoop() {
        std::string const path = dir.file("loop");
        std::filesystem::create_symlink(path, path);
        return path;
    }
    // A directory with something in it cannot be removed, nor opened as a file.
    std::string fullDirectory(std::string const& name) {
        dir.write(name + "/inside", "x");
        return dir.file(name);
    }

    TempDir dir;
    LogCapture log;
};

TEST_F(FileUtilsTest, OpenInputReportsWhyItFailed) {
    std::string const missing = dir.file("missing");
    std::string const folder = fullDirectory("folder");
    std::string const loop = linkLoop();
    EXPECT_EQ(openInputNoexcept(missing), nullptr);
    EXPECT_EQ(openInputNoexcept(folder), nullptr);
    EXPECT_EQ(openInputNoexcept(loop), nullptr);
    expectErrors({
        "failed to create file for reading=" + missing + ", errno=No such file or directory",
        "failed to create file for reading=" + folder + ", errno=Is a directory",
        "failed to create file for reading=" + loop + ", errno=Too many levels of symbolic links",
    });

    auto input = openInputNoexcept(dir.write("present", "abc"));
    ASSERT_NE(input, nullptr);
    EXPECT_EQ(input->size(), 3u);
    expectErrors({});
}

TEST_F(FileUtilsTest, OpenOutputReportsWhyItFailed) {
    std::string const orphan = dir.file("no/parent");
    std::string const folder = fullDirectory("folder");
    EXPECT_EQ(openOutputNoexcept(orphan), nullptr);
    EXPECT_EQ(openOutputNoexcept(folder), nullptr);
    expectErrors({
        "failed to create file for writing=" + orphan + ", errno=No such file or directory",
        "failed to create file for writing=" + folder + ", errno=Is a directory",
    });

    std::string const existing = dir.write("existing", "old content");
    EXPECT_NE(openOutputNoexcept(existing), nullptr);
    EXPECT_EQ(TempDir::read(existing), "");
    expectErrors({});
}

TEST_F(FileUtilsTest, ReadWholeFileSizesTheBufferToTheFile) {
    std::vector<uint8_t> buffer(100, 0xAA);
    ASSERT_TRUE(readWholeFileToBuffer(dir.write("a", "hello"), buffer));
    EXPECT_EQ(std::string(buffer.begin(), buffer.end()), "hello");
    std::string const big(300000, 'z');
    ASSERT_TRUE(readWholeFileToBuffer(dir.write("big", big), buffer));
    EXPECT_EQ(std::string(buffer.begin(), buffer.end()), big);
    ASSERT_TRUE(readWholeFileToBuffer(dir.write("empty", ""), buffer));
    EXPECT_TRUE(buffer.empty());
    expectErrors({});

    buffer = {1, 2, 3};
    EXPECT_FALSE(readWholeFileToBuffer(dir.file("missing"), buffer));
    EXPECT_EQ(buffer, (std::vector<uint8_t>{1, 2, 3}));
    expectErrors({"failed to create file for reading=" + dir.file("missing") +
                  ", errno=No such file or directory"});
}

TEST_F(FileUtilsTest, ReadWholeFileFailsWhenTheFileIsShorterThanItsSize) {
    // sysfs attributes report one page as their size but hold only a few bytes.
    std::string shortFile;
    for (char const* candidate :
         {"/sys/devices/system/cpu/online", "/sys/kernel/mm/transparent_hugepage/enabled"}) {
        std::error_code error;
        if (std::filesystem::file_size(candidate, error) == 4096 &&
            TempDir::read(candidate).size() < 4096) {
            shortFile = candidate;
            break;
        }
    }
    if (shortFile.empty()) {
        GTEST_SKIP() << "no sysfs attribute to read";
    }
    std::vector<uint8_t> buffer;
    EXPECT_FALSE(readWholeFileToBuffer(shortFile, buffer));
    expectErrors({});
}

TEST_F(FileUtilsTest, RemoveFileLogsOnlyWhatTheFilesystemRefused) {
    std::string const file = dir.write("file", "x");
    std::string const emptyFolder = dir.file("empty");
    std::filesystem::create_directory(emptyFolder);
    EXPECT_TRUE(removeFile(dir.file("never-existed")));
    EXPECT_TRUE(removeFile(file));
    EXPECT_TRUE(removeFile(emptyFolder));
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_FALSE(std::filesystem::exists(emptyFolder));
    expectErrors({});

    std::string const folder = fullDirectory("folder");                // remove() throws
    std::string const loop = linkLoop();                               // exists() throws
    std::string const underFile = dir.write("plain", "x") + "/child";  // exists() throws
    EXPECT_FALSE(removeFile(folder));
    EXPECT_FALSE(removeFile(loop));
    EXPECT_FALSE(removeFile(underFile));
    expectErrors({
        "Failed to remove file=" + folder,
        "Failed to remove file=" + loop,
        "Failed to remove file=" + underFile,
    });
    EXPECT_TRUE(std::filesystem::exists(folder + "/inside"));
}

TEST_F(FileUtilsTest, FileExistsAndLastModifiedTime) {
    std::string const file = dir.write("file", "x");
    EXPECT_TRUE(fileExists(file));
    EXPECT_TRUE(fileExists(dir.path()));
    EXPECT_FALSE(fileExists(dir.file("missing")));
    EXPECT_FALSE(fileExists(linkLoop()));
    EXPECT_FALSE(fileExists(file + "/child"));

    timeval const times[2] = {{1600000000, 0}, {1500000000, 250000}};
    ASSERT_EQ(::utimes(file.c_str(), times), 0);
    EXPECT_EQ(fileLastModifiedTime(file), 1500000000);
    EXPECT_THROW(fileLastModifiedTime(dir.file("missing")), std::exception);
    expectErrors({});
}

TEST_F(FileUtilsTest, TemporaryFileClearsLeftoversAndMovesOverTheOldFile) {
    std::string const tmp = dir.write("res.tmp", "stale from an interrupted run");
    std::string const dest = dir.write("res.bin", "old version");
    {
        TemporaryFile temporary(tmp, dest);
        EXPECT_TRUE(temporary.ready);
        EXPECT_FALSE(std::filesystem::exists(tmp));
        dir.write("res.tmp", "new version");
        EXPECT_TRUE(temporary.moveToDest());
    }
    EXPECT_FALSE(std::filesystem::exists(tmp));
    EXPECT_EQ(TempDir::read(dest), "new version");
    expectErrors({});
}

TEST_F(FileUtilsTest, TemporaryFileWithoutAMoveDropsThePartialFile) {
    std::string const tmp = dir.file("res.tmp");
    std::string const dest = dir.write("res.bin", "old version");
    {
        TemporaryFile temporary(tmp, dest);
        ASSERT_TRUE(temporary.ready);
        dir.write("res.tmp", "partial");
    }
    EXPECT_FALSE(std::filesystem::exists(tmp));
    EXPECT_EQ(TempDir::read(dest), "old version");
    expectErrors({});
}

TEST_F(FileUtilsTest, TemporaryFileFailuresAreReported) {
    std::string const busy = fullDirectory("busy.tmp");
    {
        TemporaryFile temporary(busy, dir.file("res.bin"));
        EXPECT_FALSE(temporary.ready);
        expectErrors({"Failed to remove file=" + busy});
    }
    expectErrors({"Failed to remove file=" + busy});  // the destructor tries once more

    std::string const tmp = dir.file("res.tmp");
    std::string const dest = dir.file("no/such/folder/res.bin");
    {
        TemporaryFile temporary(tmp, dest);
        dir.write("res.tmp", "complete");
        EXPECT_FALSE(temporary.moveToDest());
        expectErrors({"Failed to rename: " + tmp + " -> " + dest});
    }
    EXPECT_FALSE(std::filesystem::exists(tmp));
    expectErrors({});
}

}  // namespace
}  // namespace Tiskel::App
