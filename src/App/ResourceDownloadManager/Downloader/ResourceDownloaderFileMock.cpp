#include "App/ResourceDownloadManager/Downloader/ResourceDownloaderFileMock.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include <glog/logging.h>

#include "App/ResourceDownloadManager/FileUtils.h"
#include "App/ResourceDownloadManager/LogFilter.h"
#include "App/ResourceDownloadManager/ResourceDescriptor.h"
#include "Platform/Networking/Url.h"

namespace Tiskel::App {

namespace {

constexpr char kUnit[] = "App/ResourceDownloadManager/Downloader/ResourceDownloaderFileMock";

// A copy moves in pieces of at most this size, and of at most one pacing step's worth:
// progress is reported before each piece and cancellation is checked after it, like the chunks
// of a network transfer.
constexpr uint64_t kPieceSize = 131072;
// The pacing clock ticks 20 times a second; each tick lets one twentieth of the rate through.
constexpr int64_t kStepMs = 50;
constexpr uint64_t kStepsPerSecond = 1000 / kStepMs;

FileFailure outOfFolder(ioPath const& rootPath, ResourceDescriptor const& descriptor) {
    return fileSystemFailure("read", rootPath / ioPath(descriptor.remotePath), EACCES,
                             "the remote path leads out of the source folder");
}

}  // namespace

struct ResourceDownloaderFileMock::Impl {
    Impl(ioPath rootPath, int rateKiBps) : rootPath(std::move(rootPath)), rateKiBps(rateKiBps) {}

    // The file that stands for the resource. Its remote path is the path of a URL, so its
    // escapes are decoded, as a web server serving `rootPath` would; empty when the decoded
    // path leads out of `rootPath` (a ".." part) or holds a NUL byte.
    std::optional<ioPath> source(ResourceDescriptor const& descriptor) const {
        std::string const path = Networking::percentDecodePath(descriptor.remotePath);
        if (path.find('\0') != std::string::npos ||
            ("/" + path + "/").find("/../") != std::string::npos) {
            return std::nullopt;
        }
        return rootPath / ioPath(path);
    }

    std::atomic<bool> aborted{false};
    // Constant after construction.
    ioPath const rootPath;
    int const rateKiBps;
};

ResourceDownloaderFileMock::ResourceDownloaderFileMock(ioPath rootPath, int rateKiBps)
    : impl(std::make_unique<Impl>(std::move(rootPath), rateKiBps)) {}

ResourceDownloaderFileMock::~ResourceDownloaderFileMock() {
    impl->aborted = true;
}

IResourceDownloader::Result ResourceDownloaderFileMock::exec(Task task) const {
    ResourceDescriptor const& descriptor = *task.descriptor;
    std::optional<ioPath> const source = impl->source(descriptor);
    FileFailure ignored;
    FileFailure& failure = task.failure != nullptr ? *task.failure : ignored;
    if (!source) {
        failure = outOfFolder(impl->rootPath, descriptor);
        return Failed;
    }

    TemporaryFile temporary(descriptor.tempPath, descriptor.downloadPath);
    if (!temporary.ready) {
        failure = temporary.failure();
        return Failed;
    }
    boost::intrusive_ptr<Core::IDataOutput> output =
        openOutputNoexcept(descriptor.tempPath, failure);
    if (!output) {
        return Failed;
    }
    std::vector<uint8_t> buffer;
    if (!readWholeFileToBuffer(*source, buffer, failure)) {
        return Failed;
    }

    // Each time the bytes written cross the threshold, the copy waits out one step of wall time.
    // Time already lost beyond a step (the lag) is taken off the next waits, so slow writes or a
    // late wake-up do not push the copy below its rate.
    using Clock = std::chrono::steady_clock;
    uint64_t const stepBytes =
        std::max<uint64_t>(static_cast<uint64_t>(impl->rateKiBps) * 1024 / kStepsPerSecond, 1);
    // A piece larger than a step would let more than a step through per wait, and a slow rate
    // would not hold.
    uint64_t const pieceSize = std::min(kPieceSize, stepBytes);
    uint64_t threshold = stepBytes;
    uint64_t written = 0;
    int64_t lagMs = 0;
    Clock::time_point previous = Clock::now();
    uint64_t const total = buffer.size();

    bool cancelled = false;
    for (uint64_t offset = 0; offset < total; offset += pieceSize) {
        task.onProgress(offset, total);
        uint64_t const piece = std::min(pieceSize, total - offset);
        try {
            writeOutput(*output, descriptor.tempPath, buffer.data() + offset, piece, failure);
        } catch (...) {
            return Failed;  // logged with the path and the reason; the partial copy goes
        }
        if (impl->aborted || task.isCancelled()) {
            cancelled = true;
            break;
        }
        written += piece;
        if (written >= threshold) {
            if (lagMs <= kStepMs - 1) {
                std::this_thread::sleep_for(std::chrono::milliseconds(kStepMs - lagMs));
            }
            threshold += stepBytes;
            Clock::time_point const now = Clock::now();
            lagMs += std::chrono::duration_cast<std::chrono::milliseconds>(now - previous).count() -
                     kStepMs;
            previous = now;
        }
    }
    if (cancelled) {
        output.reset();  // closed quietly: the partial copy is dropped anyway
        if (isLogged(google::GLOG_INFO)) {
            google::LogMessage(kUnit, __LINE__, google::GLOG_INFO).stream()
                << "request=" << descriptor.remotePath << " was cancelled.";
        }
        failure.kind = FileFailure::Cancelled;
        failure.text = "cancelled";
        return Cancelled;  // the temporary file's destructor drops the partial copy
    }
    // The close is the last place a full disk can show; the file is renamed only after it.
    bool const stored = closeOutputNoexcept(*output, descriptor.tempPath, failure);
    output.reset();
    if (!stored) {
        return Failed;
    }
    if (!temporary.moveToDest()) {
        failure = temporary.failure();
        return Failed;
    }
    return Success;
}

void ResourceDownloaderFileMock::abort() {
    impl->aborted = true;
}

int64_t ResourceDownloaderFileMock::requestLastModified(
    ResourceDescriptor const* descriptor) const {
    std::optional<ioPath> const source = impl->source(*descriptor);
    return source ? fileLastModifiedTime(*source) : -1;
}

IResourceDownloader::LastModified ResourceDownloaderFileMock::checkLastModified(
    ResourceDescriptor const* descriptor) const {
    std::optional<ioPath> const source = impl->source(*descriptor);
    LastModified answer;
    // The look that finds no file is the failed query: -1 and why, instead of the exception
    // requestLastModified lets out.
    if (!source) {
        answer.failure = outOfFolder(impl->rootPath, *descriptor);
    } else if (std::optional<int64_t> const time = fileLastModifiedTimeIfExists(*source)) {
        answer.time = *time;
    } else {
        answer.failure =
            fileSystemFailure("read", *source, ENOENT, "no such file in the source folder");
    }
    return answer;
}

}  // namespace Tiskel::App
