#include "Platform/Networking/Url.h"

#include <memory>

#include "Platform/Networking/CurlHandles.h"

namespace Tiskel::Networking {
namespace {

struct UrlHandleDeleter {
    void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};

}  // namespace

Url::Url(std::string const& text) : text(text) {
    // libcurl is lenient with the slashes after the scheme ("http:/host", "http:///host");
    // an absolute URL has exactly two, followed by the host.
    auto const separator = text.find("://");
    if (separator == std::string::npos || separator == 0 || separator + 3 >= text.size() ||
        text[separator + 3] == '/') {
        return;
    }
    Curl::ensureGlobalInit();
    std::unique_ptr<CURLU, UrlHandleDeleter> const handle(curl_url());
    // Without CURLU_DEFAULT_SCHEME a text lacking a scheme is refused instead of guessed.
    valid = handle && curl_url_set(handle.get(), CURLUPART_URL, text.c_str(), 0) == CURLUE_OK;
}

}  // namespace Tiskel::Networking
