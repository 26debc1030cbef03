#pragma once

// Turns what libcurl reports about a finished transfer into a Response. Internal to the
// networking library; the one place where libcurl's codes are interpreted.

#include <cstdint>
#include <string>

#include <curl/curl.h>

#include "Platform/Networking/Response.h"

namespace Tiskel::Networking::Curl {

// Why our own callbacks stopped a transfer, when they did.
enum class StopReason {
    None,
    Cancelled,  // shouldCancel returned true
    Stalled,    // nothing arrived for the stall time-out
    BadStatus,  // a body arrived with a status outside 2xx
    CallbackThrew,
    SinkFailed,  // the receiver of the body threw; `TransferFacts::reason` says why
    Refused,     // the receiver of the answer's head (onHead) declined it
};

struct TransferFacts {
    CURLcode code = CURLE_OK;
    // A failure of the multi handle that drives the transfer, before or instead of `code`.
    CURLMcode multiCode = CURLM_OK;
    StopReason stop = StopReason::None;
    // True once a connection to the host or proxy was established (or reused).
    bool connected = false;
    long httpStatus = 0;
    int64_t lastModified = -1;
    // The head fields of the final answer (etag, contentLength, rangeStart, retryAfterSeconds);
    // every response made from these facts carries them.
    Response head;
    // libcurl's own description of the failure; may be empty.
    std::string message;
    // Why our side stopped the transfer, when the text is ours (a failed body receiver).
    std::string reason;
    int64_t stallTimeoutMilliseconds = 0;
};

Response toResponse(TransferFacts const& facts);

}  // namespace Tiskel::Networking::Curl
