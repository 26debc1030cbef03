#pragma once

#include <map>
#include <string>

#include "Platform/Export.h"
#include "Platform/Networking/Url.h"

namespace Tiskel::Networking {

// Orders header names ignoring ASCII letter case, so "content-type" and "Content-Type" name one
// header.
struct TISKEL_EXPORT CaseInsensitiveCompare {
    bool operator()(std::string const& a, std::string const& b) const;
};

using HeaderMap = std::map<std::string, std::string, CaseInsensitiveCompare>;

// One HTTP request: where to, which headers, and query parameters. An immutable value holding
// copies of what it was built from, so one request may be read by several threads at once.
class TISKEL_EXPORT Request {
  public:
    // `headers` are sent as given ("Name: value"); an empty value sends the header with no
    // value. `extra` holds query parameters, URL-encoded and appended to the URL's query in
    // key order.
    Request(Url const& url, HeaderMap const& headers,
            std::map<std::string, std::string> const& extra);

    Url const& url() const { return target; }
    HeaderMap const& headers() const { return headerFields; }
    std::map<std::string, std::string> const& extra() const { return queryParameters; }

  private:
    Url target;
    HeaderMap headerFields;
    std::map<std::string, std::string> queryParameters;
};

}  // namespace Tiskel::Networking
