#pragma once

// The resource-sync program run as a child process by the Sync tests.

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <iterator>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "Support/TempDir.h"
#include "Support/Wait.h"

extern char** environ;

namespace Tiskel::Test {

inline std::string const kProgram = RDM_SYNC_PROGRAM;

// Adds up the sizes and times of the files under `folder`: it changes as they are written.
inline std::uintmax_t filesUnder(std::string const& folder) {
    std::uintmax_t sum = 0;
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        sum += it->file_size(error) + it->last_write_time(error).time_since_epoch().count();
    }
    return sum;
}

// The resource-sync program running as a child process, its standard output and error going to
// files, without the proxy variables of the environment (the tests talk to 127.0.0.1 only).
// Bound to the creating thread.
class Program {
  public:
    // Starts `path` (by default the resource-sync program) with `args`, its standard input read
    // from the file `input` and its standard output going to `outputFd` when that is not -1
    // (a missing program ends with exit code 127); throws std::runtime_error when no process can
    // be started.
    explicit Program(std::vector<std::string> const& args, std::string const& path = kProgram,
                     std::string const& input = "/dev/null", int outputFd = -1) {
        // `env` runs the program in its own place (the same process), without the proxy
        // variables.
        std::vector<std::string> words{"/usr/bin/env"};
        for (char const* proxy : {"http_proxy", "https_proxy", "all_proxy", "no_proxy",
                                  "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "NO_PROXY"}) {
            words.insert(words.end(), {"-u", proxy});
        }
        words.push_back(path);
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& word : words) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
        for (int fd : {1, 2}) {
            posix_spawn_file_actions_addopen(&actions, fd, outputs.file(std::to_string(fd)).c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0644);
        }
        if (outputFd >= 0) {
            posix_spawn_file_actions_adddup2(&actions, outputFd, 1);
        }
        int const result = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (result != 0) {
            throw std::runtime_error(std::string("cannot start env: ") + std::strerror(result));
        }
        auto const dir = std::find(args.begin(), args.end(), "--dir");
        folder = dir != args.end() && dir + 1 != args.end() ? *(dir + 1) : "";
    }
    // Kills the process if it still runs.
    ~Program() {
        if (code < 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    Program(Program const&) = delete;
    Program& operator=(Program const&) = delete;

    // Waits up to a minute for the process to end; returns its exit code (128 + signal for a
    // process killed by a signal). A process that stood still (see `moving`) or outlived the
    // minute is killed and fails the test with what it printed; -1 then.
    int wait() {
        auto const ended = [this] {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) != pid) {
                return false;
            }
            code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return true;
        };
        if (code >= 0 || waitUntil(ended, moving(), std::chrono::seconds(60))) {
            return code;
        }
        ::kill(pid, SIGKILL);
        ADD_FAILURE() << "killed a child that stood still or outlived the deadline; it printed:\n"
                      << out() << err();
        return -1;
    }
    // A `stillPossible` for waitUntil on what the child should bring about: false once it has
    // printed nothing and changed no file under its --dir folder for the quiet window.
    std::function<bool()> moving() const {
        return whileMoving([this] { return filesUnder(outputs.path()) + filesUnder(folder); });
    }
    void signal(int number) const { ::kill(pid, number); }
    std::string out() const { return TempDir::read(outputs.file("1")); }
    std::string err() const { return TempDir::read(outputs.file("2")); }

  private:
    TempDir outputs;
    pid_t pid = -1;
    int code = -1;
    std::string folder;  // its --dir folder, if any
};

// Runs the program to its end; the exit code is -1 when it did not end in time.
struct Finished {
    int code;
    std::string out;
    std::string err;
};
inline Finished runToEnd(std::vector<std::string> const& args, std::string const& path = kProgram,
                         std::string const& input = "/dev/null") {
    Program program(args, path, input);
    int const code = program.wait();
    return {code, program.out(), program.err()};
}

// The words of `line`, split at spaces: a command line without quoting.
inline std::vector<std::string> words(std::string const& line) {
    std::istringstream stream(line);
    return {std::istream_iterator<std::string>(stream), {}};
}

}  // namespace Tiskel::Test
