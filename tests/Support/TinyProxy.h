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

    // "127.0.0.1:<port>"
    std::string address() const { return "127.0.0.1:" + std::to_string(port); }
    // The proxy's log so far.
    std::string log() const { return TempDir::read(dir.file("tinyproxy.log")); }

  private:
    TempDir dir;
    int port = 0;
    pid_t pid = -1;
};

}  // namespace Tiskel::Test
