#pragma once

#include <signal.h>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/types.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "Support/HttpTestServer.h"
#include "Support/TempDir.h"
#include "Support/Wait.h"

extern char** environ;

namespace Tiskel::Test {

// A tinyproxy process (a real HTTP proxy) listening on a free port of 127.0.0.1, with its own
// configuration and log file in a temporary folder. Stopped when the object goes.
class TinyProxy {
  public:
    // Starts the proxy and waits until it accepts connections. Throws std::runtime_error when
    // it cannot be started.
    TinyProxy() : port(freeLoopbackPort()) {
        // The log is made empty first, so that it can be read before the proxy writes to it.
        std::string const config = dir.write(
            "tinyproxy.conf", "Port " + std::to_string(port) + "\nListen 127.0.0.1\nLogFile \"" +
                                  dir.write("tinyproxy.log", "") + "\"\n");
        char const* argv[] = {"tinyproxy", "-d", "-c", config.c_str(), nullptr};
        if (posix_spawnp(&pid, "tinyproxy", nullptr, nullptr, const_cast<char* const*>(argv),
                         environ) != 0) {
            throw std::runtime_error("cannot run tinyproxy; is it installed?");
        }
        // The proxy logs this line once it listens; should it fail, the destructor still ends it.
        bool const listening =
            waitUntil([this] { return log().find("Accepting connections.") != std::string::npos; });
        EXPECT_TRUE(listening) << "tinyproxy did not start: " << log();
    }
    ~TinyProxy() {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }

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
