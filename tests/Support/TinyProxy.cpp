#include "Support/TinyProxy.h"

#include <signal.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "Support/HttpTestServer.h"
#include "Support/Wait.h"

extern char** environ;

namespace Tiskel::Test {

TinyProxy::TinyProxy() : port(freeLoopbackPort()) {
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

TinyProxy::~TinyProxy() {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

}  // namespace Tiskel::Test
