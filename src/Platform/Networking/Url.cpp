#include "Platform/Networking/Url.h"

#include <cstring>
#include <memory>

#include "Platform/Networking/CurlHandles.h"

namespace Tiskel::Networking {
namespace {

struct UrlHandleDeleter {
    void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// The characters a path segment or a query may hold as they are (RFC 3986 "pchar", plus '/' and
// '?'), apart from '%', which is judged with what follows it.
bool keptAsIs(unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
        return true;
    }
    static constexpr char kPunctuation[] = "-._~!$&'()*+,;=:@/?";
    return c != '\0' && std::strchr(kPunctuation, c) != nullptr;
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
    // Without CURLU_DEFAULT_SCHEME a text lacking a scheme is refused instead of guessed.
    valid = handle && curl_url_set(handle.get(), CURLUPART_URL, text.c_str(), 0) == CURLUE_OK;
}

std::string percentEncodePath(std::string const& path) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(path.size());
    for (size_t i = 0; i < path.size(); ++i) {
        auto const c = static_cast<unsigned char>(path[i]);
        bool const escape =
            c == '%' && i + 2 < path.size() && isHexDigit(path[i + 1]) && isHexDigit(path[i + 2]);
        if (keptAsIs(c) || escape) {
            encoded += static_cast<char>(c);
        } else {
            encoded += '%';
            encoded += kHex[c >> 4];
            encoded += kHex[c & 0x0F];
        }
    }
    return encoded;
}

std::string percentDecodePath(std::string const& path) {
    auto const value = [](char c) {
        return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;  // a hex digit, either case
    };
    std::string decoded;
    decoded.reserve(path.size());
    for (size_t i = 0; i < path.size(); ++i) {
        if (path[i] == '%' && i + 2 < path.size() && isHexDigit(path[i + 1]) &&
            isHexDigit(path[i + 2])) {
            decoded += static_cast<char>(value(path[i + 1]) * 16 + value(path[i + 2]));
            i += 2;
        } else {
            decoded += path[i];
        }
    }
    return decoded;
}

std::string maskCredentials(std::string const& url) {
    std::size_t const scheme = url.find("://");
    if (scheme == std::string::npos) {
        return url;
    }
    std::size_t const hostStart = scheme + 3;
    std::size_t const authorityEnd = url.find_first_of("/?#", hostStart);
    std::size_t const at =
        url.rfind('@', authorityEnd == std::string::npos ? url.size() - 1 : authorityEnd - 1);
    if (at == std::string::npos || at < hostStart) {
        return url;
    }
    return url.substr(0, hostStart) + "***@" + url.substr(at + 1);
}

}  // namespace Tiskel::Networking
