#include "App/ResourceDownloadManager/Downloader/QtProxyProvider.h"

#include <QNetworkProxyFactory>
#include <QNetworkProxyQuery>
#include <QString>
#include <QUrl>

#include "App/ResourceDownloadManager/Downloader/QtProxyProviderDetail.h"

namespace Tiskel::App {

Networking::IProxyProvider::Proxy QtProxyProvider::getProxy(std::string const& url) const noexcept {
    try {
        QUrl const parsed(QString::fromUtf8(url.data(), static_cast<int>(url.size())),
                          QUrl::TolerantMode);
        QNetworkProxyQuery const query(parsed, QNetworkProxyQuery::UrlRequest);
        return detail::firstUsableProxy(QNetworkProxyFactory::systemProxyForQuery(query));
    } catch (...) {
        // Only allocation can fail here; a direct connection is the answer that needs nothing.
        return Proxy{};
    }
}

}  // namespace Tiskel::App
