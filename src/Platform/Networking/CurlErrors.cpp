#include "Platform/Networking/CurlErrors.h"

namespace Tiskel::Networking::Curl {
namespace {

Response withHead(TransferFacts const& facts) {
    Response response;
    response.etag = facts.head.etag;
    response.contentLength = facts.head.contentLength;
    response.rangeStart = facts.head.rangeStart;
    response.retryAfterSeconds = facts.head.retryAfterSeconds;
    return response;
}

Response failure(int32_t error, std::string text, TransferFacts const& facts) {
    Response response = withHead(facts);
    response.error = error;
    response.errorText = std::move(text);
    response.httpStatus = static_cast<int32_t>(facts.httpStatus);
    return response;
}

std::string describe(TransferFacts const& facts) {
    return facts.message.empty() ? std::string(curl_easy_strerror(facts.code)) : facts.message;
}

std::string httpText(long status) {
    return "HTTP " + std::to_string(status);
}

// 304 answers a conditional request: the caller's copy is current.
bool isSuccessStatus(long status) {
    return (status >= 200 && status < 300) || status == 304;
}

}  // namespace

Response toResponse(TransferFacts const& facts) {
    // Our own reasons come first: libcurl only reports them as an aborted callback.
    switch (facts.stop) {
        case StopReason::Cancelled:
            return failure(Response::Cancelled, "cancelled", facts);
        case StopReason::Stalled:
            return failure(
                Response::ConnectionLost,
                "no data received for " + std::to_string(facts.stallTimeoutMilliseconds) + " ms",
                facts);
        case StopReason::BadStatus:
            return failure(Response::HttpStatus, httpText(facts.httpStatus), facts);
        case StopReason::CallbackThrew:
            return failure(Response::ClientError, "a request callback threw", facts);
        case StopReason::SinkFailed:
            return failure(Response::ClientError, "storing the body failed: " + facts.reason,
                           facts);
        case StopReason::Refused:
            return failure(Response::ClientError, "the answer was declined by its receiver", facts);
        case StopReason::None:
            break;
    }
    if (facts.multiCode != CURLM_OK) {
        return failure(Response::ClientError, curl_multi_strerror(facts.multiCode), facts);
    }

    switch (facts.code) {
        case CURLE_OK:
            if (!isSuccessStatus(facts.httpStatus)) {
                return failure(Response::HttpStatus, httpText(facts.httpStatus), facts);
            }
            {
                Response response = withHead(facts);
                response.httpStatus = static_cast<int32_t>(facts.httpStatus);
                response.lastModified = facts.lastModified;
                return response;
            }

        case CURLE_HTTP_RETURNED_ERROR:
            return failure(Response::HttpStatus, httpText(facts.httpStatus), facts);

        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_URL_MALFORMAT:
            return failure(Response::InvalidUrl, describe(facts), facts);

        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_CONNECT:
        case CURLE_PROXY:
            return failure(Response::CouldNotConnect, describe(facts), facts);

        case CURLE_OPERATION_TIMEDOUT:
            // The connect time-out and the whole-transfer limit share this code; which one
            // fired shows in whether a connection was ever made.
            return failure(facts.connected ? Response::TimedOut : Response::CouldNotConnect,
                           describe(facts), facts);

        case CURLE_PARTIAL_FILE:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
            return failure(Response::ConnectionLost, describe(facts), facts);

        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_USE_SSL_FAILED:
            return failure(Response::TlsFailure, describe(facts), facts);

        case CURLE_TOO_MANY_REDIRECTS:
            return failure(Response::TooManyRedirects, describe(facts), facts);

        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_BAD_CONTENT_ENCODING:
            return failure(Response::ProtocolError, describe(facts), facts);

        case CURLE_OUT_OF_MEMORY:
        case CURLE_FAILED_INIT:
        case CURLE_WRITE_ERROR:
        case CURLE_ABORTED_BY_CALLBACK:
        case CURLE_BAD_FUNCTION_ARGUMENT:
        case CURLE_NOT_BUILT_IN:
        case CURLE_UNKNOWN_OPTION:
            return failure(Response::ClientError, describe(facts), facts);

        default:
            return failure(Response::OtherError, describe(facts), facts);
    }
}

}  // namespace Tiskel::Networking::Curl
