#include <filesystem>
#include <string>
#include <sys/time.h>
#include <unistd.h>
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

constexpr char kUnit[] = "App/ResourceDownloadManager/FileUtils";

class FileUtilsTest : public testing::Test {
  protected:
    // Every line logged so far must be an ERROR of the file helpers' unit, with these texts.
    void expectErrors(std::vector<std::string> const& texts) {
        std::vector<LogLine> const lines = log.lines();
        ASSERT_EQ(lines.size(), texts.size());
        for (size_t i = 0; i < lines.size(); ++i) {
            EXPECT_EQ(lines[i].text, texts[i]);
            EXPECT_EQ(lines[i].file, kUnit);
            EXPECT_EQ(lines[i].severity, google::GLOG_ERROR);
        }
        log.clear();
    }
    void expectNoLines() { expectErrors({}); }

    // A symbolic link that points at itself: every lookup through it fails with ELOOP, also for
    // root.
    std::string makeLinkLoop(std::string const& name) {
        std::string const path = dir.file(name);
        std::filesystem::create_symlink(path, path);
        return path;
    }
    // A directory with something in it: root cannot remove it, and cannot open it as a file.
    std::string makeFullDirectory(std::string const& name) {
        dir.write(name + "/inside.txt", "x");
        return dir.file(name);
    }

    TempDir dir;
    LogCapture log;
};

TEST_F(FileUtilsTest, OpenInputReportsWhyItFailed) {
    std::string const missing = dir.file("missing.bin");
    std::string const folder = makeFullDirectory("folder");
    std::string const loop = makeLinkLoop("loop");

    EXPECT_EQ(openInputNoexcept(missing), nullptr);
    EXPECT_EQ(openInputNoexcept(folder), nullptr);
    EXPECT_EQ(openInputNoexcept(loop), nullptr);
    expectErrors({
        "failed to create file for reading=" + missing + ", errno=No such file or directory",
        "failed to create file for reading=" + folder + ", errno=Is a directory",
        "failed to create file for reading=" + loop + ", errno=Too many levels of symbolic links",
    });

    auto input = openInputNoexcept(dir.write("present.bin", "abc"));
    ASSERT_NE(input, nullptr);
    EXPECT_EQ(input->size(), 3u);
    expectNoLines();
}

TEST_F(FileUtilsTest, OpenOutputReportsWhyItFailed) {
    std::string const orphan = dir.file("no/parent.bin");
    std::string const folder = makeFullDirectory("folder");

    EXPECT_EQ(openOutputNoexcept(orphan), nullptr);
    EXPECT_EQ(openOutputNoexcept(folder), nullptr);
    expectErrors({
        "failed to create file for writing=" + orphan + ", errno=No such file or directory",
        "failed to create file for writing=" + folder + ", errno=Is a directory",
    });
    EXPECT_FALSE(std::filesystem::exists(orphan));

    std::string const existing = dir.write("existing.bin", "old content");
    auto output = openOutputNoexcept(existing);
    ASSERT_NE(output, nullptr);
    EXPECT_EQ(TempDir::read(existing), "");
    expectNoLines();
}

TEST_F(FileUtilsTest, ReadWholeFileSizesTheBufferToTheFile) {
    std::vector<uint8_t> buffer(100, 0xAA);  // longer than the file: must be cut
    ASSERT_TRUE(readWholeFileToBuffer(dir.write("a.bin", "hello"), buffer));
    EXPECT_EQ(std::string(buffer.begin(), buffer.end()), "hello");

    buffer.assign(3, 0xAA);  // shorter than the file: must grow
    std::string const big(300000, 'z');
    ASSERT_TRUE(readWholeFileToBuffer(dir.write("big.bin", big), buffer));
    EXPECT_EQ(std::string(buffer.begin(), buffer.end()), big);

    ASSERT_TRUE(readWholeFileToBuffer(dir.write("empty.bin", ""), buffer));
    EXPECT_TRUE(buffer.empty());
    expectNoLines();
}

TEST_F(FileUtilsTest, ReadWholeFileOfAMissingFileLeavesTheBufferAlone) {
    std::vector<uint8_t> buffer{1, 2, 3};
    std::string const missing = dir.file("missing.bin");
    EXPECT_FALSE(readWholeFileToBuffer(missing, buffer));
    EXPECT_EQ(buffer, (std::vector<uint8_t>{1, 2, 3}));
    expectErrors(
        {"failed to create file for reading=" + missing + ", errno=No such file or directory"});
}

TEST_F(FileUtilsTest, ReadWholeFileFailsWhenTheFileIsShorterThanItsSize) {
    // sysfs attributes report a size of one page but hold only a few bytes.
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
        GTEST_SKIP() << "no sysfs attribute found to read";
    }
    std::vector<uint8_t> buffer;
    EXPECT_FALSE(readWholeFileToBuffer(shortFile, buffer));
    EXPECT_EQ(buffer.size(), 4096u);
    expectNoLines();
}

TEST_F(FileUtilsTest, RemoveFileSucceedsWhenNothingIsLeft) {
    std::string const file = dir.write("file.bin", "x");
    std::string const emptyFolder = dir.file("empty");
    std::filesystem::create_directory(emptyFolder);

    EXPECT_TRUE(removeFile(dir.file("never-existed.bin")));
    EXPECT_TRUE(removeFile(file));
    EXPECT_TRUE(removeFile(emptyFolder));
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_FALSE(std::filesystem::exists(emptyFolder));
    expectNoLines();
}

TEST_F(FileUtilsTest, RemoveFileReportsWhatTheFilesystemRefused) {
    std::string const folder = makeFullDirectory("folder");            // remove() throws
    std::string const loop = makeLinkLoop("loop");                     // exists() throws
    std::string const underFile = dir.write("plain", "x") + "/child";  // exists() throws

    EXPECT_FALSE(removeFile(folder));
    EXPECT_FALSE(removeFile(loop));
    EXPECT_FALSE(removeFile(underFile));
    expectErrors({
        "Failed to remove file=" + folder,
        "Failed to remove file=" + loop,
        "Failed to remove file=" + underFile,
    });
    EXPECT_TRUE(std::filesystem::exists(folder + "/inside.txt"));
}

TEST_F(FileUtilsTest, FileExistsNeverThrowsNorLogs) {
    EXPECT_TRUE(fileExists(dir.write("file.bin", "")));
    EXPECT_TRUE(fileExists(dir.path()));
    EXPECT_FALSE(fileExists(dir.file("missing")));
    EXPECT_FALSE(fileExists(makeLinkLoop("loop")));
    EXPECT_FALSE(fileExists(dir.write("plain", "x") + "/child"));
    expectNoLines();
}

TEST_F(FileUtilsTest, LastModifiedTimeIsTheFilesMtimeInSeconds) {
    std::string const file = dir.write("file.bin", "x");
    timeval const times[2] = {{1600000000, 0}, {1500000000, 250000}};
    ASSERT_EQ(::utimes(file.c_str(), times), 0);
    EXPECT_EQ(fileLastModifiedTime(file), 1500000000);
    EXPECT_THROW(fileLastModifiedTime(dir.file("missing")), std::exception);
    expectNoLines();
}

TEST_F(FileUtilsTest, TemporaryFileClearsAStaleLeftover) {
    std::string const tmp = dir.write("res.tmp", "stale from an interrupted run");
    TemporaryFile temporary(tmp, dir.file("res.bin"));
    EXPECT_TRUE(temporary.ready);
    EXPECT_FALSE(std::filesystem::exists(tmp));
    expectNoLines();
}

TEST_F(FileUtilsTest, TemporaryFileThatCannotClearItsPathIsNotReady) {
    std::string const tmp = makeFullDirectory("res.tmp");
    {
        TemporaryFile temporary(tmp, dir.file("res.bin"));
        EXPECT_FALSE(temporary.ready);
        expectErrors({"Failed to remove file=" + tmp});
    }
    // The destructor tries once more and says so.
    expectErrors({"Failed to remove file=" + tmp});
    EXPECT_TRUE(std::filesystem::exists(tmp + "/inside.txt"));
}

TEST_F(FileUtilsTest, TemporaryFileMovesOverTheOldDestination) {
    std::string const tmp = dir.file("res.tmp");
    std::string const dest = dir.write("res.bin", "old version");
    {
        TemporaryFile temporary(tmp, dest);
        ASSERT_TRUE(temporary.ready);
        dir.write("res.tmp", "new version");
        EXPECT_TRUE(temporary.moveToDest());
        EXPECT_FALSE(std::filesystem::exists(tmp));
    }
    EXPECT_EQ(TempDir::read(dest), "new version");
    expectNoLines();
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
    expectNoLines();
}

TEST_F(FileUtilsTest, FailedMoveIsReportedAndTheTemporaryFileStillDropped) {
    std::string const tmp = dir.file("res.tmp");
    std::string const dest = dir.file("no/such/folder/res.bin");
    {
        TemporaryFile temporary(tmp, dest);
        ASSERT_TRUE(temporary.ready);
        dir.write("res.tmp", "complete");
        EXPECT_FALSE(temporary.moveToDest());
        expectErrors({"Failed to rename: " + tmp + " -> " + dest});
        EXPECT_TRUE(std::filesystem::exists(tmp));
    }
    EXPECT_FALSE(std::filesystem::exists(tmp));
    expectNoLines();
}

}  // namespace
}  // namespace Tiskel::App
