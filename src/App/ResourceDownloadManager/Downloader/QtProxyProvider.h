#pragma once

#include <string>

#include "App/ResourceDownloadManager/Export.h"
#include "Platform/Networking/IProxyProvider.h"

namespace Tiskel::App {

// Tells which proxy a request to a URL should use, from the operating system's proxy settings as
// Qt reads them (on Linux the http_proxy, https_proxy and no_proxy variables; on macOS the
// network settings). The settings are read at every call, so a change applies to the next
// request. Stateless; callable from any thread.
class RDM_EXPORT QtProxyProvider final : public Networking::IProxyProvider {
  public:
    QtProxyProvider() = default;
    ~QtProxyProvider() override = default;

    // The first proxy of the system's list for `url` that is an HTTP or SOCKS 5 proxy needing
    // no credentials; the empty record (None, "", 0) when there is none. Never throws: when the
    // settings cannot be read (only allocation can fail), an ERROR line says so and the answer
    // is the empty record.
    Proxy getProxy(std::string const& url) const noexcept override;
};

}  // namespace Tiskel::App
