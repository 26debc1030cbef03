#include "App/ResourceDownloadManager/Downloader/ResourceDownloaderHttp.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include <glog/logging.h>

#include "App/ResourceDownloadManager/Downloader/DownloadFiles.h"
#include "App/ResourceDownloadManager/FileUtils.h"
#include "App/ResourceDownloadManager/LogFilter.h"
#include "App/ResourceDownloadManager/ResourceDescriptor.h"
#include "Platform/Networking/Url.h"

namespace Tiskel::App {

namespace {

constexpr char kUnit[] = "App/ResourceDownloadManager/Downloader/ResourceDownloaderHttp";

// A proxy in the path makes connecting slower; the client gets more time for it.
constexpr int32_t kDirectConnectTimeoutSeconds = 5;
constexpr int32_t kProxyConnectTimeoutSeconds = 20;

using Networking::IProxyProvider;

// The resource's absolute URL: the base URL and the remote path joined by exactly one '/' (one
// leading '/' of the remote path is dropped; a second one is kept). Characters of the remote path
// that a URL cannot hold (spaces, non-ASCII names, ...) are percent-encoded; the base URL is
// taken as the host wrote it.
std::string url(ResourceDescriptor const* descriptor) {
    std::string base = descriptor->baseUrl;
    if (!base.empty() && base.back() != '/') {
        base += '/';
    }
    std::string path = descriptor->remotePath;
    if (!path.empty() && path.front() == '/') {
        path.erase(0, 1);
    }
    return base + Networking::percentEncodePath(path);
}

// The proxy as the client takes it ("http://host:port"); "" for a direct connection. Credentials
// never appear: the provider does not hand out proxies that need them.
std::string proxyUrl(IProxyProvider::Proxy const& proxy) {
    char const* scheme = "";
    switch (proxy.type) {
        case IProxyProvider::Proxy::Http:
            scheme = "http";
            break;
        case IProxyProvider::Proxy::Https:
            scheme = "https";
            break;
        case IProxyProvider::Proxy::Socks4:
            scheme = "socks4";
            break;
        case IProxyProvider::Proxy::Socks5:
            scheme = "socks5";
            break;
        default:
            break;
    }
    if (*scheme == '\0') {
        return {};
    }
    return std::string(scheme) + "://" + proxy.host + ":" + std::to_string(proxy.port);
}

// Why a request failed, from its response. The texts name no URL, so they carry no credentials.
FileFailure responseFailure(Networking::Response const& response) {
    FileFailure failure;
    failure.text = response.errorText;
    failure.retryAfterSeconds = response.retryAfterSeconds;
    switch (response.error) {
        case Networking::Response::HttpStatus:
            failure.kind = FileFailure::HttpStatus;
            failure.httpStatus = response.httpStatus;
            break;
        case Networking::Response::Cancelled:
            failure.kind = FileFailure::Cancelled;
            break;
        default:
            failure.kind = FileFailure::Transport;
            failure.transportError = response.error;
            break;
    }
    return failure;
}

FileFailure offlineFailure(Networking::Response const& response) {
    FileFailure failure;
    failure.kind = FileFailure::Offline;
    failure.transportError = response.error;
    failure.text = "the network is offline";
    return failure;
}

// A broken-off transfer keeps its partial file for a later attempt from this size on: below it,
// starting over costs less than the risk of a part that does not fit.
constexpr uint64_t kMinResumeBytes = 1024 * 1024;

// The validator an answer offers for If-Range: its ETag when that is a strong one, else its
// Last-Modified as an HTTP date; "" when it has neither.
std::string validatorOf(Networking::Response const& head) {
    if (!head.etag.empty() && head.etag.rfind("W/", 0) != 0) {
        return head.etag;
    }
    return head.lastModified >= 0 ? DownloadFiles::httpDate(head.lastModified) : std::string();
}

// 429 Too Many Requests with a Retry-After, and 503 Service Unavailable with or without one:
// the server is there and asks the client to come back later.
bool asksToComeBack(Networking::Response const& response) {
    return response.error == Networking::Response::HttpStatus &&
           (response.httpStatus == 503 ||
            (response.httpStatus == 429 && response.retryAfterSeconds >= 0));
}

// Below this size a transfer is not checked for room on the disk: a write that does not fit
// fails anyway, and a check for every small file would cost a system call each.
constexpr uint64_t kMinSpaceCheckBytes = 1024 * 1024;

// False, with the failure said and logged, when `needed` bytes do not fit beside `file`.
bool enoughSpace(ioPath const& file, uint64_t needed, FileFailure& failure) {
    if (needed < kMinSpaceCheckBytes) {
        return true;
    }
    std::optional<uint64_t> const free = DownloadFiles::freeSpaceFor(file);
    if (!free || *free >= needed) {
        return true;
    }
    failure = DownloadFiles::noSpaceFailure(file, needed, *free);
    google::LogMessage(kUnit, __LINE__, google::GLOG_ERROR).stream()
        << "file=" << file << ": " << failure.text;
    return false;
}

// After a transfer that broke off: the partial file stays for a later attempt when it is worth
// it and its record says what it is a part of; otherwise the file goes with `temporary` and its
// record, when there may be one, with it.
void keepPartial(TemporaryFile& temporary, ioPath const& file, bool resumable, bool recordOnDisk) {
    std::optional<FileStatus> const partial = resumable ? fileStatusIfExists(file) : std::nullopt;
    if (partial && static_cast<uint64_t>(partial->size) >= kMinResumeBytes) {
        temporary.keep();
    } else if (recordOnDisk) {
        DownloadFiles::removeResumeRecord(file);
    }
}

// Counts itself in `count` for its lifetime.
class Counted {
  public:
    explicit Counted(std::atomic<int>& count) : count(count) { ++count; }
    ~Counted() { --count; }
    Counted(Counted const&) = delete;
    Counted& operator=(Counted const&) = delete;

  private:
    std::atomic<int>& count;
};

}  // namespace

struct ResourceDownloaderHttp::Impl {
    Impl(std::shared_ptr<Networking::IHttpClient> client,
         std::shared_ptr<IProxyProvider> proxyProvider,
         std::shared_ptr<INetworkStateChecker> networkStateChecker, Features const& features)
        : client(std::move(client)),
          proxyProvider(std::move(proxyProvider)),
          networkStateChecker(std::move(networkStateChecker)),
          features(features) {}

    // One download attempt. `mayResume` false ignores a kept part; `rangeRefused` is set when
    // the server refused the range of a kept part (416), which is then dropped.
    Result fetch(Task const& task, std::string const& target, FileFailure& failure, bool mayResume,
                 bool& rangeRefused);

    // Default options with the proxy for `target` and the connect time-out that goes with it.
    Networking::RequestOptions optionsFor(std::string const& target) const {
        Networking::RequestOptions options;
        options.proxy = proxyUrl(proxyProvider->getProxy(target));
        options.connectTimeoutSeconds =
            options.proxy.empty() ? kDirectConnectTimeoutSeconds : kProxyConnectTimeoutSeconds;
        return options;
    }

    bool offline() const {
        return networkStateChecker->getState() == INetworkStateChecker::Offline;
    }

    // Each running download's share of the receive-rate limit, in bytes per second; 0: none.
    int64_t rateShare() const {
        int64_t const total = rateLimit.load();
        if (total <= 0) {
            return 0;
        }
        return std::max<int64_t>(total / std::max(running.load(), 1), 1);
    }

    std::atomic<bool> aborted{false};
    std::atomic<int64_t> rateLimit{0};  // bytes per second for all downloads; 0: no limit
    std::atomic<int> running{0};        // downloads in transfer
    // Constant after construction.
    std::shared_ptr<Networking::IHttpClient> const client;
    std::shared_ptr<IProxyProvider> const proxyProvider;
    std::shared_ptr<INetworkStateChecker> const networkStateChecker;
    Features const features;
};

ResourceDownloaderHttp::ResourceDownloaderHttp(
    std::shared_ptr<Networking::IHttpClient> const& client,
    std::shared_ptr<IProxyProvider> const& proxyProvider,
    std::shared_ptr<INetworkStateChecker> const& networkStateChecker)
    : ResourceDownloaderHttp(client, proxyProvider, networkStateChecker, Features()) {}

ResourceDownloaderHttp::ResourceDownloaderHttp(
    std::shared_ptr<Networking::IHttpClient> const& client,
    std::shared_ptr<IProxyProvider> const& proxyProvider,
    std::shared_ptr<INetworkStateChecker> const& networkStateChecker, Features const& features)
    : impl(std::make_unique<Impl>(client, proxyProvider, networkStateChecker, features)) {}

ResourceDownloaderHttp::~ResourceDownloaderHttp() {
    impl->aborted = true;
}

IResourceDownloader::Result ResourceDownloaderHttp::exec(Task task) const {
    std::string const target = url(task.descriptor);
    if (isLogged(google::GLOG_INFO)) {
        google::LogMessage(kUnit, __LINE__, google::GLOG_INFO).stream()
            << "HTTP download=" << Networking::maskCredentials(target);
    }
    FileFailure ignored;
    FileFailure& failure = task.failure != nullptr ? *task.failure : ignored;
    bool rangeRefused = false;
    Result const result = impl->fetch(task, target, failure, true, rangeRefused);
    if (!rangeRefused) {
        return result;
    }
    // The kept part is not a part of the file the server has now (416): start over at once.
    return impl->fetch(task, target, failure, false, rangeRefused);
}

IResourceDownloader::Result ResourceDownloaderHttp::Impl::fetch(Task const& task,
                                                                std::string const& target,
                                                                FileFailure& failure,
                                                                bool mayResume,
                                                                bool& rangeRefused) {
    ResourceDescriptor const* const descriptor = task.descriptor;
    ioPath const& tempPath = descriptor->tempPath;

    // A partial file an earlier attempt kept, and the validator it was fetched under. A record
    // is looked for, and later removed, only beside a partial file: small files, which never
    // keep one, cost no extra file operation.
    uint64_t offset = 0;
    std::string validator;
    bool recordOnDisk = false;  // a record may lie beside the temporary file
    bool nothingThere = false;  // the look found no leftover at the temporary path to clear
    if (features.resume) {
        PathLook const look = lookAt(tempPath);
        nothingThere = look.absent;
        std::optional<FileStatus> const& partial = look.status;
        recordOnDisk = partial.has_value();
        std::optional<DownloadFiles::ResumeRecord> const record =
            mayResume && partial && static_cast<uint64_t>(partial->size) >= kMinResumeBytes
                ? DownloadFiles::readResumeRecord(tempPath)
                : std::nullopt;
        if (record && record->url == target) {
            offset = static_cast<uint64_t>(partial->size);
            validator = record->validator;
        }
    }
    std::optional<TemporaryFile> temporary;
    if (offset > 0 || nothingThere) {
        // A kept part to go on with, or nothing at all to clear: no second look at the path.
        temporary.emplace(tempPath, descriptor->downloadPath, TemporaryFile::keepLeftover);
    } else {
        temporary.emplace(tempPath, descriptor->downloadPath);
        if (recordOnDisk && temporary->ready) {
            DownloadFiles::removeResumeRecord(tempPath);  // its partial file is gone
            recordOnDisk = false;
        }
    }
    if (!temporary->ready) {
        failure = temporary->failure();
        return Failed;
    }
    if (features.checkFreeSpace && descriptor->expectedSize > 0 &&
        !enoughSpace(tempPath, static_cast<uint64_t>(descriptor->expectedSize) - offset, failure)) {
        return Failed;
    }
    // A partial file is continued when the server still has the version it came from; a
    // present file is asked for only when it changed. A kept part wins over the check: it
    // belongs to a newer version than the present file.
    bool const conditional = features.conditional && task.ifModifiedSince >= 0 && offset == 0;
    // A check that usually answers "not modified" makes its file only once a body comes, so
    // that a current file costs no file operation; otherwise the file is made first.
    boost::intrusive_ptr<Core::IDataOutput> out;
    if (!conditional) {
        out = offset > 0 ? appendOutputNoexcept(tempPath, failure)
                         : openOutputNoexcept(tempPath, failure);
        if (!out) {
            return Failed;
        }
    }
    Networking::HeaderMap headers;
    if (offset > 0) {
        headers["Range"] = "bytes=" + std::to_string(offset) + "-";
        headers["If-Range"] = validator;
    }
    if (conditional) {
        headers["If-Modified-Since"] = DownloadFiles::httpDate(task.ifModifiedSince);
        std::string const tag = DownloadFiles::entityTagOf(descriptor->localPath);
        if (!tag.empty()) {
            headers["If-None-Match"] = tag;
        }
    }
    Networking::Request const request(Networking::Url(target), headers, {});
    Networking::RequestOptions options = optionsFor(target);
    // Each piece goes to the file as it arrives. A client that knows `bodySink` hands it the
    // pieces straight from its receive buffer; one that knows only `onData` (the networking
    // contract's own receiver) gets the same writes. A failed write is logged with the file's
    // path, said in `failure`, and ends the transfer as a local failure of the client.
    FileFailure writeFailure;
    bool headSeen = false;    // the client reported the answer's head
    bool continuing = false;  // the answer is the rest of the kept part
    bool resumable = false;   // a record beside the file says what it is a part of
    auto const write = [&](char const* data, std::size_t length) {
        if (!out) {  // a conditional request's new version
            out = openOutputNoexcept(tempPath, writeFailure);
            if (!out) {
                throw std::runtime_error(writeFailure.text);
            }
        }
        if (offset > 0 && !headSeen) {
            // A client that does not report heads: whether the answer is the rest or the whole
            // file shows only at the end, so the body is kept alone and judged then.
            out = openOutputNoexcept(tempPath, writeFailure);
            offset = 0;
            if (!out) {
                throw std::runtime_error(writeFailure.text);
            }
        }
        writeOutput(*out, tempPath, data, length, writeFailure);
    };
    options.bodySink = write;
    options.onData = [&write](std::string piece) { write(piece.data(), piece.size()); };
    options.onHead = [&](Networking::Response const& head) {
        headSeen = true;
        continuing =
            offset > 0 && head.httpStatus == 206 && head.rangeStart == static_cast<int64_t>(offset);
        if (offset > 0 && !continuing) {
            // The server sends the whole file (it changed, or ignores ranges): start over.
            offset = 0;
            out = openOutputNoexcept(tempPath, writeFailure);
            if (!out) {
                return false;
            }
        }
        if (features.checkFreeSpace && head.contentLength > 0 &&
            !enoughSpace(tempPath, static_cast<uint64_t>(head.contentLength), writeFailure)) {
            return false;
        }
        // A record only for an answer that may leave a part worth keeping.
        bool const mayBeLong = continuing || head.contentLength < 0 ||
                               static_cast<uint64_t>(head.contentLength) >= kMinResumeBytes;
        if (features.resume && mayBeLong) {
            std::string const offered = continuing ? validator : validatorOf(head);
            resumable =
                !offered.empty() && DownloadFiles::writeResumeRecord(tempPath, {target, offered});
            recordOnDisk = true;
        }
        return true;
    };
    options.shouldCancel = [this, isCancelled = task.isCancelled] {
        return aborted.load() || isCancelled() || offline();
    };
    if (offset == 0) {
        options.onProgress = task.onProgress;
    } else if (task.onProgress) {
        // Progress counts the whole file: the kept part plus what arrives.
        uint64_t const kept = offset;
        options.onProgress = [&continuing, kept, progress = task.onProgress](uint64_t received,
                                                                             uint64_t total) {
            uint64_t const base = continuing ? kept : 0;
            progress(base + received, total > 0 ? base + total : 0);
        };
    }
    options.receiveRateLimit = [this] { return rateShare(); };

    Networking::Response response;
    {
        Counted const inTransfer(running);
        response = client->download(request, options);
    }
    bool complete = response.error == Networking::Response::NoError;
    if (complete && response.notModified()) {
        if (conditional) {
            if (!out) {
                temporary->madeNothing();  // the path was free, and no body came
            }
            return NotModified;
        }
        // Nothing came where a whole file was asked for.
        failure = responseFailure(response);
        failure.kind = FileFailure::HttpStatus;
        failure.httpStatus = response.httpStatus;
        failure.text = "HTTP 304 to a request that was not conditional";
        return Failed;
    }
    if (complete && !out) {  // a conditional request's new version, with an empty body
        out = openOutputNoexcept(tempPath, failure);
        if (!out) {
            return Failed;
        }
    }
    if (complete && response.httpStatus == 206 && !continuing) {
        // A part where the whole file was asked for, or a part a head-less client wrote alone.
        failure = fileSystemFailure("complete", tempPath, 0,
                                    "the server sent a part of the file where the rest or the "
                                    "whole was asked for");
        if (recordOnDisk) {
            DownloadFiles::removeResumeRecord(tempPath);
        }
        return Failed;
    }
    // A complete body must also have reached the disk, which a full disk may deny only at close.
    // After a failed transfer the file is dropped anyway, so it is closed quietly.
    bool const stored = complete &&
                        (!features.syncToDisk || flushOutputNoexcept(*out, tempPath, failure)) &&
                        closeOutputNoexcept(*out, tempPath, failure);
    out.reset();  // closed before it is renamed or removed

    bool const isOffline = offline();
    if (complete) {
        if (!stored) {
            return Failed;  // the file helpers logged and said which file and why
        }
        if (features.conditional) {
            if (response.lastModified >= 0) {
                DownloadFiles::setModifiedTime(tempPath, response.lastModified);
            }
            if (!response.etag.empty()) {
                DownloadFiles::keepEntityTag(tempPath, response.etag);
            }
        }
        if (recordOnDisk) {
            DownloadFiles::removeResumeRecord(tempPath);
        }
        bool const moved = temporary->moveToDest();
        if (moved && features.syncToDisk) {
            FileFailure notSynced;
            if (!DownloadFiles::syncFolderOf(descriptor->downloadPath, notSynced)) {
                // The file's bytes are on the disk; only its new name may not survive a crash.
                google::LogMessage(kUnit, __LINE__, google::GLOG_WARNING).stream()
                    << notSynced.text;
            }
        }
        if (isOffline) {
            failure = offlineFailure(response);
            return ConnectionLost;
        }
        if (!moved) {
            failure = temporary->failure();
            return Failed;
        }
        return Success;
    }
    if (features.resume) {
        keepPartial(*temporary, tempPath, resumable && response.httpStatus != 416, recordOnDisk);
        if (response.httpStatus == 416 && offset > 0) {
            rangeRefused = true;
            return Failed;
        }
    }
    if (response.error == Networking::Response::Cancelled && !isOffline) {
        if (isLogged(google::GLOG_INFO)) {
            google::LogMessage(kUnit, __LINE__, google::GLOG_INFO).stream()
                << "request=" << Networking::maskCredentials(target) << " was cancelled.";
        }
        failure.kind = FileFailure::Cancelled;
        failure.text = "cancelled";
        return Cancelled;
    }
    google::LogMessage(kUnit, __LINE__, google::GLOG_WARNING).stream()
        << "request=" << Networking::maskCredentials(target)
        << " failed with error=" << response.errorText
        << (isOffline ? " (App OFFLINE mode activated!)" : "");
    if (isOffline) {
        failure = offlineFailure(response);
    } else if (writeFailure.failed()) {
        failure = std::move(writeFailure);
    } else {
        failure = responseFailure(response);
    }
    bool const connectivity = response.error == Networking::Response::CouldNotConnect ||
                              response.error == Networking::Response::ConnectionLost ||
                              (features.retryLater && asksToComeBack(response));
    return (connectivity || isOffline) ? ConnectionLost : Failed;
}

void ResourceDownloaderHttp::limitReceiveRate(int64_t bytesPerSecond) {
    impl->rateLimit = std::max<int64_t>(bytesPerSecond, 0);
}

void ResourceDownloaderHttp::abort() {
    impl->aborted = true;
}

int64_t ResourceDownloaderHttp::requestLastModified(ResourceDescriptor const* descriptor) const {
    return checkLastModified(descriptor).time;
}

IResourceDownloader::LastModified ResourceDownloaderHttp::checkLastModified(
    ResourceDescriptor const* descriptor) const {
    std::string const target = url(descriptor);
    Networking::Request const request(Networking::Url(target), {}, {});
    Networking::RequestOptions options = impl->optionsFor(target);
    // An abort stops the query as promptly as a download; the task and the network state are
    // not asked here. A stopped query answers -1, like any failed one.
    Impl const* const self = impl.get();
    options.shouldCancel = [self] { return self->aborted.load(); };
    Networking::Response const response = impl->client->head(request, options);
    LastModified answer;
    answer.time = response.getLastModified();
    if (response.error != Networking::Response::NoError) {
        answer.failure = responseFailure(response);
    }
    return answer;
}

}  // namespace Tiskel::App
