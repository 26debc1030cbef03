// What both downloaders promise about the temporary file a download is staged in: a write or a
// close that fails never puts a file in place, and a temporary path serves one download at a
// time. Each case runs through the HTTP downloader (loopback server) and the local-directory one.

#include <atomic>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gmock/gmock.h>

#include "App/ResourceDownloadManager/Downloader/NetworkStateEmulator.h"
#include "App/ResourceDownloadManager/Downloader/QtProxyProvider.h"
#include "App/ResourceDownloadManager/Downloader/ResourceDownloaderFileMock.h"
#include "App/ResourceDownloadManager/Downloader/ResourceDownloaderHttp.h"
#include "App/ResourceDownloadManager/ResourceDescriptor.h"

#include "Support/HttpTestServer.h"
#include "Support/LogCapture.h"
#include "Support/OpenFiles.h"
#include "Support/TempDir.h"
#include "Support/Wait.h"

namespace Tiskel::App {
namespace {

using Result = IResourceDownloader::Result;
using Tiskel::Test::TempDir;

enum class Kind { Http, Directory };
constexpr Kind kKinds[] = {Kind::Http, Kind::Directory};
constexpr char kFileUtils[] = "App/ResourceDownloadManager/FileUtils";

// Larger than the HTTP client's 1 MiB receive buffer, so its body arrives in several pieces,
// and than the local-directory downloader's 128 KiB pieces.
std::string patternBody(size_t size) {
    std::string body(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        body[i] = static_cast<char>(i * 131 + i / 7);
    }
    return body;
}

class StagingTest : public testing::Test {
  protected:
    StagingTest() {
        ::unsetenv("http_proxy");
        server.addFile("/pack/res.bin", body);
        dir.write("server/pack/res.bin", body);
        dir.write("out/res.bin", oldContent);
    }

    // Equal descriptors for both kinds; only the source differs.
    ResourceDescriptor descriptorFor(Kind kind) const {
        ResourceDescriptor descriptor;
        descriptor.tempPath = dir.file("out/res.tmp");
        descriptor.downloadPath = dir.file("out/res.bin");
        descriptor.baseUrl = kind == Kind::Http ? server.baseUrl() : "";
        descriptor.remotePath = "pack/res.bin";
        return descriptor;
    }

    std::shared_ptr<IResourceDownloader> downloaderFor(Kind kind) const {
        if (kind == Kind::Directory) {
            return std::make_shared<ResourceDownloaderFileMock>(dir.file("server"), 1000000);
        }
        return std::make_shared<ResourceDownloaderHttp>(
            Networking::createHttpClient(Networking::HttpClientDefault),
            std::make_shared<QtProxyProvider>(), std::make_shared<NetworkStateCheckerStub>());
    }

    // A task whose `afterWrite(written, total)` runs on the downloading thread each time a piece
    // has gone to the temporary file: from the HTTP client's progress report, which follows the
    // write, and from the cancellation poll of the local copy, which follows each piece.
    static IResourceDownloader::Task taskFor(
        Kind kind, ResourceDescriptor const* descriptor,
        std::function<void(uint64_t, uint64_t)> afterWrite = [](uint64_t, uint64_t) {}) {
        auto pieceEnd = std::make_shared<std::pair<uint64_t, uint64_t>>();
        IResourceDownloader::Task task;
        task.descriptor = descriptor;
        task.onProgress = [=](uint64_t done, uint64_t total) {
            if (kind == Kind::Http) {
                afterWrite(done, total);
            } else {
                *pieceEnd = {std::min<uint64_t>(done + 131072, total), total};
            }
        };
        task.isCancelled = [=] {
            if (kind == Kind::Directory) {
                afterWrite(pieceEnd->first, pieceEnd->second);
            }
            return false;
        };
        return task;
    }

    // Runs a download that must fail for the reason in `line` (the file helpers' ERROR line);
    // returns what went wrong, "" when nothing did. A text rather than assertions, so that a
    // child process can report it.
    std::string failedDownload(Kind kind, std::string const& line,
                               std::function<void(uint64_t, uint64_t)> afterWrite) {
        ResourceDescriptor const descriptor = descriptorFor(kind);
        log.clear();
        Result const result = downloaderFor(kind)->exec(taskFor(kind, &descriptor, afterWrite));
        std::string problems;
        if (result != Result::Failed) {
            problems += "result " + std::to_string(result) + "; ";
        }
        if (TempDir::read(descriptor.downloadPath.string()) != oldContent) {
            problems += "the old file was replaced; ";
        }
        if (std::filesystem::exists(descriptor.tempPath.string())) {
            problems += "a temporary file is left; ";
        }
        std::vector<std::string> const lines = log.textsFrom(kFileUtils);
        if (lines != std::vector<std::string>{line}) {
            problems += "file lines: " + testing::PrintToString(lines);
        }
        return problems;
    }

    std::string const body = patternBody(4 * 1024 * 1024 + 17);
    std::string const oldContent = patternBody(3000).substr(1000);
    TempDir dir;
    Tiskel::Test::HttpTestServer server;
    Tiskel::Test::LogCapture log;
};

TEST_F(StagingTest, AFailedWriteOrCloseKeepsTheOldFileAndNamesTheFileAndTheReason) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::string const tmp = dir.file("out/res.tmp");
    for (Kind kind : kKinds) {
        SCOPED_TRACE(kind == Kind::Http ? "HTTP" : "local directory");
        // A file-size limit of 64 KiB, as a nearly full disk gives. Set in a child process (a
        // fresh run of this test program) so that the limit never touches the test runner.
        auto const underSizeLimit = [&] {
            rlimit const limit{64 * 1024, 64 * 1024};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            std::signal(SIGXFSZ, SIG_IGN);
            std::string const problems =
                failedDownload(kind, "failed to write file=" + tmp + ", errno=File too large",
                               [](uint64_t, uint64_t) {});
            std::fputs(problems.c_str(), stderr);
            std::_Exit(problems.empty() ? 0 : 1);
        };
        EXPECT_EXIT(underSizeLimit(), testing::ExitedWithCode(0), "");

        // The disk fills up during the transfer: the temporary file's descriptor is replaced by
        // one of /dev/full once the first piece is written.
        int const full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
        ASSERT_GE(full, 0);
        EXPECT_EQ(
            failedDownload(kind, "failed to write file=" + tmp + ", errno=No space left on device",
                           [&](uint64_t written, uint64_t total) {
                               if (written > 0 && written < total) {
                                   ::dup2(full, Tiskel::Test::openDescriptorOf(tmp));
                               }
                           }),
            "");
        ::close(full);
        if (kind == Kind::Http) {
            // The client ended the transfer as a local failure that names the reason.
            EXPECT_THAT(log.lines().back().text,
                        testing::EndsWith("failed with error=storing the body failed: No space "
                                          "left on device"));
        }

        // The close fails after every byte was written: the descriptor is closed behind the
        // stream's back, so the stream's own close reports EBADF, as it would a flush error.
        EXPECT_EQ(
            failedDownload(kind, "failed to close file=" + tmp + ", errno=Bad file descriptor",
                           [&](uint64_t written, uint64_t total) {
                               if (written == total) {
                                   ::close(Tiskel::Test::openDescriptorOf(tmp));
                               }
                           }),
            "");
    }
}

// Two equal descriptors (same paths, different addresses) downloading at once: the second finds
// the temporary path in use and fails at once, without touching the first one's partial file,
// and the first completes.
TEST_F(StagingTest, ASecondDownloadOfABusyTemporaryPathFailsAtOnceAndTheFirstCompletes) {
    std::string const tmp = dir.file("out/res.tmp");
    for (Kind kind : kKinds) {
        SCOPED_TRACE(kind == Kind::Http ? "HTTP" : "local directory");
        std::shared_ptr<IResourceDownloader> const downloader = downloaderFor(kind);
        ResourceDescriptor const first = descriptorFor(kind);
        ResourceDescriptor const second = descriptorFor(kind);
        dir.write("out/res.bin", oldContent);
        log.clear();

        std::atomic<bool> secondDone{false};
        Result secondResult = Result::Success;
        std::string inPlaceAfterSecond;
        std::thread secondThread;
        // Once the first download has written a piece, the second runs to its end while the
        // first waits.
        auto const startSecond = [&](uint64_t written, uint64_t) {
            if (written == 0 || secondThread.joinable()) {
                return;
            }
            secondThread = std::thread([&] {
                secondResult = downloader->exec(taskFor(kind, &second));
                inPlaceAfterSecond = TempDir::read(second.downloadPath.string());
                secondDone = true;
            });
            EXPECT_TRUE(Tiskel::Test::waitUntil([&] { return secondDone.load(); }));
        };
        EXPECT_EQ(downloader->exec(taskFor(kind, &first, startSecond)), Result::Success);
        ASSERT_TRUE(secondThread.joinable());
        secondThread.join();

        EXPECT_EQ(secondResult, Result::Failed);
        EXPECT_TRUE(inPlaceAfterSecond == oldContent) << "the partial file was put in place";
        EXPECT_TRUE(TempDir::read(first.downloadPath.string()) == body);
        EXPECT_FALSE(std::filesystem::exists(tmp));
        EXPECT_EQ(log.textsFrom(kFileUtils),
                  std::vector<std::string>{"Temporary file=" + tmp +
                                           " is in use by another download of this process"});
    }
}

}  // namespace
}  // namespace Tiskel::App
