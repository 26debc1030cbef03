#include "Support/TinyProxy.h"

#include <fstream>
#include <iterator>
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
                                                         "LogLevel Info\nLogFile \"" +
                                                         dir.file("tinyproxy.log") + "\"\n");
    std::string name = "tinyproxy", foreground = "-d", configFlag = "-c";
    char* argv[] = {name.data(), foreground.data(), configFlag.data(), config.data(), nullptr};
    if (posix_spawnp(&pid, "tinyproxy", nullptr, nullptr, argv, environ) != 0) {
        throw std::runtime_error("cannot run tinyproxy; is it installed?");
    }
    // The proxy logs this line once it listens; it exits instead when the port was taken in the
    // meantime (seen without reaping it, so that the kill below cannot hit another process).
    auto const started = [this] {
        return log().find("Accepting connections.") != std::string::npos;
    };
    siginfo_t exited{};
    waitUntil([&] {
        ::waitid(P_PID, static_cast<id_t>(pid), &exited, WEXITED | WNOHANG | WNOWAIT);
        return exited.si_pid == pid || started();
    });
    if (!started()) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        throw std::runtime_error("tinyproxy did not start: " + log());
    }
}

TinyProxy::~TinyProxy() {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

std::string TinyProxy::log() const {
    std::ifstream in(dir.file("tinyproxy.log"));
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace Tiskel::Test
