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

EasyHandle::EasyHandle() : handle(nullptr) {
    ensureGlobalInit();
    handle = curl_easy_init();
    if (handle == nullptr) {
        throw std::runtime_error("libcurl could not create a request handle");
    }
}

EasyHandle::~EasyHandle() {
    if (handle != nullptr) {
        curl_easy_cleanup(handle);
    }
}

EasyHandle::EasyHandle(EasyHandle&& other) noexcept : handle(other.handle) {
    other.handle = nullptr;
}

EasyHandle& EasyHandle::operator=(EasyHandle&& other) noexcept {
    if (this != &other) {
        if (handle != nullptr) {
            curl_easy_cleanup(handle);
        }
        handle = other.handle;
        other.handle = nullptr;
    }
    return *this;
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
    // Connections are not shared here: libcurl does not support one connection cache used by
    // concurrent threads. Each easy handle keeps its own, and handles are pooled instead.
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
