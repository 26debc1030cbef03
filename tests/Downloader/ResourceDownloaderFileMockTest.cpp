#include <chrono>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <glog/logging.h>
#include <gtest/gtest.h>

#include "App/ResourceDownloadManager/Downloader/ResourceDownloaderFileMock.h"
#include "App/ResourceDownloadManager/ResourceDescriptor.h"

#include "Support/LogCapture.h"
#include "Support/TempDir.h"

namespace Tiskel::App {
namespace {

using Test::TempDir;
using Progress = std::pair<uint64_t, uint64_t>;

class FileMockTest : public testing::Test {
  protected:
    FileMockTest() {
        descriptor.tempPath = dir.file("local/res.tmp");
        descriptor.downloadPath = dir.write("local/res.bin", "previous version");
        // The leading '/' is kept when the source path is built; the join must still work.
        descriptor.remotePath = "/pack/res.bin";
    }

    // Publishes a source whose pieces all differ, so a piece copied twice or out of order shows.
    std::string publish(size_t size) {
        std::string content;
        for (size_t i = 0; content.size() < size; ++i) {
            content += std::to_string(i) + ',';
        }
        content.resize(size);
        dir.write("server/pack/res.bin", content);
        return content;
    }

    // Downloads the descriptor, recording progress. The default rate is fast enough that small
    // copies never pause; with `cancel` the task asks to stop the first time it is asked.
    IResourceDownloader::Result exec(int rateKiBps = 1000000, bool cancel = false) {
        IResourceDownloader::Task task;
        task.descriptor = &descriptor;
        task.onProgress = [this](auto done, auto total) { progress.emplace_back(done, total); };
        task.isCancelled = [cancel] { return cancel; };
        return ResourceDownloaderFileMock(dir.file("server"), rateKiBps).exec(task);
    }

    bool tempExists() const { return std::filesystem::exists(descriptor.tempPath.string()); }
    std::string downloaded() const { return TempDir::read(descriptor.downloadPath.string()); }

    TempDir dir;
    Tiskel::Test::LogCapture log;
    ResourceDescriptor descriptor;
    std::vector<Progress> progress;
};

TEST_F(FileMockTest, CopiesTheSourceReportingProgressBeforeEachPiece) {
    // The empty source comes second, so it has to replace a non-empty file.
    for (size_t size : {300 * 1024, 0}) {
        SCOPED_TRACE(size);
        progress.clear();
        std::string const content = publish(size);
        EXPECT_EQ(exec(), IResourceDownloader::Success);
        EXPECT_EQ(progress, (size == 0 ? std::vector<Progress>{}
                                       : std::vector<Progress>{
                                             {0, 307200}, {131072, 307200}, {262144, 307200}}));
        EXPECT_EQ(downloaded(), content);
        EXPECT_FALSE(tempExists());
    }
}

TEST_F(FileMockTest, MissingSourceOrCancellationKeepsTheOldFile) {
    EXPECT_EQ(exec(), IResourceDownloader::Failed);  // nothing published yet
    log.clear();  // the missing source's ERROR line belongs to the file helpers

    publish(300 * 1024);
    EXPECT_EQ(exec(1000000, true), IResourceDownloader::Cancelled);
    // Cancellation is checked after the first piece.
    EXPECT_EQ(progress, (std::vector<Progress>{{0, 307200}}));
    EXPECT_FALSE(tempExists());
    EXPECT_EQ(downloaded(), "previous version");
    EXPECT_EQ(log.textsFrom("App/ResourceDownloadManager/Downloader/ResourceDownloaderFileMock"),
              std::vector<std::string>{"request=/pack/res.bin was cancelled."});
    EXPECT_EQ(log.lines().at(0).severity, google::GLOG_INFO);
}

TEST_F(FileMockTest, PacingHoldsTheCopyToTheRate) {
    // 2048 KiB/s lets 104857 bytes through per 50 ms step; each of the eight 128 KiB pieces of
    // 1 MiB crosses one step, so the copy takes at least 8 x 50 ms.
    publish(1024 * 1024);
    auto const start = std::chrono::steady_clock::now();
    EXPECT_EQ(exec(2048), IResourceDownloader::Success);
    // Only a lower bound: the machine is shared and may be slower, never faster.
    EXPECT_GE(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
              0.395);
}

}  // namespace
}  // namespace Tiskel::App
