#include "Support/TinyProxy.h"

#include <signal.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>

#include "Support/HttpTestServer.h"
#include "Support/Wait.h"

extern char** environ;

namespace Tiskel::Test {

TinyProxy::TinyProxy() : port(freeLoopbackPort()) {
    std::string config = dir.write("tinyproxy.conf", "Port " + std::to_string(port) +
                                                         "\nListen 127.0.0.1\nAllow 127.0.0.1\n"
                                                         "MaxClients 64\nLogLevel Info\n"
                                                         "LogFile \"" +
                                                         dir.file("tinyproxy.log") + "\"\n");
    std::string name = "tinyproxy", foreground = "-d", configFlag = "-c";
    char* argv[] = {name.data(), foreground.data(), configFlag.data(), config.data(), nullptr};
    if (posix_spawnp(&pid, "tinyproxy", nullptr, nullptr, argv, environ) != 0) {
        throw std::runtime_error("cannot run tinyproxy; is it installed?");
    }
    // The proxy logs this line once it listens; it exits instead when the port was taken in the
    // meantime.
    bool exited = false;
    waitUntil([&] {
        exited = ::waitpid(pid, nullptr, WNOHANG) == pid;
        return exited || log().find("Accepting connections.") != std::string::npos;
    });
    if (exited || log().find("Accepting connections.") == std::string::npos) {
        if (!exited) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        throw std::runtime_error("tinyproxy did not start: " + log());
    }
}

TinyProxy::~TinyProxy() {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

std::string TinyProxy::log() const {
    try {
        return TempDir::read(dir.file("tinyproxy.log"));
    } catch (std::runtime_error const&) {
        return {};
    }
}

}  // namespace Tiskel::Test
