#pragma once

#include <cstdint>
#include <string>

#include "Platform/Export.h"

namespace Tiskel::Networking {

// The outcome of one request. A copyable value with no shared state: thread-compatible, so each
// thread works on its own copy.
struct TISKEL_EXPORT Response {
    // Values of `error`. 3 and 8 are losses of connectivity, worth retrying once the network is
    // back; 15 is a cancellation asked for by the caller; every other non-zero value is a
    // failure of this request.
    enum Error : int32_t {
        NoError = 0,
        // The URL (or the proxy URL) is malformed, or its scheme is not supported.
        InvalidUrl = 1,
        // The server answered with a status outside 2xx (400 and above, or a redirect that was
        // not followed). `httpStatus` holds it.
        HttpStatus = 2,
        // The host or proxy could not be reached: name resolution failed, the connection was
        // refused, the connect time-out passed, or the proxy refused to connect onwards.
        CouldNotConnect = 3,
        // The TLS handshake failed or the peer's certificate or host name was not accepted.
        TlsFailure = 4,
        // More redirects than `RequestOptions::maxRedirects`.
        TooManyRedirects = 5,
        // The whole-transfer time limit passed while data was still arriving.
        TimedOut = 6,
        // The server's answer was not valid HTTP.
        ProtocolError = 7,
        // The connection broke or stalled during the transfer, or the body was shorter than
        // announced.
        ConnectionLost = 8,
        // A local failure: out of memory, a callback that threw, a transport set-up error.
        ClientError = 9,
        // Any transport failure not listed above.
        OtherError = 10,
        // `RequestOptions::shouldCancel` returned true.
        Cancelled = 15,
    };

    int32_t error = NoError;
    // What happened, for a log line a user can act on ("HTTP 404", the TLS reason, ...). Empty
    // on success.
    std::string errorText;
    // The final HTTP status, 0 when no answer arrived.
    int32_t httpStatus = 0;
    // The server's Last-Modified time in seconds since the Unix epoch; -1 when none was sent.
    int64_t lastModified = -1;
    // The server's entity tag (ETag, quotes included); "" when none was sent.
    std::string etag;
    // The body length the server announced (Content-Length); -1 when unknown.
    int64_t contentLength = -1;
    // For a 206 answer, the offset of its first byte (Content-Range); -1 otherwise.
    int64_t rangeStart = -1;
    // How long the server asked the client to wait before it tries again (Retry-After, given as
    // seconds or as an HTTP date, counted from when the answer arrived), in seconds; -1 when it
    // asked nothing. Kept also on failures: 429 and 503 answers carry it.
    int64_t retryAfterSeconds = -1;

    // The server's Last-Modified time in seconds since the Unix epoch; -1 when the server sent
    // none or the request failed.
    int64_t getLastModified() const { return error == NoError ? lastModified : -1; }
    // The server answered a conditional request (If-None-Match, If-Modified-Since) with 304:
    // the caller's copy is current, and no body came. Not a failure.
    bool notModified() const { return error == NoError && httpStatus == 304; }
};

}  // namespace Tiskel::Networking
