#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
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
// Longest wait for network activity, while transfers run, before cancellation and stalls are
// checked again. It bounds how long a cancelled transfer that receives nothing (a silent server,
// or one that trickles header lines) runs on.
constexpr int kIdlePollMilliseconds = 100;
// Longest wait of the network thread while no transfer runs; a new request wakes it at once.
constexpr int kQuietPollMilliseconds = 60000;
// Connections of one client: open at once, open to one host, and kept open while idle. Over
// HTTP/2 all transfers to a host share one connection; over HTTP/1.1 each running transfer has
// its own, and transfers beyond the limits wait for one to become free.
constexpr long kMaxConnections = 8;
constexpr long kMaxConnectionsPerHost = 6;
// The smallest receive buffer libcurl accepts.
constexpr int64_t kMinBufferSize = 1024;
// Request handles of finished transfers kept for the next ones, at most: as many as transfers
// run at once in the usual case, so that a steady stream of requests makes no new handle.
constexpr size_t kMaxSpareHandles = 16;

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

// One request handed to the network thread, and its outcome; reached by libcurl's callbacks
// through their user pointer. Lives on the stack of the requesting thread, which waits until
// `done`. Between the hand-over and `done`, only the network thread touches it: every callback
// runs there.
struct Transfer {
    Transfer(RequestOptions const& options, std::string url, curl_slist const* headers,
             Method method)
        : options(options), url(std::move(url)), headers(headers), method(method) {}

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

    // How long the network thread may wait for activity: a paused transfer wakes when it may
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

    // Constant after construction.
    RequestOptions const& options;
    std::string const url;
    curl_slist const* const headers;
    Method const method;

    // Used by the network thread only, until `done`.
    std::unique_ptr<Curl::EasyHandle> easy;
    CURL* curl = nullptr;
    bool added = false;  // the handle is attached to the client's multi handle
    bool ended = false;  // `response` (or `thrown`) holds the outcome
    Curl::TransferFacts facts;
    Response response;
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

    // The hand-back to the caller: a lock of its own, so that waking one caller never waits
    // for another caller or for the queue of new transfers.
    std::mutex doneMutex;
    bool done = false;  // guarded by doneMutex
    std::condition_variable finished;
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
            // libcurl keeps the piece and stops reading until the network thread resumes it: the
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

// The client: callers hand their transfers to one network thread, which drives all of them on
// one multi handle and so multiplexes transfers to one host over one HTTP/2 connection. The
// caller's thread waits for its transfer to end; no thread waits on a socket but the network
// thread. Every libcurl handle of the client is used on the network thread only; the callers
// touch nothing but the queue of new transfers and their own transfer's hand-back.
class CurlHttpClient final : public IHttpClient {
  public:
    explicit CurlHttpClient(HttpClientSettings const& settings) : settings(settings) {}

    ~CurlHttpClient() override {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        if (network.joinable()) {
            curl_multi_wakeup(multi->get());
            network.join();
        }
    }

    CurlHttpClient(CurlHttpClient const&) = delete;
    CurlHttpClient& operator=(CurlHttpClient const&) = delete;

    Response download(Request const& request, RequestOptions const& options) override {
        return perform(request, options, Method::Get);
    }

    Response head(Request const& request, RequestOptions const& options) override {
        return perform(request, options, Method::Head);
    }

  private:
    Response perform(Request const& request, RequestOptions const& options, Method method);
    void start();

    // The network thread's loop, and its steps.
    void run();
    void admit(Transfer& transfer);
    void configure(Transfer& transfer);
    void conclude(Transfer& transfer);
    void handBack(std::vector<Transfer*>& active);
    std::unique_ptr<Curl::EasyHandle> takeHandle();
    void recycle(std::unique_ptr<Curl::EasyHandle> easy);

    // Constant after construction.
    HttpClientSettings const settings;

    // Made by the first request, which also initialises libcurl and its TLS library: a client
    // that sends no request initialises neither and starts no thread. The share is declared
    // before the multi handle so that it outlives every connection kept there.
    std::once_flag started;
    std::unique_ptr<Curl::ShareHandle> share;
    std::unique_ptr<Curl::MultiHandle> multi;
    std::thread network;

    // Request handles of finished transfers, reset to libcurl's defaults, for the next
    // transfers: the set-up of a handle is paid once per handle rather than once per transfer.
    // Used by the network thread only. Declared after the share, which must outlive them.
    std::vector<std::unique_ptr<Curl::EasyHandle>> spareHandles;

    // Guards the queue of new transfers only; each transfer's end is handed back under a lock
    // of its own.
    std::mutex mutex;
    std::vector<Transfer*> incoming;  // guarded by mutex: handed over, not yet taken up
    bool stopping = false;            // guarded by mutex
};

void CurlHttpClient::start() {
    std::call_once(started, [this] {
        share = std::make_unique<Curl::ShareHandle>();
        multi = std::make_unique<Curl::MultiHandle>();
        CURLM* const driver = multi->get();
        curl_multi_setopt(driver, CURLMOPT_PIPELINING, static_cast<long>(CURLPIPE_MULTIPLEX));
        curl_multi_setopt(driver, CURLMOPT_MAX_TOTAL_CONNECTIONS, kMaxConnections);
        curl_multi_setopt(driver, CURLMOPT_MAX_HOST_CONNECTIONS, kMaxConnectionsPerHost);
        curl_multi_setopt(driver, CURLMOPT_MAXCONNECTS, kMaxConnections);
        network = std::thread([this] {
            // Named so that it can be told apart in a profile or a debugger.
            pthread_setname_np(pthread_self(), "http-network");
            run();
        });
    });
}

Response CurlHttpClient::perform(Request const& request, RequestOptions const& options,
                                 Method method) {
    // When libcurl or the network thread cannot start, each request fails with the reason.
    try {
        start();
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
    std::string url = targetUrl(request);
    if (url.empty()) {
        return invalidUrl("cannot add the query parameters to \"" + request.url().str() + "\"");
    }
    HeaderList const headers = headerList(request.headers());

    Transfer transfer(options, std::move(url), headers.get(), method);
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        // A wake-up is already on its way while earlier transfers wait to be taken up.
        wake = incoming.empty();
        incoming.push_back(&transfer);
    }
    if (wake) {
        curl_multi_wakeup(multi->get());
    }
    {
        std::unique_lock<std::mutex> lock(transfer.doneMutex);
        transfer.finished.wait(lock, [&transfer] { return transfer.done; });
    }
    if (transfer.thrown) {
        std::rethrow_exception(transfer.thrown);
    }
    return std::move(transfer.response);
}

// Drives every transfer of the client until the client is destroyed. Rather than wait in
// libcurl for up to a second while nothing arrives, it wakes at least every
// kIdlePollMilliseconds while transfers run, so that a cancellation or a stall is seen promptly
// also while a server stays silent or trickles header lines.
void CurlHttpClient::run() {
    CURLM* const driver = multi->get();
    std::vector<Transfer*> active;
    std::vector<Transfer*> arrived;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            arrived.swap(incoming);
            if (stopping && arrived.empty() && active.empty()) {
                break;
            }
        }
        for (Transfer* const transfer : arrived) {
            admit(*transfer);
            active.push_back(transfer);
        }
        arrived.clear();

        auto now = Clock::now();
        for (Transfer* const transfer : active) {
            if (transfer->ended) {
                continue;
            }
            if (!transfer->applyRateLimit() || !transfer->resumeWhenDue(now)) {
                conclude(*transfer);
            }
        }
        int running = 0;
        CURLMcode const performed = curl_multi_perform(driver, &running);
        int queued = 0;
        while (CURLMsg* const message = curl_multi_info_read(driver, &queued)) {
            if (message->msg != CURLMSG_DONE) {
                continue;
            }
            char* user = nullptr;
            curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &user);
            auto& transfer = *reinterpret_cast<Transfer*>(user);
            transfer.facts.code = message->data.result;
            conclude(transfer);
        }
        now = Clock::now();
        int waitMilliseconds = kQuietPollMilliseconds;
        for (Transfer* const transfer : active) {
            if (transfer->ended) {
                continue;
            }
            if (performed != CURLM_OK) {
                transfer->facts.multiCode = performed;
                conclude(*transfer);
            } else if (transfer->mustStop(now)) {
                conclude(*transfer);
            } else {
                waitMilliseconds = std::min(waitMilliseconds, transfer->pollMilliseconds(now));
            }
        }
        handBack(active);
        curl_multi_poll(driver, nullptr, 0, waitMilliseconds, nullptr);
    }
}

// Starts `transfer` on the multi handle, or concludes it when it is cancelled or fails first.
void CurlHttpClient::admit(Transfer& transfer) {
    bool cancelled = false;
    try {
        cancelled = transfer.cancelRequested(Clock::now());
    } catch (...) {
        transfer.recordThrow();
    }
    // The rate limit is asked before the handle is made: it sizes the receive buffer.
    if (cancelled || transfer.thrown || !transfer.applyRateLimit()) {
        conclude(transfer);
        return;
    }
    try {
        transfer.easy = takeHandle();
    } catch (...) {
        // Carried to the caller, whose call throws it as a request of its own thread would.
        transfer.recordThrow();
        conclude(transfer);
        return;
    }
    transfer.curl = transfer.easy->get();
    configure(transfer);
    transfer.facts.multiCode = curl_multi_add_handle(multi->get(), transfer.curl);
    if (transfer.facts.multiCode != CURLM_OK) {
        conclude(transfer);
        return;
    }
    transfer.added = true;
    // Stays a failure unless libcurl reports how the transfer ended.
    transfer.facts.code = CURLE_ABORTED_BY_CALLBACK;
}

// Records the outcome of `transfer`, which libcurl finished or our side stopped, and detaches
// its handle. Detaching an unfinished transfer ends its stream (HTTP/2) or closes its connection
// (HTTP/1.1); a finished one leaves its connection open for the next.
void CurlHttpClient::conclude(Transfer& transfer) {
    Curl::TransferFacts& facts = transfer.facts;
    facts.stallTimeoutMilliseconds = transfer.options.stallTimeoutMilliseconds;
    bool reusable = false;
    if (transfer.added) {
        curl_easy_getinfo(transfer.curl, CURLINFO_RESPONSE_CODE, &facts.httpStatus);
        curl_off_t fileTime = -1;
        curl_easy_getinfo(transfer.curl, CURLINFO_FILETIME_T, &fileTime);
        facts.lastModified = fileTime;
        facts.message = transfer.errorBuffer;
        curl_multi_remove_handle(multi->get(), transfer.curl);
        transfer.added = false;
        // libcurl brought the transfer to its end: nothing of it is left in the handle that a
        // reset does not clear. A transfer stopped midway (cancelled, paused, refused by a
        // callback) may leave more behind, a held piece of its body, so its handle goes.
        reusable =
            facts.code == CURLE_OK && transfer.stop == Curl::StopReason::None && !transfer.paused;
        bool const answered = facts.code == CURLE_OK && transfer.stop == Curl::StopReason::None &&
                              facts.httpStatus >= 200 && facts.httpStatus < 300;
        if (answered) {
            try {
                transfer.announceHead();  // an answer without a body: its head was not seen yet
            } catch (...) {
                transfer.recordThrow();
            }
        }
        facts.head = transfer.head;
    }
    if (reusable) {
        recycle(std::move(transfer.easy));
    } else {
        transfer.easy.reset();
    }
    transfer.curl = nullptr;
    facts.stop = transfer.stop;
    facts.reason = transfer.reason;
    facts.connected = transfer.connected;
    if (!transfer.thrown) {
        transfer.response = Curl::toResponse(facts);
    }
    transfer.ended = true;
}

// Removes the concluded transfers from `active` and wakes their callers. A transfer is not
// touched once its caller is woken: the caller's return destroys it.
void CurlHttpClient::handBack(std::vector<Transfer*>& active) {
    size_t kept = 0;
    for (Transfer* const transfer : active) {
        if (!transfer->ended) {
            active[kept++] = transfer;
            continue;
        }
        std::lock_guard<std::mutex> lock(transfer->doneMutex);
        transfer->done = true;
        // Under the lock: the caller cannot see `done`, return and destroy the condition
        // variable before this call is over.
        transfer->finished.notify_one();
    }
    active.resize(kept);
}

// A spare request handle when there is one, else a new one. Throws std::runtime_error when
// libcurl cannot create a handle.
std::unique_ptr<Curl::EasyHandle> CurlHttpClient::takeHandle() {
    if (spareHandles.empty()) {
        return std::make_unique<Curl::EasyHandle>();
    }
    std::unique_ptr<Curl::EasyHandle> easy = std::move(spareHandles.back());
    spareHandles.pop_back();
    return easy;
}

// Keeps the handle of a transfer that libcurl ended and that is detached from the multi handle
// for a later transfer, or lets it go when enough are kept. The reset drops every option of the
// transfer, so that no pointer into the ended transfer (its error buffer, its headers, the
// callbacks' user data) stays with the handle; a later transfer sets all of its options again.
void CurlHttpClient::recycle(std::unique_ptr<Curl::EasyHandle> easy) {
    curl_easy_reset(easy->get());
    if (spareHandles.size() < kMaxSpareHandles) {
        spareHandles.push_back(std::move(easy));
    }
}

// Sets every option of the transfer on its handle, which is new or was reset. Connections stay
// with the multi handle.
void CurlHttpClient::configure(Transfer& transfer) {
    CURL* const curl = transfer.curl;
    RequestOptions const& options = transfer.options;
    curl_easy_setopt(curl, CURLOPT_PRIVATE, static_cast<void*>(&transfer));
    curl_easy_setopt(curl, CURLOPT_URL, transfer.url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_SHARE, share->get());
    // HTTP/2 where TLS negotiates it. Over TLS, a transfer to a host whose connection is still
    // being set up waits to learn whether it can share that connection instead of opening its
    // own. Plain HTTP is always HTTP/1.1 here, and libcurl looks at a transfer waiting so only
    // when another transfer ends: it would queue behind the first one to the end of its body.
    std::string_view const scheme = std::string_view(transfer.url).substr(0, 6);
    bool const tls =
        std::equal(scheme.begin(), scheme.end(), "https:", "https:" + 6,
                   [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
    curl_easy_setopt(curl, CURLOPT_PIPEWAIT, tls ? 1L : 0L);
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
    if (transfer.method == Method::Head) {
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    } else {
        curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    }
    // libcurl only reads the list; it stays the caller's until the transfer has ended.
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, const_cast<curl_slist*>(transfer.headers));

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
