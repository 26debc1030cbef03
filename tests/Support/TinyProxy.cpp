#include "Support/TinyProxy.h"

#include <arpa/inet.h>
#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "Support/HttpTestServer.h"
#include "Support/Wait.h"

extern char** environ;

namespace Tiskel::Test {
namespace {

bool accepts(int port) {
    int const fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    bool const connected =
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

}  // namespace

TinyProxy::TinyProxy() {
    // The port is free when chosen but may be taken before the proxy binds it; try a few.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (start(freeLoopbackPort())) {
            return;
        }
    }
    throw std::runtime_error("tinyproxy could not be started");
}

TinyProxy::~TinyProxy() {
    stop();
}

std::string TinyProxy::url() const {
    return "http://127.0.0.1:" + std::to_string(listenPort);
}

std::string TinyProxy::log() const {
    try {
        return TempDir::read(dir.file("tinyproxy.log"));
    } catch (std::runtime_error const&) {
        return {};
    }
}

bool TinyProxy::loggedRequestFor(std::string const& url) const {
    return log().find("GET " + url + " HTTP/1.1") != std::string::npos;
}

bool TinyProxy::start(int port) {
    std::string const config = dir.write("tinyproxy.conf", "Port " + std::to_string(port) +
                                                               "\n"
                                                               "Listen 127.0.0.1\n"
                                                               "Timeout 30\n"
                                                               "MaxClients 64\n"
                                                               "Allow 127.0.0.1\n"
                                                               "LogLevel Info\n"
                                                               "LogFile \"" +
                                                               dir.file("tinyproxy.log") + "\"\n");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> arguments = {"tinyproxy", "-d", "-c", config};
    std::vector<char*> argv;
    for (auto& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    int const spawned = posix_spawnp(&pid, "tinyproxy", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        pid = -1;
        throw std::runtime_error("cannot run tinyproxy; is it installed?");
    }
    bool exited = false;
    bool const ready = waitUntil([&] {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            exited = true;
            return true;
        }
        return accepts(port);
    });
    if (exited || !ready) {
        if (!exited) {
            stop();
        }
        pid = -1;
        return false;
    }
    listenPort = port;
    return true;
}

void TinyProxy::stop() {
    if (pid <= 0) {
        return;
    }
    ::kill(pid, SIGTERM);
    bool const ended = waitUntil(
        [&] {
            int status = 0;
            return ::waitpid(pid, &status, WNOHANG) == pid;
        },
        std::chrono::seconds(10));
    if (!ended) {
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
    pid = -1;
}

}  // namespace Tiskel::Test
