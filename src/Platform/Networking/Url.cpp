#include "Platform/Networking/Url.h"

#include <memory>

#include "Platform/Networking/CurlHandles.h"

namespace Tiskel::Networking {
namespace {

struct UrlHandleDeleter {
    void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};

struct CurlStringDeleter {
    void operator()(char* text) const { curl_free(text); }
};

// One part of a parsed URL, or "" when the URL has no such part.
std::string part(CURLU* handle, CURLUPart which, unsigned int flags = 0) {
    char* raw = nullptr;
    if (curl_url_get(handle, which, &raw, flags) != CURLUE_OK || raw == nullptr) {
        return {};
    }
    std::unique_ptr<char, CurlStringDeleter> const owned(raw);
    return std::string(raw);
}

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
    if (!handle) {
        return;
    }
    // Without CURLU_DEFAULT_SCHEME a text lacking "scheme://" is refused instead of guessed.
    if (curl_url_set(handle.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) {
        return;
    }
    schemeName = part(handle.get(), CURLUPART_SCHEME);
    hostName = part(handle.get(), CURLUPART_HOST);
    if (schemeName.empty() || hostName.empty()) {
        schemeName.clear();
        hostName.clear();
        return;
    }
    if (hostName.size() > 2 && hostName.front() == '[' && hostName.back() == ']') {
        hostName = hostName.substr(1, hostName.size() - 2);
    }
    std::string const portText = part(handle.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
    portNumber = portText.empty() ? 0 : static_cast<int32_t>(std::stol(portText));
    path = part(handle.get(), CURLUPART_PATH);
    if (path.empty()) {
        path = "/";
    }
    std::string const query = part(handle.get(), CURLUPART_QUERY);
    if (!query.empty()) {
        path += "?" + query;
    }
    valid = true;
}

}  // namespace Tiskel::Networking
