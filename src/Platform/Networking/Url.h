#pragma once

#include <cstdint>
#include <string>

namespace Tiskel::Networking {

// An absolute URL ("scheme://host[:port]/path?query"), parsed once at construction. A text that
// is not an absolute URL gives an invalid value instead of an exception, so that a bad address
// surfaces as a request error. Copyable value; thread-compatible.
class Url {
  public:
    explicit Url(std::string const& text);

    // The text as given.
    std::string const& str() const { return text; }
    // False when the text is not an absolute URL with a scheme and a host.
    bool isValid() const { return valid; }
    // Lower-case scheme ("http"), empty when invalid.
    std::string const& scheme() const { return schemeName; }
    // Host name or address as written, without brackets; empty when invalid.
    std::string const& host() const { return hostName; }
    // The explicit port, or the scheme's default (80 for http, 443 for https); 0 when invalid or
    // unknown.
    int32_t port() const { return portNumber; }
    // Path and query ("/a/b?c=d"); "/" when the URL has no path.
    std::string const& pathAndQuery() const { return path; }

  private:
    std::string text;
    std::string schemeName;
    std::string hostName;
    std::string path;
    int32_t portNumber = 0;
    bool valid = false;
};

}  // namespace Tiskel::Networking
