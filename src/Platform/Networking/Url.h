#pragma once

#include <string>

#include "Platform/Export.h"

namespace Tiskel::Networking {

// An absolute URL ("scheme://host[:port]/path?query"), checked once at construction. A text that
// is not an absolute URL gives an invalid value instead of an exception, so that a bad address
// surfaces as a request error. Copyable value; thread-compatible.
class TISKEL_EXPORT Url {
  public:
    explicit Url(std::string const& text);

    // The text as given.
    std::string const& str() const { return text; }
    // False when the text is not an absolute URL with a known scheme and a host.
    bool isValid() const { return valid; }

  private:
    std::string text;
    bool valid = false;
};

}  // namespace Tiskel::Networking
