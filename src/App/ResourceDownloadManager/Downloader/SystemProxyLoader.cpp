#include <dlfcn.h>

#include "App/ResourceDownloadManager/Downloader/SystemProxyModule.h"

namespace Tiskel::App::detail {

std::string systemProxyModulePath() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&systemProxyModulePath), &info) == 0 ||
        info.dli_fname == nullptr) {
        return {};
    }
    std::string path = info.dli_fname;
    std::size_t const slash = path.rfind('/');
    path = slash == std::string::npos ? std::string(".") : path.substr(0, slash);
    return path + "/" RDM_MODULE_FOLDER "/" RDM_SYSTEM_PROXY_MODULE;
}

std::string loadSystemProxyModule(std::string const& path, RdmSystemProxyLookup& lookup) {
    if (path.empty()) {
        return "the library's own folder is unknown, so the system proxy module cannot be found";
    }
    void* const module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        char const* const reason = ::dlerror();
        return "cannot load " + path + ": " + (reason != nullptr ? reason : "unknown reason");
    }
    void* const function = ::dlsym(module, kSystemProxyLookupSymbol);
    if (function == nullptr) {
        return path + " lacks " + kSystemProxyLookupSymbol;
    }
    lookup = reinterpret_cast<RdmSystemProxyLookup>(function);
    return {};
}

}  // namespace Tiskel::App::detail
