#pragma once

// Internal to QtProxyProvider (and its tests): how the system's list of proxies is turned into
// one answer. Kept apart from the system lookup so that the choice can be checked on hand-made
// lists.

#include <QList>
#include <QNetworkProxy>

#include "Platform/Networking/IProxyProvider.h"

namespace Tiskel::App::detail {

// The first entry of `proxies` that needs no credentials and is an HTTP or SOCKS 5 proxy; the
// empty record when none qualifies. Entries of other types, a direct-connection entry
// included, are passed over: the system lists alternatives in order of preference, and a later
// usable proxy is still preferred to none.
inline Networking::IProxyProvider::Proxy firstUsableProxy(QList<QNetworkProxy> const& proxies) {
    using Proxy = Networking::IProxyProvider::Proxy;
    for (QNetworkProxy const& entry : proxies) {
        // The HTTP client is never given credentials, so a proxy that wants them would only
        // refuse every request.
        if (!entry.user().isEmpty() || !entry.password().isEmpty()) {
            continue;
        }
        Proxy proxy;
        if (entry.type() == QNetworkProxy::HttpProxy) {
            proxy.type = Proxy::Http;
        } else if (entry.type() == QNetworkProxy::Socks5Proxy) {
            proxy.type = Proxy::Socks5;
        } else {
            continue;
        }
        proxy.host = entry.hostName().toUtf8().toStdString();
        proxy.port = static_cast<int32_t>(entry.port());
        return proxy;
    }
    return Proxy{};
}

}  // namespace Tiskel::App::detail
