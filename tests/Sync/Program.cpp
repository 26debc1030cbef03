#include "Program.h"

#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>

#include "Support/Wait.h"

extern char** environ;

namespace Tiskel::Test {

namespace {

bool isProxyVariable(std::string const& entry) {
    std::string const name = entry.substr(0, entry.find('='));
    for (char const* proxy : {"http_proxy", "https_proxy", "all_proxy", "no_proxy", "HTTP_PROXY",
                              "HTTPS_PROXY", "ALL_PROXY", "NO_PROXY"}) {
        if (name == proxy) {
            return true;
        }
    }
    return false;
}

}  // namespace

Program::Program(std::string const& path, std::vector<std::string> const& args,
                 std::string const& input) {
    std::vector<std::string> words{path};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (!isProxyVariable(*entry)) {
            environment.emplace_back(*entry);
        }
    }
    std::vector<char*> envp;
    for (std::string& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);

    std::string const out = outputs.file("out");
    std::string const err = outputs.file("err");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int const result = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (result != 0) {
        throw std::runtime_error("cannot start " + path + ": " + std::strerror(result));
    }
}

Program::~Program() {
    if (code < 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
}

bool Program::wait(std::chrono::milliseconds deadline) {
    return code >= 0 || waitUntil(
                            [this] {
                                int status = 0;
                                if (::waitpid(pid, &status, WNOHANG) != pid) {
                                    return false;
                                }
                                code = WIFEXITED(status) ? WEXITSTATUS(status)
                                                         : 128 + WTERMSIG(status);
                                return true;
                            },
                            deadline);
}

void Program::signal(int number) const {
    ::kill(pid, number);
}

Finished runToEnd(std::string const& path, std::vector<std::string> const& args,
                  std::string const& input) {
    Program program(path, args, input);
    bool const ended = program.wait();
    return {ended ? program.exitCode() : -1, program.out(), program.err()};
}

}  // namespace Tiskel::Test
