#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <boost/exception/get_error_info.hpp>

#include "Platform/Core/Exception.h"
#include "Platform/Networking/CurlErrors.h"
#include "Platform/Networking/CurlHandles.h"
#include "Platform/Networking/IHttpClient.h"

namespace Tiskel::Networking {
namespace {

using Clock = std::chrono::steady_clock;

// shouldCancel may be costly (a network-state check); during a fast transfer it is asked at
// most this often, which still stops a transfer well within a second.
constexpr auto kCancelPollInterval = std::chrono::milliseconds(10);
// Longest wait for network activity before cancellation and stalls are checked again. It bounds
// how long a cancelled transfer that receives nothing (a silent server, or one that trickles
// header lines) runs on.
constexpr int kIdlePollMilliseconds = 100;
// Idle transfer drivers kept for reuse, each with its open connections. More threads than this
// still work; their drivers are simply closed after use.
constexpr size_t kMaxIdleDrivers = 16;
// Open connections each driver keeps for reuse once their requests are done.
constexpr long kConnectionsPerDriver = 5;
// The smallest receive buffer libcurl accepts.
constexpr int64_t kMinBufferSize = 1024;

enum class Method { Get, Head };

// The text of the exception being handled, for a response or a log line.
std::string describeCurrentException() {
    try {
        throw;
    } catch (Tiskel::Exception const& error) {
        std::string const* details = boost::get_error_info<Tiskel::ErrorDetails>(error);
        return details != nullptr ? *details : std::string(error.what());
    } catch (std::exception const& error) {
        return error.what();
    } catch (...) {
        return "unknown exception";
    }
}

// The state of one running request, reached by libcurl's callbacks through their user pointer.
// Lives on the stack of the requesting thread; every callback runs on that thread.
struct Transfer {
    Transfer(RequestOptions const& options, CURL* curl) : options(options), curl(curl) {}

    // Asks shouldCancel, at most once per poll interval; remembers a yes, so that no piece is
    // taken after one was refused.
    bool cancelRequested(Clock::time_point now) {
        if (stop == Curl::StopReason::Cancelled) {
            return true;
        }
        if (!options.shouldCancel) {
            return false;
        }
        if (polled && now - lastPoll < kCancelPollInterval) {
            return false;
        }
        polled = true;
        lastPoll = now;
        if (options.shouldCancel()) {
            stop = Curl::StopReason::Cancelled;
            return true;
        }
        return false;
    }

    // Between waits for the network: true when the transfer must end now, because it was
    // cancelled, shouldCancel threw, or nothing arrived for the stall time-out.
    bool mustStop(Clock::time_point now) {
        try {
            if (cancelRequested(now)) {
                return true;
            }
        } catch (...) {
            recordThrow();
            return true;
        }
        int64_t const stallLimit = options.stallTimeoutMilliseconds;
        if (stallLimit > 0 && connected &&
            now - lastActivity > std::chrono::milliseconds(stallLimit)) {
            stop = Curl::StopReason::Stalled;
            return true;
        }
        return false;
    }

    // Hands one piece of the body to the caller's receiver. False when the receiver threw: the
    // transfer must end, and the response says why.
    bool deliver(char const* data, size_t length) {
        try {
            if (options.bodySink) {
                options.bodySink(data, length);
            } else if (options.onData) {
                options.onData(std::string(data, length));
            }
            return true;
        } catch (...) {
            stop = Curl::StopReason::SinkFailed;
            reason = describeCurrentException();
            return false;
        }
    }

    // Between runs of the transfer: takes up the caller's current receive-rate limit. False
    // when the caller's function threw: the transfer must end.
    bool applyRateLimit() {
        if (!options.receiveRateLimit) {
            return true;
        }
        try {
            rateLimit = std::max<int64_t>(options.receiveRateLimit(), 0);
            return true;
        } catch (...) {
            recordThrow();
            return false;
        }
    }

    // For a piece of `length` bytes that arrived at `now`: true when the body is ahead of the
    // rate limit and the transfer must pause until `paceDue`; else the piece is taken and
    // `paceDue` moves on by its time at the rate. Time the transfer spent below the rate is not
    // banked, so that it never bursts above it.
    bool holdForRate(Clock::time_point now, size_t length) {
        if (rateLimit <= 0) {
            return false;
        }
        if (paceDue > now) {
            paused = true;
            return true;
        }
        paceDue = now + std::chrono::nanoseconds(static_cast<int64_t>(
                            static_cast<double>(length) * 1e9 / static_cast<double>(rateLimit)));
        return false;
    }

    // Between runs of the transfer: resumes a paused transfer once its time has come. libcurl
    // may hand over the held piece at once, and the body callback may pause it again.
    // False when the held piece could not be delivered (a cancellation, a failed receiver):
    // libcurl drops it then but would go on reading, and the body would have a gap, so the
    // transfer must end.
    bool resumeWhenDue(Clock::time_point now) {
        if (paused && now >= paceDue) {
            paused = false;
            lastActivity = now;
            if (curl_easy_pause(curl, CURLPAUSE_CONT) != CURLE_OK) {
                if (stop == Curl::StopReason::None) {
                    stop = Curl::StopReason::SinkFailed;
                    reason = "a held piece of the body could not be delivered";
                }
                return false;
            }
        }
        return true;
    }

    // How long the driver may wait for network activity: a paused transfer wakes when it may
    // go on.
    int pollMilliseconds(Clock::time_point now) const {
        if (!paused) {
            return kIdlePollMilliseconds;
        }
        auto const left =
            std::chrono::duration_cast<std::chrono::milliseconds>(paceDue - now).count() + 1;
        return static_cast<int>(std::clamp<int64_t>(left, 0, kIdlePollMilliseconds));
    }

    // Hands the final answer's head to `onHead` once. False when the receiver declined it: the
    // transfer must end.
    bool announceHead() {
        if (headAnnounced || !options.onHead) {
            return true;
        }
        headAnnounced = true;
        long status = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        curl_off_t length = -1;
        curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        curl_off_t fileTime = -1;
        curl_easy_getinfo(curl, CURLINFO_FILETIME_T, &fileTime);
        Response answer = head;
        answer.httpStatus = static_cast<int32_t>(status);
        answer.contentLength = length;
        answer.lastModified = fileTime;
        if (options.onHead(answer)) {
            return true;
        }
        stop = Curl::StopReason::Refused;
        return false;
    }

    void recordThrow() {
        thrown = std::current_exception();
        stop = Curl::StopReason::CallbackThrew;
    }

    RequestOptions const& options;
    CURL* curl;
    Curl::StopReason stop = Curl::StopReason::None;
    std::exception_ptr thrown;
    std::string reason;
    bool connected = false;
    Clock::time_point lastActivity = Clock::now();
    Clock::time_point lastPoll{};
    bool polled = false;
    int64_t rateLimit = 0;        // bytes per second for the body; 0: no limit
    Clock::time_point paceDue{};  // when the next piece of the body may be taken
    bool paused = false;          // libcurl holds a piece until paceDue
    uint64_t received = 0;
    Response head;  // the head fields of the answer being received
    bool headAnnounced = false;
    char errorBuffer[CURL_ERROR_SIZE] = {};
};

size_t onBody(char* data, size_t size, size_t count, void* user) {
    auto& transfer = *static_cast<Transfer*>(user);
    size_t const length = size * count;
    auto const now = Clock::now();
    transfer.lastActivity = now;
    try {
        if (transfer.cancelRequested(now)) {
            return CURL_WRITEFUNC_ERROR;
        }
        if (transfer.holdForRate(now, length)) {
            // libcurl keeps the piece and stops reading until the driver resumes it: the
            // socket's buffer fills and TCP slows the server down.
            return CURL_WRITEFUNC_PAUSE;
        }
        if (transfer.received == 0) {
            // Bodies of 4xx/5xx answers never get here (libcurl fails first); this catches a
            // redirect that is not followed, whose body is not the resource.
            long status = 0;
            curl_easy_getinfo(transfer.curl, CURLINFO_RESPONSE_CODE, &status);
            if (status < 200 || status >= 300) {
                transfer.stop = Curl::StopReason::BadStatus;
                return CURL_WRITEFUNC_ERROR;
            }
            if (!transfer.announceHead()) {
                return CURL_WRITEFUNC_ERROR;
            }
        }
        if (!transfer.deliver(data, length)) {
            return CURL_WRITEFUNC_ERROR;
        }
        transfer.received += length;
        if (transfer.options.onProgress) {
            curl_off_t expected = -1;
            curl_easy_getinfo(transfer.curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &expected);
            transfer.options.onProgress(transfer.received,
                                        expected > 0 ? static_cast<uint64_t>(expected) : 0);
        }
        return length;
    } catch (...) {
        transfer.recordThrow();
        return CURL_WRITEFUNC_ERROR;
    }
}

std::string_view trimmed(std::string_view text) {
    auto const isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && isSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isSpace(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool sameName(std::string_view name, std::string_view lowerCase) {
    return name.size() == lowerCase.size() &&
           std::equal(name.begin(), name.end(), lowerCase.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == b;
           });
}

// A leading decimal number of `text`; -1 when there is none or it overflows.
int64_t leadingNumber(std::string_view text) {
    int64_t value = -1;
    auto const [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return (error == std::errc() && end != text.data()) ? value : -1;
}

// Retry-After is a number of seconds or an HTTP date; -1 when it is neither.
int64_t retryAfterSeconds(std::string_view value) {
    if (!value.empty() && std::isdigit(static_cast<unsigned char>(value.front()))) {
        return leadingNumber(value);
    }
    std::string const text(value);
    time_t const when = curl_getdate(text.c_str(), nullptr);
    if (when < 0) {
        return -1;
    }
    return std::max<int64_t>(static_cast<int64_t>(when) - static_cast<int64_t>(std::time(nullptr)),
                             0);
}

// Records the head fields the caller may use. A status line starts a new answer (a redirect's,
// an interim 100's, the final one), whose fields replace those of the one before.
size_t onHeader(char* data, size_t size, size_t count, void* user) {
    auto& transfer = *static_cast<Transfer*>(user);
    transfer.lastActivity = Clock::now();
    std::string_view const line(data, size * count);
    if (line.substr(0, 5) == "HTTP/") {
        transfer.head = Response();
        return size * count;
    }
    auto const colon = line.find(':');
    if (colon == std::string_view::npos) {
        return size * count;
    }
    std::string_view const name = trimmed(line.substr(0, colon));
    std::string_view const value = trimmed(line.substr(colon + 1));
    if (sameName(name, "etag")) {
        transfer.head.etag = std::string(value);
    } else if (sameName(name, "retry-after")) {
        transfer.head.retryAfterSeconds = retryAfterSeconds(value);
    } else if (sameName(name, "content-range") && value.substr(0, 6) == "bytes ") {
        transfer.head.rangeStart = leadingNumber(value.substr(6));
    }
    return size * count;
}

// Called once a connection (with any proxy handshake) is ready, new or reused: from here on,
// silence counts as a stall, and a time-out is no longer a failure to connect.
int onConnected(void* user, char* /*remoteIp*/, char* /*localIp*/, int /*remotePort*/,
                int /*localPort*/) {
    auto& transfer = *static_cast<Transfer*>(user);
    transfer.connected = true;
    transfer.lastActivity = Clock::now();
    return CURL_PREREQFUNC_OK;
}

bool isSupportedProxy(std::string const& proxy) {
    auto const separator = proxy.find("://");
    if (separator == std::string::npos || separator + 3 >= proxy.size()) {
        return false;
    }
    std::string scheme = proxy.substr(0, separator);
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return scheme == "http" || scheme == "https" || scheme == "socks4" || scheme == "socks5";
}

struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, SlistDeleter>;

HeaderList headerList(HeaderMap const& headers) {
    HeaderList list;
    for (auto const& [name, value] : headers) {
        // "Name;" is libcurl's way of sending a header with an empty value.
        std::string const line = value.empty() ? name + ";" : name + ": " + value;
        curl_slist* const extended = curl_slist_append(list.get(), line.c_str());
        if (extended == nullptr) {
            throw std::bad_alloc();
        }
        list.release();
        list.reset(extended);
    }
    return list;
}

struct UrlHandleDeleter {
    void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};

// The request's URL with the extra parameters appended to its query; "" when that fails.
std::string targetUrl(Request const& request) {
    if (request.extra().empty()) {
        return request.url().str();
    }
    std::unique_ptr<CURLU, UrlHandleDeleter> const handle(curl_url());
    if (!handle ||
        curl_url_set(handle.get(), CURLUPART_URL, request.url().str().c_str(), 0) != CURLUE_OK) {
        return {};
    }
    for (auto const& [key, value] : request.extra()) {
        std::string const pair = key + "=" + value;
        if (curl_url_set(handle.get(), CURLUPART_QUERY, pair.c_str(),
                         CURLU_APPENDQUERY | CURLU_URLENCODE) != CURLUE_OK) {
            return {};
        }
    }
    char* joined = nullptr;
    if (curl_url_get(handle.get(), CURLUPART_URL, &joined, 0) != CURLUE_OK) {
        return {};
    }
    std::string result(joined);
    curl_free(joined);
    return result;
}

Response invalidUrl(std::string text) {
    Response response;
    response.error = Response::InvalidUrl;
    response.errorText = std::move(text);
    return response;
}

class CurlHttpClient final : public IHttpClient {
  public:
    explicit CurlHttpClient(HttpClientSettings const& settings) : settings(settings) {}

    Response download(Request const& request, RequestOptions const& options) override {
        return perform(request, options, Method::Get);
    }

    Response head(Request const& request, RequestOptions const& options) override {
        return perform(request, options, Method::Head);
    }

  private:
    // Borrows a pooled transfer driver for one request and gives it back, connections and all.
    class Lease {
      public:
        explicit Lease(CurlHttpClient& client) : client(client), driver(client.acquire()) {}
        ~Lease() { client.release(std::move(driver)); }
        Lease(Lease const&) = delete;
        Lease& operator=(Lease const&) = delete;
        CURLM* get() const { return driver.get(); }

      private:
        CurlHttpClient& client;
        Curl::MultiHandle driver;
    };

    Curl::MultiHandle acquire() {
        {
            std::lock_guard<std::mutex> lock(poolMutex);
            if (!idle.empty()) {
                Curl::MultiHandle driver = std::move(idle.back());
                idle.pop_back();
                return driver;
            }
        }
        Curl::MultiHandle driver;
        curl_multi_setopt(driver.get(), CURLMOPT_MAXCONNECTS, kConnectionsPerDriver);
        return driver;
    }

    void release(Curl::MultiHandle driver) {
        std::lock_guard<std::mutex> lock(poolMutex);
        if (idle.size() < kMaxIdleDrivers) {
            idle.push_back(std::move(driver));
        }
    }

    Response perform(Request const& request, RequestOptions const& options, Method method);
    void configure(CURL* curl, Curl::ShareHandle& shared, std::string const& url,
                   curl_slist* headers, RequestOptions const& options, Method method,
                   Transfer& transfer);

    // The share, made by the first request, which also initialises libcurl and its TLS library:
    // a client that sends no request never initialises them. Declared before the pool so that it
    // outlives every connection kept there.
    Curl::ShareHandle& sharedData() {
        std::call_once(shareMade, [this] { share = std::make_unique<Curl::ShareHandle>(); });
        return *share;
    }
    std::once_flag shareMade;
    std::unique_ptr<Curl::ShareHandle> share;
    HttpClientSettings const settings;
    std::mutex poolMutex;
    std::vector<Curl::MultiHandle> idle;  // guarded by poolMutex
};

// Runs the transfer of `transfer.curl` on `multi` to its end, or until `transfer` must stop;
// records the outcome in `facts`. The request's handle is detached from `multi` again, leaving
// a finished transfer's connection there for the next request.
//
// The transfer is driven here rather than by curl_easy_perform, which waits up to a second at a
// time while nothing arrives: this loop waits at most kIdlePollMilliseconds, so a cancellation
// or a stall is seen promptly also while a server stays silent or trickles header lines.
void drive(CURLM* multi, Transfer& transfer, Curl::TransferFacts& facts) {
    facts.multiCode = curl_multi_add_handle(multi, transfer.curl);
    if (facts.multiCode != CURLM_OK) {
        return;
    }
    // Stays a failure unless libcurl reports how the transfer ended.
    facts.code = CURLE_ABORTED_BY_CALLBACK;
    for (;;) {
        if (!transfer.applyRateLimit()) {
            break;
        }
        if (!transfer.resumeWhenDue(Clock::now())) {
            break;
        }
        int running = 0;
        facts.multiCode = curl_multi_perform(multi, &running);
        if (facts.multiCode != CURLM_OK || running == 0 || transfer.mustStop(Clock::now())) {
            break;
        }
        facts.multiCode =
            curl_multi_poll(multi, nullptr, 0, transfer.pollMilliseconds(Clock::now()), nullptr);
        if (facts.multiCode != CURLM_OK) {
            break;
        }
    }
    int queued = 0;
    while (CURLMsg* const message = curl_multi_info_read(multi, &queued)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == transfer.curl) {
            facts.code = message->data.result;
        }
    }
    // Detaching an unfinished transfer closes its connection; a finished one stays cached.
    curl_multi_remove_handle(multi, transfer.curl);
}

Response CurlHttpClient::perform(Request const& request, RequestOptions const& options,
                                 Method method) {
    // When libcurl cannot be initialised, each request fails with the reason.
    Curl::ShareHandle* shared = nullptr;
    try {
        shared = &sharedData();
    } catch (std::exception const& error) {
        Response response;
        response.error = Response::ClientError;
        response.errorText = error.what();
        return response;
    }
    if (!request.url().isValid()) {
        return invalidUrl("malformed URL: \"" + request.url().str() + "\"");
    }
    if (!options.proxy.empty() && !isSupportedProxy(options.proxy)) {
        return invalidUrl("unsupported proxy URL: \"" + options.proxy + "\"");
    }
    std::string const url = targetUrl(request);
    if (url.empty()) {
        return invalidUrl("cannot add the query parameters to \"" + request.url().str() + "\"");
    }
    HeaderList const headers = headerList(request.headers());

    Lease lease(*this);
    // A fresh request handle each time: its receive buffer goes with it when the request ends,
    // instead of staying with an idle pooled handle. Connections stay with the driver.
    Curl::EasyHandle const easy;
    CURL* const curl = easy.get();
    Transfer transfer(options, curl);
    Curl::TransferFacts facts;
    facts.stallTimeoutMilliseconds = options.stallTimeoutMilliseconds;

    bool cancelledBeforeStart = false;
    try {
        cancelledBeforeStart = transfer.cancelRequested(Clock::now());
    } catch (...) {
        transfer.recordThrow();
    }
    // The rate limit is asked first: it sizes the receive buffer.
    if (!cancelledBeforeStart && !transfer.thrown && transfer.applyRateLimit()) {
        configure(curl, *shared, url, headers.get(), options, method, transfer);
        drive(lease.get(), transfer, facts);
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &facts.httpStatus);
        curl_off_t fileTime = -1;
        curl_easy_getinfo(curl, CURLINFO_FILETIME_T, &fileTime);
        facts.lastModified = fileTime;
        facts.message = transfer.errorBuffer;
        bool const answered = facts.code == CURLE_OK && transfer.stop == Curl::StopReason::None &&
                              facts.httpStatus >= 200 && facts.httpStatus < 300;
        if (answered) {
            transfer.announceHead();  // an answer without a body: its head was not seen yet
        }
        facts.head = transfer.head;
    }
    if (transfer.thrown) {
        std::rethrow_exception(transfer.thrown);
    }
    facts.stop = transfer.stop;
    facts.reason = transfer.reason;
    facts.connected = transfer.connected;
    return Curl::toResponse(facts);
}

void CurlHttpClient::configure(CURL* curl, Curl::ShareHandle& shared, std::string const& url,
                               curl_slist* headers, RequestOptions const& options, Method method,
                               Transfer& transfer) {
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_SHARE, shared.get());
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!settings.caFile.empty()) {
        curl_easy_setopt(curl, CURLOPT_CAINFO, settings.caFile.c_str());
    }
    if (!settings.caDirectory.empty()) {
        curl_easy_setopt(curl, CURLOPT_CAPATH, settings.caDirectory.c_str());
    }
    if (settings.netrc) {
        // A user name or password in the URL wins over the file.
        curl_easy_setopt(curl, CURLOPT_NETRC, static_cast<long>(CURL_NETRC_OPTIONAL));
        if (!settings.netrcFile.empty()) {
            curl_easy_setopt(curl, CURLOPT_NETRC_FILE, settings.netrcFile.c_str());
        }
    }
    curl_easy_setopt(curl, CURLOPT_FILETIME, 1L);
    // Error answers are not failed by libcurl at their status line: their head (Retry-After)
    // is read, and their body is refused by onBody instead.
    curl_easy_setopt(curl, CURLOPT_FAILONERROR, 0L);
    if (method == Method::Head) {
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    } else {
        curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    }
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);

    // An empty proxy switches proxies off, including those named by environment variables,
    // and an empty exclusion list keeps no_proxy from overriding the proxy we were given.
    curl_easy_setopt(curl, CURLOPT_PROXY, options.proxy.c_str());
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "");

    long bufferSize = CURL_MAX_WRITE_SIZE;
    if (options.receiveBufferKiB > 0) {
        bufferSize = static_cast<long>(
            std::min<int64_t>(int64_t{options.receiveBufferKiB} * 1024, CURL_MAX_READ_SIZE));
    }
    // Under a receive-rate limit, a buffer of about an eighth of a second's worth keeps the
    // pieces, and so the steps of the pacing, small.
    if (transfer.rateLimit > 0) {
        bufferSize = static_cast<long>(
            std::clamp<int64_t>(transfer.rateLimit / 8, kMinBufferSize, bufferSize));
    }
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, bufferSize);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT,
                     static_cast<long>(std::max<int32_t>(options.connectTimeoutSeconds, 0)));
    long timeoutMs = 0;
    if (options.transferTimeoutMicroseconds > 0) {
        timeoutMs =
            static_cast<long>(std::max<int64_t>(options.transferTimeoutMicroseconds / 1000, 1));
    }
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeoutMs);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, options.followRedirects != 0 ? 1L : 0L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS,
                     options.maxRedirects < 0 ? -1L : static_cast<long>(options.maxRedirects));

    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, transfer.errorBuffer);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &onBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &onHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_PREREQFUNCTION, &onConnected);
    curl_easy_setopt(curl, CURLOPT_PREREQDATA, &transfer);
}

}  // namespace

HttpClientSettings withCaFromEnvironment(HttpClientSettings settings) {
    auto const variable = [](char const* name) {
        char const* const value = std::getenv(name);
        return value != nullptr ? std::string(value) : std::string();
    };
    std::string const bundle = variable("CURL_CA_BUNDLE");
    std::string const file = variable("SSL_CERT_FILE");
    std::string const directory = variable("SSL_CERT_DIR");
    if (!bundle.empty()) {
        settings.caFile = bundle;
    } else if (!file.empty()) {
        settings.caFile = file;
    }
    if (!directory.empty()) {
        settings.caDirectory = directory;
    }
    return settings;
}

std::unique_ptr<IHttpClient> createHttpClient(HttpClientType type,
                                              HttpClientSettings const& settings) {
    switch (type) {
        case HttpClientDefault:
            return std::make_unique<CurlHttpClient>(settings);
    }
    throw std::invalid_argument("unknown HTTP client type " +
                                std::to_string(static_cast<int32_t>(type)));
}

}  // namespace Tiskel::Networking
