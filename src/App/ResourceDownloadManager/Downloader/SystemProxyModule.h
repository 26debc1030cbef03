#pragma once

// The boundary between QtProxyProvider and the module that asks Qt for the system proxy.
//
// The lookup needs QtNetwork, and QtNetwork brings the Kerberos libraries with it: on Debian
// loading them costs about 6 ms of start-up. The lookup therefore lives in a module of its own
// (SystemProxyQt, installed in the "resource-download-manager" folder beside the library) that
// QtProxyProvider loads on its first question, so that a run which never makes a request never
// loads QtNetwork. Plain C types only: the module and the library share no C++ objects.

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" {

// One answer of the module. `type` holds the values of Networking::IProxyProvider::Proxy::Type.
struct RdmSystemProxyAnswer {
    int32_t type;
    int32_t port;
    char host[256];  // NUL-terminated; a DNS name has at most 253 characters
};

// Asks the system's proxy settings about the URL of `length` bytes at `url` and fills `answer`.
// Returns 0, or -1 when the lookup failed (the answer is then a direct connection).
using RdmSystemProxyLookup = int (*)(char const* url, std::size_t length,
                                     RdmSystemProxyAnswer* answer);
}

namespace Tiskel::App::detail {

// The name of the lookup function in the module.
constexpr char kSystemProxyLookupSymbol[] = "rdmSystemProxyLookup";

// Where the module is: the folder of this library, then "resource-download-manager/" and the
// module's file name. Empty when the library's own path cannot be found.
std::string systemProxyModulePath();

// Loads the module at `path` and finds its lookup function. Returns "" and sets `lookup` on
// success, otherwise says what went wrong. Never unloads.
std::string loadSystemProxyModule(std::string const& path, RdmSystemProxyLookup& lookup);

}  // namespace Tiskel::App::detail
