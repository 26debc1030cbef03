// The module that asks Qt for the system proxy; see SystemProxyModule.h. Built as a loadable
// module linked with QtNetwork, and loaded by QtProxyProvider on its first question.

#include "App/ResourceDownloadManager/Downloader/SystemProxyModule.h"

#include <cstring>

#include <QNetworkProxyFactory>
#include <QNetworkProxyQuery>
#include <QString>
#include <QUrl>

#include "App/ResourceDownloadManager/Downloader/QtProxyProviderDetail.h"

extern "C" __attribute__((visibility("default"))) int rdmSystemProxyLookup(
    char const* url, std::size_t length, RdmSystemProxyAnswer* answer) noexcept {
    try {
        QUrl const parsed(QString::fromUtf8(url, static_cast<int>(length)), QUrl::TolerantMode);
        QNetworkProxyQuery const query(parsed, QNetworkProxyQuery::UrlRequest);
        Tiskel::Networking::IProxyProvider::Proxy const proxy =
            Tiskel::App::detail::firstUsableProxy(QNetworkProxyFactory::systemProxyForQuery(query));
        if (proxy.host.size() >= sizeof answer->host) {
            return -1;  // no host name is that long
        }
        answer->type = proxy.type;
        answer->port = proxy.port;
        std::memcpy(answer->host, proxy.host.c_str(), proxy.host.size() + 1);
        return 0;
    } catch (...) {
        // Only allocation can fail here.
        return -1;
    }
}
