#include "App/ResourceDownloadManager/Downloader/ResourceDownloaderHttp.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <string>
#include <utility>

#include <glog/logging.h>

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
         std::shared_ptr<INetworkStateChecker> networkStateChecker)
        : client(std::move(client)),
          proxyProvider(std::move(proxyProvider)),
          networkStateChecker(std::move(networkStateChecker)) {}

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
};

ResourceDownloaderHttp::ResourceDownloaderHttp(
    std::shared_ptr<Networking::IHttpClient> const& client,
    std::shared_ptr<IProxyProvider> const& proxyProvider,
    std::shared_ptr<INetworkStateChecker> const& networkStateChecker)
    : impl(std::make_unique<Impl>(client, proxyProvider, networkStateChecker)) {}

ResourceDownloaderHttp::~ResourceDownloaderHttp() {
    impl->aborted = true;
}

IResourceDownloader::Result ResourceDownloaderHttp::exec(Task task) const {
    ResourceDescriptor const* const descriptor = task.descriptor;
    std::string const target = url(descriptor);
    if (isLogged(google::GLOG_INFO)) {
        google::LogMessage(kUnit, __LINE__, google::GLOG_INFO).stream()
            << "HTTP download=" << Networking::maskCredentials(target);
    }
    FileFailure ignored;
    FileFailure& failure = task.failure != nullptr ? *task.failure : ignored;

    TemporaryFile temporary(descriptor->tempPath, descriptor->downloadPath);
    if (!temporary.ready) {
        failure = temporary.failure();
        return Failed;
    }
    ioPath const& tempPath = descriptor->tempPath;
    boost::intrusive_ptr<Core::IDataOutput> out = openOutputNoexcept(tempPath, failure);
    if (!out) {
        return Failed;
    }

    Networking::Request const request(Networking::Url(target), {}, {});
    Networking::RequestOptions options = impl->optionsFor(target);
    // Each piece goes to the file as it arrives. A client that knows `bodySink` hands it the
    // pieces straight from its receive buffer; one that knows only `onData` (the networking
    // contract's own receiver) gets the same writes. A failed write is logged with the file's
    // path, said in `failure`, and ends the transfer as a local failure of the client.
    Core::IDataOutput* const sink = out.get();
    FileFailure writeFailure;
    options.bodySink = [sink, &tempPath, &writeFailure](char const* data, std::size_t length) {
        writeOutput(*sink, tempPath, data, length, writeFailure);
    };
    options.onData = [sink, &tempPath, &writeFailure](std::string piece) {
        writeOutput(*sink, tempPath, piece.data(), piece.size(), writeFailure);
    };
    Impl const* const self = impl.get();
    options.shouldCancel = [self, isCancelled = task.isCancelled] {
        return self->aborted.load() || isCancelled() || self->offline();
    };
    options.onProgress = task.onProgress;
    options.receiveRateLimit = [self] { return self->rateShare(); };

    Networking::Response response;
    {
        Counted const inTransfer(impl->running);
        response = impl->client->download(request, options);
    }
    bool const complete = response.error == Networking::Response::NoError;
    // A complete body must also have reached the disk, which a full disk may deny only at close.
    // After a failed transfer the file is dropped anyway, so it is closed quietly.
    bool const stored = complete && closeOutputNoexcept(*out, tempPath, failure);
    out.reset();  // closed before it is renamed or removed

    bool const offline = impl->offline();
    if (complete) {
        if (!stored) {
            return Failed;  // the file helpers logged and said which file and why
        }
        bool const moved = temporary.moveToDest();
        if (offline) {
            failure = offlineFailure(response);
            return ConnectionLost;
        }
        if (!moved) {
            failure = temporary.failure();
            return Failed;
        }
        return Success;
    }
    if (response.error == Networking::Response::Cancelled && !offline) {
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
        << (offline ? " (App OFFLINE mode activated!)" : "");
    if (offline) {
        failure = offlineFailure(response);
    } else if (writeFailure.failed()) {
        failure = std::move(writeFailure);
    } else {
        failure = responseFailure(response);
    }
    bool const connectivity = response.error == Networking::Response::CouldNotConnect ||
                              response.error == Networking::Response::ConnectionLost;
    return (connectivity || offline) ? ConnectionLost : Failed;
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
