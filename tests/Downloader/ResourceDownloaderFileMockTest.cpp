#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <sys/time.h>
#include <thread>
#include <utility>
#include <vector>

#include <glog/logging.h>
#include <gtest/gtest.h>

#include "App/ResourceDownloadManager/Downloader/ResourceDownloaderFileMock.h"
#include "App/ResourceDownloadManager/ResourceDescriptor.h"

#include "Support/LogCapture.h"
#include "Support/TempDir.h"
#include "Support/Wait.h"

namespace Tiskel::App {
namespace {

using Test::LogCapture;
using Test::LogLine;
using Test::TempDir;
using Test::waitUntil;
using Progress = std::pair<uint64_t, uint64_t>;

constexpr char kMockUnit[] = "App/ResourceDownloadManager/Downloader/ResourceDownloaderFileMock";
constexpr char kFilesUnit[] = "App/ResourceDownloadManager/FileUtils";
// Fast enough that small copies never pause.
constexpr int kUnpaced = 1000000;

std::string patterned(size_t size) {
    std::string content(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        content[i] = static_cast<char>(i * 131 + i / 7);
    }
    return content;
}

class FileMockTest : public testing::Test {
  protected:
    FileMockTest() {
        std::filesystem::create_directories(dir.file("server/pack"));
        std::filesystem::create_directories(dir.file("local"));
        descriptor.localPath = dir.file("local/res.bin");
        descriptor.tempPath = dir.file("local/res.tmp");
        descriptor.downloadPath = dir.file("local/res.bin");
        // The leading '/' is kept when the source path is built; the join must still work.
        descriptor.remotePath = "/pack/res.bin";
    }

    std::string publish(std::string const& content) {
        return dir.write("server/pack/res.bin", content);
    }

    // A task that records its progress calls and reports cancellation once `cancelAfter` calls
    // of isCancelled have said no.
    IResourceDownloader::Task task(int cancelAfter = -1) {
        IResourceDownloader::Task task;
        task.descriptor = &descriptor;
        task.onProgress = [this](uint64_t done, uint64_t total) {
            std::lock_guard<std::mutex> lock(mutex);
            progress.emplace_back(done, total);
        };
        task.isCancelled = [this, cancelAfter] {
            int const asked = cancelChecks++;
            return cancelAfter >= 0 && asked >= cancelAfter;
        };
        return task;
    }

    std::vector<Progress> progressCalls() {
        std::lock_guard<std::mutex> lock(mutex);
        return progress;
    }

    bool tempExists() const { return std::filesystem::exists(descriptor.tempPath.string()); }
    std::string downloaded() const { return TempDir::read(descriptor.downloadPath.string()); }

    TempDir dir;
    LogCapture log;
    ResourceDescriptor descriptor;
    std::mutex mutex;
    std::vector<Progress> progress;
    std::atomic<int> cancelChecks{0};
};

TEST_F(FileMockTest, EmptySourceGivesAnEmptyFileWithoutProgress) {
    publish("");
    dir.write("local/res.bin", "previous version");
    ResourceDownloaderFileMock downloader(dir.file("server"), kUnpaced);

    EXPECT_EQ(downloader.exec(task()), IResourceDownloader::Success);
    EXPECT_TRUE(progressCalls().empty());
    EXPECT_EQ(cancelChecks, 0);
    EXPECT_EQ(downloaded(), "");
    EXPECT_FALSE(tempExists());
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(FileMockTest, CopiesInPiecesReportingProgressBeforeEach) {
    std::string const content = patterned(300 * 1024);
    publish(content);
    dir.write("local/res.bin", "previous version");
    ResourceDownloaderFileMock downloader(dir.file("server"), kUnpaced);

    EXPECT_EQ(downloader.exec(task()), IResourceDownloader::Success);
    EXPECT_EQ(progressCalls(),
              (std::vector<Progress>{{0, 307200}, {131072, 307200}, {262144, 307200}}));
    EXPECT_EQ(cancelChecks, 3);
    EXPECT_EQ(downloaded(), content);
    EXPECT_FALSE(tempExists());
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(FileMockTest, CancellationAfterThePieceKeepsTheOldFile) {
    publish(patterned(300 * 1024));
    dir.write("local/res.bin", "previous version");
    ResourceDownloaderFileMock downloader(dir.file("server"), kUnpaced);

    EXPECT_EQ(downloader.exec(task(0)), IResourceDownloader::Cancelled);
    EXPECT_EQ(progressCalls(), (std::vector<Progress>{{0, 307200}}));
    EXPECT_FALSE(tempExists());
    EXPECT_EQ(downloaded(), "previous version");

    std::vector<LogLine> const lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "request=/pack/res.bin was cancelled.");
    EXPECT_EQ(lines[0].file, kMockUnit);
    EXPECT_EQ(lines[0].severity, google::GLOG_INFO);
}

TEST_F(FileMockTest, AbortBeforeExecLetsOnePieceThrough) {
    publish(patterned(300 * 1024));
    ResourceDownloaderFileMock downloader(dir.file("server"), kUnpaced);
    downloader.abort();

    EXPECT_EQ(downloader.exec(task()), IResourceDownloader::Cancelled);
    EXPECT_EQ(progressCalls(), (std::vector<Progress>{{0, 307200}}));
    EXPECT_EQ(cancelChecks, 0);  // the abort flag is enough; the task is not asked
    EXPECT_FALSE(tempExists());
    EXPECT_FALSE(std::filesystem::exists(descriptor.downloadPath.string()));
    EXPECT_EQ(log.textsFrom(kMockUnit),
              std::vector<std::string>{"request=/pack/res.bin was cancelled."});
}

TEST_F(FileMockTest, AbortFromAnotherThreadStopsARunningCopy) {
    // At rate 0 every piece costs one 50 ms step, so 40 pieces take about two seconds: plenty
    // of time for the abort to land in the middle.
    publish(patterned(40 * 131072));
    ResourceDownloaderFileMock downloader(dir.file("server"), 0);

    std::atomic<IResourceDownloader::Result> result{IResourceDownloader::Success};
    std::thread worker([&] { result = downloader.exec(task()); });
    ASSERT_TRUE(waitUntil([&] { return progressCalls().size() >= 2; }));
    downloader.abort();
    worker.join();

    EXPECT_EQ(result, IResourceDownloader::Cancelled);
    EXPECT_LT(progressCalls().size(), 40u);
    EXPECT_FALSE(tempExists());
    EXPECT_FALSE(std::filesystem::exists(descriptor.downloadPath.string()));
}

TEST_F(FileMockTest, MissingSourceFails) {
    dir.write("local/res.bin", "previous version");
    ResourceDownloaderFileMock downloader(dir.file("server"), kUnpaced);

    EXPECT_EQ(downloader.exec(task()), IResourceDownloader::Failed);
    EXPECT_TRUE(progressCalls().empty());
    EXPECT_FALSE(tempExists());
    EXPECT_EQ(downloaded(), "previous version");
    EXPECT_EQ(log.textsFrom(kFilesUnit),
              std::vector<std::string>{
                  "failed to create file for reading=" + dir.file("server//pack/res.bin") +
                  ", errno=No such file or directory"});
    EXPECT_TRUE(log.textsFrom(kMockUnit).empty());
}

TEST_F(FileMockTest, FilesystemFailuresAroundTheCopyFail) {
    publish("content");
    ResourceDownloaderFileMock downloader(dir.file("server"), kUnpaced);

    // Something that cannot be removed sits at the temporary path.
    dir.write("local/res.tmp/inside", "x");
    EXPECT_EQ(downloader.exec(task()), IResourceDownloader::Failed);
    EXPECT_EQ(log.textsFrom(kFilesUnit),
              std::vector<std::string>(2, "Failed to remove file=" + dir.file("local/res.tmp")));
    std::filesystem::remove_all(dir.file("local/res.tmp"));
    log.clear();

    // The temporary file cannot be created.
    descriptor.tempPath = dir.file("local/missing/res.tmp");
    EXPECT_EQ(downloader.exec(task()), IResourceDownloader::Failed);
    EXPECT_EQ(log.textsFrom(kFilesUnit),
              std::vector<std::string>{
                  "failed to create file for writing=" + dir.file("local/missing/res.tmp") +
                  ", errno=No such file or directory"});
    descriptor.tempPath = dir.file("local/res.tmp");
    log.clear();

    // The finished copy cannot be moved into place.
    descriptor.downloadPath = dir.file("local/missing/res.bin");
    EXPECT_EQ(downloader.exec(task()), IResourceDownloader::Failed);
    EXPECT_EQ(log.textsFrom(kFilesUnit),
              std::vector<std::string>{"Failed to rename: " + dir.file("local/res.tmp") + " -> " +
                                       dir.file("local/missing/res.bin")});
    EXPECT_FALSE(tempExists());

    EXPECT_EQ(progressCalls().size(), 1u);  // only the last attempt got to copy
}

TEST_F(FileMockTest, LastModifiedIsTheSourcesMtime) {
    std::string const source = publish("content");
    timeval const times[2] = {{1700000000, 0}, {1650000000, 0}};
    ASSERT_EQ(::utimes(source.c_str(), times), 0);
    ResourceDownloaderFileMock downloader(dir.file("server"), kUnpaced);

    EXPECT_EQ(downloader.requestLastModified(&descriptor), 1650000000);
    descriptor.remotePath = "/pack/missing.bin";
    EXPECT_THROW(downloader.requestLastModified(&descriptor), std::exception);
}

TEST_F(FileMockTest, PacingHoldsTheCopyToTheRate) {
    // 2048 KiB/s lets 104857 bytes through per 50 ms step; each of the eight 128 KiB pieces of
    // 1 MiB crosses one step, so the copy takes at least 8 x 50 ms.
    std::string const content = patterned(1024 * 1024);
    publish(content);
    ResourceDownloaderFileMock downloader(dir.file("server"), 2048);
    auto const start = std::chrono::steady_clock::now();
    EXPECT_EQ(downloader.exec(task()), IResourceDownloader::Success);
    // Only a lower bound: the machine is shared and may be slower, never faster.
    EXPECT_GE(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
              0.395);
    EXPECT_EQ(downloaded(), content);
}

}  // namespace
}  // namespace Tiskel::App
