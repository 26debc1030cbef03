#pragma once

// libcurl, loaded on the first request rather than with the program. Internal to the networking
// library.
//
// libcurl brings its TLS, SSH, LDAP and Kerberos libraries with it; on Debian loading them all
// costs about 17 ms of start-up and 5 MiB of resident memory. A run that never talks to a
// server (a check that finds every file present) does not pay for them.

#include <string>

#include <curl/curl.h>

namespace Tiskel::Networking::Curl {

// The libcurl functions the client calls, looked up in the loaded library.
struct Api {
    decltype(&::curl_global_init) global_init = nullptr;
    decltype(&::curl_version_info) version_info = nullptr;
    decltype(&::curl_easy_init) easy_init = nullptr;
    decltype(&::curl_easy_cleanup) easy_cleanup = nullptr;
    decltype(&::curl_easy_setopt) easy_setopt = nullptr;
    decltype(&::curl_easy_getinfo) easy_getinfo = nullptr;
    decltype(&::curl_easy_strerror) easy_strerror = nullptr;
    decltype(&::curl_multi_init) multi_init = nullptr;
    decltype(&::curl_multi_cleanup) multi_cleanup = nullptr;
    decltype(&::curl_multi_setopt) multi_setopt = nullptr;
    decltype(&::curl_multi_add_handle) multi_add_handle = nullptr;
    decltype(&::curl_multi_remove_handle) multi_remove_handle = nullptr;
    decltype(&::curl_multi_perform) multi_perform = nullptr;
    decltype(&::curl_multi_poll) multi_poll = nullptr;
    decltype(&::curl_multi_info_read) multi_info_read = nullptr;
    decltype(&::curl_multi_strerror) multi_strerror = nullptr;
    decltype(&::curl_share_init) share_init = nullptr;
    decltype(&::curl_share_cleanup) share_cleanup = nullptr;
    decltype(&::curl_share_setopt) share_setopt = nullptr;
    decltype(&::curl_slist_append) slist_append = nullptr;
    decltype(&::curl_slist_free_all) slist_free_all = nullptr;
    decltype(&::curl_url) url = nullptr;
    decltype(&::curl_url_cleanup) url_cleanup = nullptr;
    decltype(&::curl_url_set) url_set = nullptr;
    decltype(&::curl_url_get) url_get = nullptr;
    decltype(&::curl_free) free = nullptr;
};

// The oldest libcurl whose options the client relies on (CURLOPT_PROTOCOLS_STR).
constexpr unsigned kOldestVersion = 0x075500;  // 7.85.0

// The file name under which the system's libcurl is loaded.
extern char const* const kLibraryName;

// Loads the library named `name` and looks up every function of Api, checking the library's
// version against kOldestVersion. Returns "" and fills `api` on success, otherwise says what is
// missing. Never unloads: the functions stay valid for the life of the process.
std::string load(char const* name, Api& api);

// libcurl loaded and initialised for the process, once, by whichever thread gets here first.
// Throws std::runtime_error with the reason when it cannot be loaded or started; every later
// call throws the same.
Api const& api();

}  // namespace Tiskel::Networking::Curl
