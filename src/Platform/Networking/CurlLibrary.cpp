#include "Platform/Networking/CurlLibrary.h"

#include <cstdio>
#include <dlfcn.h>
#include <stdexcept>

namespace Tiskel::Networking::Curl {

#if defined(__APPLE__)
char const* const kLibraryName = "libcurl.4.dylib";
#else
char const* const kLibraryName = "libcurl.so.4";
#endif

namespace {

template <class Function>
bool lookUp(void* library, char const* symbol, Function& function, std::string& missing) {
    void* const address = ::dlsym(library, symbol);
    if (address == nullptr) {
        missing += missing.empty() ? symbol : std::string(", ") + symbol;
        return false;
    }
    function = reinterpret_cast<Function>(address);
    return true;
}

std::string versionText(unsigned number) {
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u", (number >> 16) & 0xFF, (number >> 8) & 0xFF,
                  number & 0xFF);
    return text;
}

struct Loaded {
    Api api;
    std::string problem;
};

Loaded loadAndStart() {
    Loaded loaded;
    loaded.problem = load(kLibraryName, loaded.api);
    if (loaded.problem.empty()) {
        CURLcode const code = loaded.api.global_init(CURL_GLOBAL_DEFAULT);
        if (code != CURLE_OK) {
            loaded.problem =
                std::string("libcurl initialisation failed: ") + loaded.api.easy_strerror(code);
        }
    }
    return loaded;
}

}  // namespace

std::string load(char const* name, Api& api) {
    // Local binding keeps libcurl's symbols from those of the host and of other libraries.
    void* const library = ::dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        char const* const reason = ::dlerror();
        return std::string("cannot load ") + name + ": " + (reason ? reason : "unknown reason");
    }
    std::string missing;
    Api found;
    lookUp(library, "curl_global_init", found.global_init, missing);
    lookUp(library, "curl_version_info", found.version_info, missing);
    lookUp(library, "curl_easy_init", found.easy_init, missing);
    lookUp(library, "curl_easy_cleanup", found.easy_cleanup, missing);
    lookUp(library, "curl_easy_setopt", found.easy_setopt, missing);
    lookUp(library, "curl_easy_getinfo", found.easy_getinfo, missing);
    lookUp(library, "curl_easy_strerror", found.easy_strerror, missing);
    lookUp(library, "curl_multi_init", found.multi_init, missing);
    lookUp(library, "curl_multi_cleanup", found.multi_cleanup, missing);
    lookUp(library, "curl_multi_setopt", found.multi_setopt, missing);
    lookUp(library, "curl_multi_add_handle", found.multi_add_handle, missing);
    lookUp(library, "curl_multi_remove_handle", found.multi_remove_handle, missing);
    lookUp(library, "curl_multi_perform", found.multi_perform, missing);
    lookUp(library, "curl_multi_poll", found.multi_poll, missing);
    lookUp(library, "curl_multi_info_read", found.multi_info_read, missing);
    lookUp(library, "curl_multi_strerror", found.multi_strerror, missing);
    lookUp(library, "curl_share_init", found.share_init, missing);
    lookUp(library, "curl_share_cleanup", found.share_cleanup, missing);
    lookUp(library, "curl_share_setopt", found.share_setopt, missing);
    lookUp(library, "curl_slist_append", found.slist_append, missing);
    lookUp(library, "curl_slist_free_all", found.slist_free_all, missing);
    lookUp(library, "curl_url", found.url, missing);
    lookUp(library, "curl_url_cleanup", found.url_cleanup, missing);
    lookUp(library, "curl_url_set", found.url_set, missing);
    lookUp(library, "curl_url_get", found.url_get, missing);
    lookUp(library, "curl_free", found.free, missing);
    if (!missing.empty()) {
        return std::string(name) + " lacks " + missing;
    }
    curl_version_info_data const* const version = found.version_info(CURLVERSION_NOW);
    if (version == nullptr || version->version_num < kOldestVersion) {
        return std::string(name) + " is libcurl " +
               (version ? versionText(version->version_num) : std::string("of unknown version")) +
               "; " + versionText(kOldestVersion) + " or later is needed";
    }
    api = found;
    return {};
}

Api const& api() {
    static Loaded const loaded = loadAndStart();
    if (!loaded.problem.empty()) {
        throw std::runtime_error(loaded.problem);
    }
    return loaded.api;
}

}  // namespace Tiskel::Networking::Curl
