#include "App/ResourceDownloadManager/Downloader/QtProxyProvider.h"

#include <glog/logging.h>

#include "App/ResourceDownloadManager/Downloader/SystemProxyModule.h"

namespace Tiskel::App {
namespace {

constexpr char kUnit[] = "App/ResourceDownloadManager/Downloader/QtProxyProvider";

// The module's lookup function, loaded by the first question; null when it cannot be loaded,
// which is logged once.
RdmSystemProxyLookup systemLookup() {
    static RdmSystemProxyLookup const lookup = [] {
        RdmSystemProxyLookup found = nullptr;
        std::string const problem =
            detail::loadSystemProxyModule(detail::systemProxyModulePath(), found);
        if (!problem.empty()) {
            google::LogMessage(kUnit, __LINE__, google::GLOG_ERROR).stream()
                << "System proxy settings are unavailable, every request connects directly: "
                << problem;
        }
        return found;
    }();
    return lookup;
}

}  // namespace

Networking::IProxyProvider::Proxy QtProxyProvider::getProxy(std::string const& url) const noexcept {
    try {
        RdmSystemProxyLookup const lookup = systemLookup();
        RdmSystemProxyAnswer answer{};
        if (lookup == nullptr || lookup(url.data(), url.size(), &answer) != 0) {
            return Proxy{};
        }
        Proxy proxy;
        proxy.type = static_cast<Proxy::Type>(answer.type);
        proxy.host = answer.host;
        proxy.port = answer.port;
        return proxy;
    } catch (...) {
        // Only allocation can fail here; a direct connection is the answer that needs nothing.
        return Proxy{};
    }
}

}  // namespace Tiskel::App
