#pragma once

#include <string>
#include <sys/types.h>

#include "Support/TempDir.h"

namespace Tiskel::Test {

// A tinyproxy process (a real HTTP proxy) listening on a free port of 127.0.0.1, with its own
// configuration and log file in a temporary folder. Stopped when the object goes.
class TinyProxy {
  public:
    // Starts the proxy and waits until it accepts connections. Throws std::runtime_error when
    // it cannot be started.
    TinyProxy();
    ~TinyProxy();
    TinyProxy(TinyProxy const&) = delete;
    TinyProxy& operator=(TinyProxy const&) = delete;

    int port() const { return listenPort; }
    std::string host() const { return "127.0.0.1"; }
    // "http://127.0.0.1:<port>"
    std::string url() const;
    // The proxy's log so far.
    std::string log() const;
    // True when the log shows a forwarded request for `url`.
    bool loggedRequestFor(std::string const& url) const;

  private:
    bool start(int port);
    void stop();

    TempDir dir;
    int listenPort = 0;
    pid_t pid = -1;
};

}  // namespace Tiskel::Test
