#pragma once

// Owners of libcurl handles. Internal to the networking library: this header, unlike the public
// ones, exposes libcurl.

#include <array>
#include <memory>
#include <mutex>

#include <curl/curl.h>

namespace Tiskel::Networking::Curl {

// Initialises libcurl for the process, once, whatever thread gets here first. Never cleaned up:
// handles may live until the process ends. Throws std::runtime_error when libcurl cannot start.
void ensureGlobalInit();

// Owns one easy handle: one request at a time, with its options and its receive buffer. Used
// by one thread at a time; moving hands it over.
class EasyHandle {
  public:
    // Throws std::runtime_error when libcurl cannot create a handle.
    EasyHandle();

    CURL* get() const { return handle.get(); }

  private:
    struct Cleanup {
        void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
    };
    std::unique_ptr<CURL, Cleanup> handle;
};

// Owns one multi handle, which drives many transfers at once and keeps the connections of
// finished transfers open for the next ones. Used by one thread at a time, except for
// curl_multi_wakeup, which any thread may call.
class MultiHandle {
  public:
    // Throws std::runtime_error when libcurl cannot create a handle.
    MultiHandle();

    CURLM* get() const { return handle.get(); }

  private:
    struct Cleanup {
        void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
    };
    std::unique_ptr<CURLM, Cleanup> handle;
};

// Owns a share handle holding the DNS cache and TLS sessions of every easy handle of one client,
// with one mutex per kind of shared data so that handles on different threads may use it at
// once. Must outlive every easy handle attached to it. Not movable: libcurl keeps its address
// for the lock callbacks.
class ShareHandle {
  public:
    // Throws std::runtime_error when libcurl cannot create the share.
    ShareHandle();
    ~ShareHandle();
    ShareHandle(ShareHandle const&) = delete;
    ShareHandle& operator=(ShareHandle const&) = delete;

    CURLSH* get() const { return share; }

  private:
    static void lock(CURL* handle, curl_lock_data data, curl_lock_access access, void* self);
    static void unlock(CURL* handle, curl_lock_data data, void* self);

    std::array<std::mutex, CURL_LOCK_DATA_LAST> mutexes;
    CURLSH* share;
};

}  // namespace Tiskel::Networking::Curl
