// The local-directory downloader's copy, progress and pacing; and how both downloaders (HTTP over
// loopback, and the local-directory one) stage a download in its temporary file: a write or close
// that fails never puts a file in place, and a temporary path serves one download at a time.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include <gmock/gmock.h>

#include "App/ResourceDownloadManager/Downloader/NetworkStateEmulator.h"
#include "App/ResourceDownloadManager/Downloader/QtProxyProvider.h"
#include "App/ResourceDownloadManager/Downloader/ResourceDownloaderFileMock.h"
#include "App/ResourceDownloadManager/Downloader/ResourceDownloaderHttp.h"
#include "App/ResourceDownloadManager/ResourceDescriptor.h"

#include "Support/HttpTestServer.h"
#include "Support/LogCapture.h"
#include "Support/TempDir.h"
#include "Support/Wait.h"

namespace Tiskel::App {
namespace {

using Result = IResourceDownloader::Result;
using AfterWrite = std::function<void(uint64_t written, uint64_t total)>;
using Tiskel::Test::TempDir;

using Progress = std::pair<uint64_t, uint64_t>;

enum class Kind { Http, Directory };

// The number of the descriptor this process holds open on `path`, or -1: for making a stream's
// file fail under it (replaced with one of /dev/full, or closed).
int openDescriptorOf(std::string const& path) {
    for (auto const& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code closed;  // a descriptor may be closed before its link is read
        if (std::filesystem::read_symlink(fd.path(), closed) == path) {
            return std::stoi(fd.path().filename().string());
        }
    }
    return -1;
}

// One resource, pack/res.bin, served over loopback HTTP and from the folder server/, and an old
// copy of it at out/res.bin.
class DownloaderTest : public testing::Test {
  protected:
    DownloaderTest() {
        ::unsetenv("http_proxy");
        server.addFile("/pack/res.bin", body);
        dir.write("server/pack/res.bin", body);
        dir.write("out/res.bin", oldContent);
    }

    // Publishes a local source whose pieces all differ, so a piece copied twice or out of order
    // shows.
    std::string publish(size_t size) {
        std::string content;
        for (size_t i = 0; content.size() < size; ++i) {
            content += std::to_string(i) + ',';
        }
        content.resize(size);
        dir.write("server/pack/res.bin", content);
        return content;
    }

    // One download of the resource by a downloader of `kind` (the local copy at `rateKiBps`,
    // by default so fast that it never pauses), through a descriptor of its own. Progress goes
    // to `progress`; the task asks to stop whenever `cancel` is set. `afterWrite` runs on the
    // downloading thread whenever a piece has reached the temporary file: from the HTTP client's
    // progress report, and from the local copy's cancellation poll, which follows each piece.
    Result download(
        Kind kind, AfterWrite afterWrite = [](uint64_t, uint64_t) {}, int rateKiBps = 1000000) {
        ResourceDescriptor descriptor;
        descriptor.tempPath = tmp;
        descriptor.downloadPath = dest;
        descriptor.baseUrl = kind == Kind::Http ? server.baseUrl() : "";
        // The local copy keeps the leading '/' when it builds the source path; the join must
        // still work.
        descriptor.remotePath = "/pack/res.bin";
        uint64_t pieceEnd = 0;
        auto const onProgress = [&](uint64_t done, uint64_t total) {
            progress.emplace_back(done, total);
            if (kind == Kind::Http) {
                afterWrite(done, total);
            }
            pieceEnd = std::min<uint64_t>(done + 131072, total);  // the local copy's next piece
        };
        auto const isCancelled = [&] {
            if (kind == Kind::Directory) {
                afterWrite(pieceEnd, body.size());
            }
            return cancel.load();
        };
        if (kind == Kind::Directory) {
            return ResourceDownloaderFileMock(dir.file("server"), rateKiBps)
                .exec({&descriptor, onProgress, isCancelled});
        }
        return ResourceDownloaderHttp(Networking::createHttpClient(Networking::HttpClientDefault),
                                      std::make_shared<QtProxyProvider>(),
                                      std::make_shared<NetworkStateCheckerStub>())
            .exec({&descriptor, onProgress, isCancelled});
    }

    // A download that must fail with the file helpers' ERROR line `line`, keeping the old file.
    void expectFailedDownload(Kind kind, std::string const& line, AfterWrite afterWrite) {
        log.clear();
        EXPECT_EQ(download(kind, afterWrite), Result::Failed);
        EXPECT_EQ(TempDir::read(dest), oldContent);
        EXPECT_FALSE(std::filesystem::exists(tmp));
        EXPECT_EQ(log.textsFrom("App/ResourceDownloadManager/FileUtils"),
                  std::vector<std::string>{line});
    }

    // Larger than the HTTP client's receive buffer (1 MiB), so the body arrives in pieces.
    std::string const body = std::string(4 * 1024 * 1024, 'n') + "ew";
    std::string const oldContent = "old content";
    TempDir dir;
    std::string const tmp = dir.file("out/res.tmp");
    std::string const dest = dir.file("out/res.bin");
    Tiskel::Test::HttpTestServer server;
    Tiskel::Test::LogCapture log;
    std::vector<Progress> progress;
    std::atomic<bool> cancel{false};
};

// The local copy reports progress before each piece and looks for a cancellation after it: a
// cancelled copy stops after its first piece, logs it and keeps the old file; an empty source,
// copied after a non-empty one, replaces the file. (A missing source fails the manager's retry
// test.)
TEST_F(DownloaderTest, TheLocalCopyReportsEachPieceAndStopsWhenCancelled) {
    std::vector<Progress> const pieces = {{0, 307200}, {131072, 307200}, {262144, 307200}};
    for (auto [size, cancelled] : {std::pair{300 * 1024, true}, {300 * 1024, false}, {0, false}}) {
        SCOPED_TRACE(std::to_string(size) + (cancelled ? " cancelled" : ""));
        progress.clear();
        log.clear();
        cancel = cancelled;
        std::string const content = publish(size);
        EXPECT_EQ(download(Kind::Directory), cancelled ? Result::Cancelled : Result::Success);
        EXPECT_EQ(progress, cancelled ? std::vector<Progress>{pieces[0]}
                                      : std::vector<Progress>(pieces.begin(),
                                                              pieces.begin() + (size ? 3 : 0)));
        EXPECT_EQ(TempDir::read(dest), cancelled ? oldContent : content);
        EXPECT_FALSE(std::filesystem::exists(tmp));
        std::vector<Tiskel::Test::LogLine> const lines = log.lines();
        ASSERT_EQ(lines.size(), cancelled ? 1u : 0u);
        if (cancelled) {
            EXPECT_EQ(lines[0].text, "request=/pack/res.bin was cancelled.");
            EXPECT_EQ(lines[0].severity, google::GLOG_INFO);
        }
    }
}

// The local copy reads a remote path as a web server would: its escapes name the file (a
// manifest holds non-ASCII names escaped), and an escaped ".." leads nowhere.
TEST_F(DownloaderTest, TheLocalCopyDecodesTheRemotePathAndStaysInItsFolder) {
    dir.write(
        "server/Gr\xC3\xBC\xC3\x9F"
        "e/\xC3\xA4.txt",
        "umlauts");
    ResourceDownloaderFileMock const local(dir.file("server"), 1000000);
    ResourceDescriptor descriptor;
    descriptor.tempPath = tmp;
    descriptor.downloadPath = descriptor.localPath = dest;
    for (auto [remote, result] : {std::pair{"Gr%C3%BC%C3%9Fe/%c3%a4.txt", Result::Success},
                                  {"pack/%2E%2E/%2e%2e/out/res.bin", Result::Failed}}) {
        SCOPED_TRACE(remote);
        descriptor.remotePath = remote;
        FileFailure failure;
        EXPECT_EQ(
            local.exec({&descriptor, [](uint64_t, uint64_t) {}, [] { return false; }, &failure}),
            result);
        EXPECT_EQ(local.checkLastModified(&descriptor).failure.kind == FileFailure::FileSystem,
                  result == Result::Failed);
        EXPECT_EQ(TempDir::read(dest), "umlauts");
    }
}

TEST_F(DownloaderTest, PacingHoldsTheLocalCopyToTheRate) {
    // 2048 KiB/s lets 104857 bytes through per 50 ms step. The copy moves one step's worth per
    // piece, so 1 MiB takes ten steps: the 0.5 s the rate asks for. (Whole 128 KiB pieces would
    // cross a step each and end after 8 x 50 ms.)
    publish(1024 * 1024);
    auto const start = std::chrono::steady_clock::now();
    EXPECT_EQ(download(
                  Kind::Directory, [](auto, auto) {}, 2048),
              Result::Success);
    // Only a lower bound: the machine is shared and may be slower, never faster.
    EXPECT_GE(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
              0.495);
}

TEST_F(DownloaderTest, AFailedWriteOrCloseKeepsTheOldFileAndNamesTheFileAndTheReason) {
    for (Kind kind : {Kind::Http, Kind::Directory}) {
        SCOPED_TRACE(kind == Kind::Http ? "HTTP" : "local directory");
        // The disk fills up during the transfer: /dev/full replaces the file's descriptor once
        // the first piece is written.
        int const full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
        expectFailedDownload(kind,
                             "failed to write file=" + tmp + ", errno=No space left on device",
                             [&](uint64_t written, uint64_t total) {
                                 if (written > 0 && written < total) {
                                     ::dup2(full, openDescriptorOf(tmp));
                                 }
                             });
        ::close(full);
        if (kind == Kind::Http) {
            EXPECT_THAT(
                log.lines().back().text,
                testing::EndsWith("error=storing the body failed: No space left on device"));
        }

        // Every byte written, then the close fails: the descriptor is closed behind the stream's
        // back, so its own close reports EBADF as it would a flush error of a network disk.
        expectFailedDownload(kind, "failed to close file=" + tmp + ", errno=Bad file descriptor",
                             [&](uint64_t written, uint64_t total) {
                                 if (written == total) {
                                     ::close(openDescriptorOf(tmp));
                                 }
                             });
    }
}

// Two equal descriptors (same paths, different addresses) downloading at once: the second fails
// at once without touching the first one's partial file, and the first completes.
TEST_F(DownloaderTest, ASecondDownloadOfABusyTemporaryPathFailsAtOnceAndTheFirstCompletes) {
    for (Kind kind : {Kind::Http, Kind::Directory}) {
        SCOPED_TRACE(kind == Kind::Http ? "HTTP" : "local directory");
        log.clear();
        std::atomic<bool> secondDone{false};
        Result second = Result::Success;
        std::string inPlaceAfterSecond;
        std::thread secondThread;
        // Once the first download has written a piece, it waits for the whole second one.
        auto const runSecond = [&](uint64_t written, uint64_t) {
            if (written > 0 && !secondThread.joinable()) {
                secondThread = std::thread([&] {
                    second = download(kind);
                    inPlaceAfterSecond = TempDir::read(dest);
                    secondDone = true;
                });
                EXPECT_TRUE(Tiskel::Test::waitUntil([&] { return secondDone.load(); }));
            }
        };
        EXPECT_EQ(download(kind, runSecond), Result::Success);
        secondThread.join();
        EXPECT_EQ(second, Result::Failed);
        EXPECT_TRUE(inPlaceAfterSecond == oldContent) << "a partial file was put in place";
        EXPECT_TRUE(TempDir::read(dest) == body);
        EXPECT_FALSE(std::filesystem::exists(tmp));
        EXPECT_EQ(log.textsFrom("App/ResourceDownloadManager/FileUtils"),
                  std::vector<std::string>{"Temporary file=" + tmp +
                                           " is in use by another download of this process"});
        dir.write("out/res.bin", oldContent);
    }
}

}  // namespace
}  // namespace Tiskel::App
