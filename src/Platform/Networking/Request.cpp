#include "Platform/Networking/Request.h"

#include <algorithm>

namespace Tiskel::Networking {
namespace {

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

bool CaseInsensitiveCompare::operator()(std::string const& a, std::string const& b) const {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return lowerAscii(x) < lowerAscii(y);
    });
}

Request::Request(Url const& url, HeaderMap const& headers,
                 std::map<std::string, std::string> const& extra)
    : target(url), headerFields(headers), queryParameters(extra) {}

}  // namespace Tiskel::Networking
