#include "App/ResourceDownloadManager/Downloader/QtProxyProvider.h"

#include <QNetworkProxyFactory>
#include <QNetworkProxyQuery>
#include <QString>
#include <QUrl>
#include <glog/logging.h>

#include "App/ResourceDownloadManager/Downloader/QtProxyProviderDetail.h"
#include "Platform/Networking/Url.h"

namespace Tiskel::App {
namespace {

constexpr char kUnit[] = "App/ResourceDownloadManager/Downloader/QtProxyProvider";

}  // namespace

Networking::IProxyProvider::Proxy QtProxyProvider::getProxy(std::string const& url) const noexcept {
    try {
        QUrl const parsed(QString::fromUtf8(url.data(), static_cast<int>(url.size())),
                          QUrl::TolerantMode);
        QNetworkProxyQuery const query(parsed, QNetworkProxyQuery::UrlRequest);
        return detail::firstUsableProxy(QNetworkProxyFactory::systemProxyForQuery(query));
    } catch (...) {
        // Only allocation can fail here. The request then goes direct, which needs nothing more,
        // but not unannounced: a user behind a proxy learns why it did not go through it.
        try {
            google::LogMessage(kUnit, __LINE__, google::GLOG_ERROR).stream()
                << "Could not read the system proxy settings for "
                << Networking::maskCredentials(url) << "; the request connects directly";
        } catch (...) {
        }
        return Proxy{};
    }
}

}  // namespace Tiskel::App
