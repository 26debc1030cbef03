#include "Platform/Networking/CurlHandles.h"

#include <stdexcept>
#include <string>

namespace Tiskel::Networking::Curl {

void ensureGlobalInit() {
    static CURLcode const result = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (result != CURLE_OK) {
        throw std::runtime_error(std::string("libcurl initialisation failed: ") +
                                 curl_easy_strerror(result));
    }
}

EasyHandle::EasyHandle() {
    ensureGlobalInit();
    handle.reset(curl_easy_init());
    if (!handle) {
        throw std::runtime_error("libcurl could not create a request handle");
    }
}

MultiHandle::MultiHandle() {
    ensureGlobalInit();
    handle.reset(curl_multi_init());
    if (!handle) {
        throw std::runtime_error("libcurl could not create a transfer driver");
    }
}

ShareHandle::ShareHandle() : share(nullptr) {
    ensureGlobalInit();
    share = curl_share_init();
    if (share == nullptr) {
        throw std::runtime_error("libcurl could not create a share handle");
    }
    curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &ShareHandle::lock);
    curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &ShareHandle::unlock);
    curl_share_setopt(share, CURLSHOPT_USERDATA, this);
    // Connections are not shared here: the multi handle that drives the transfers keeps them.
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
}

ShareHandle::~ShareHandle() {
    curl_share_cleanup(share);
}

void ShareHandle::lock(CURL* /*handle*/, curl_lock_data data, curl_lock_access /*access*/,
                       void* self) {
    static_cast<ShareHandle*>(self)->mutexes.at(static_cast<size_t>(data)).lock();
}

void ShareHandle::unlock(CURL* /*handle*/, curl_lock_data data, void* self) {
    static_cast<ShareHandle*>(self)->mutexes.at(static_cast<size_t>(data)).unlock();
}

}  // namespace Tiskel::Networking::Curl
