#pragma once

#include <cstdint>
#include <string>

#include "Platform/Export.h"

namespace Tiskel::Networking {

// Tells which proxy a request to a URL should go through. Implementations are called from
// several download threads at once.
class TISKEL_EXPORT IProxyProvider {
  public:
    struct Proxy {
        enum Type : int32_t {
            None = 0,
            Http = 1,
            Https = 2,
            Socks4 = 3,
            Socks5 = 4,
        };
        Type type = None;
        std::string host;
        int32_t port = 0;
    };

    IProxyProvider() = default;
    virtual ~IProxyProvider() = default;
    IProxyProvider(IProxyProvider const&) = delete;
    IProxyProvider& operator=(IProxyProvider const&) = delete;

    // The proxy for a request to `url`; type None (empty host, port 0) for a direct connection.
    virtual Proxy getProxy(std::string const& url) const = 0;
};

}  // namespace Tiskel::Networking
