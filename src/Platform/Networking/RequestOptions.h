#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "Platform/Export.h"
#include "Platform/Networking/Response.h"

namespace Tiskel::Networking {

// How one request is carried out. A default-constructed record suits a download of one file over
// a direct connection. A plain record, thread-compatible: the client reads it only during the call
// it is passed to. Callbacks run before the call returns, one at a time for one request, but on a
// thread of the client's choosing: the calling thread or one of the client's own (the libcurl
// client runs every callback of every request on its one network thread, so a slow callback
// delays the other transfers of that client). An exception thrown by one stops the transfer and
// leaves the client's call on the calling thread, except from the body's receivers (`onData`,
// `bodySink`), whose failure is reported as a response.
struct TISKEL_EXPORT RequestOptions {
    // Size of the receive buffer in KiB; capped at what the transport allows. 0 or less keeps
    // the transport's default.
    int32_t receiveBufferKiB = 1024;
    // Time allowed for name resolution and connecting to the host or proxy, in seconds. 0 or
    // less keeps the transport's default.
    int32_t connectTimeoutSeconds = 5;
    // Time allowed for the whole request, in microseconds (rounded down to milliseconds). 0 or
    // less means no limit.
    int64_t transferTimeoutMicroseconds = 3600000000;
    // 1: follow redirects; 0: a redirect is the final answer (and a failure).
    int32_t followRedirects = 1;
    // Most redirects followed before the request fails; negative means no limit.
    int32_t maxRedirects = 3;
    // Once connected, a transfer that receives nothing for this long is a lost connection, in
    // milliseconds. 0 or less disables the check.
    int64_t stallTimeoutMilliseconds = 20000;

    // Proxy URL with scheme http, https, socks4 or socks5 ("http://proxy:3128"); "" connects
    // directly. Proxy settings of the environment are never used.
    std::string proxy;

    // Most bytes per second the body may arrive at; 0 or less means no limit. Asked when the
    // transfer starts and again while it runs, so that a caller can
    // share one limit among the transfers running at once and hand each its current share. The
    // client pauses the transfer whenever the body runs ahead of the rate (libcurl's own
    // receive-speed limit lets a short body through unpaced), and sizes its receive buffer to
    // about an eighth of a second's worth.
    std::function<int64_t()> receiveRateLimit;

    // Polled before the request starts and while it runs, also while nothing arrives (about
    // ten times a second then); true stops the request with error Cancelled.
    std::function<bool()> shouldCancel;
    // Called after each piece of the body with (bytes received so far, bytes announced by the
    // server or 0 when unknown).
    std::function<void(uint64_t, uint64_t)> onProgress;
    // Receives each piece of the body in arrival order. The body is never held whole. This is
    // the receiver every client honours.
    std::function<void(std::string)> onData;
    // Receives each piece of the body in arrival order without a copy: the bytes live in the
    // client's receive buffer and are valid only during the call. A client that knows this
    // field calls it instead of `onData` when both are set (never both for one piece); a client
    // that does not know it calls `onData`, so a caller that wants its body from every client
    // sets both to the same effect. An exception thrown by it (a full disk, ...) ends the
    // transfer with error ClientError and a text naming the reason; it does not leave the
    // client's call.
    std::function<void(char const*, std::size_t)> bodySink;
    // Called once for the final 2xx answer, when its head has arrived: before the first piece
    // of its body, or before the call returns when it has none. The response carries the
    // status and the head's fields (length, range, ETag, Last-Modified). Returning false stops
    // the transfer with error ClientError; the caller keeps its own record of why. A client
    // that does not know this field never calls it: callers then learn the same from the
    // returned response.
    std::function<bool(Response const&)> onHead;
};

}  // namespace Tiskel::Networking
