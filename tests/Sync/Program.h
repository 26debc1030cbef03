#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

#include "Support/TempDir.h"

namespace Tiskel::Test {

// The resource-sync program running as a child process, its standard output and error going to
// files, without the proxy variables of the environment (the tests talk to 127.0.0.1 only).
// Bound to the creating thread.
class Program {
  public:
    // Starts `path` with `args`, its standard input read from the file `input`; throws
    // std::runtime_error when it cannot be started.
    Program(std::string const& path, std::vector<std::string> const& args,
            std::string const& input = "/dev/null");
    // Kills the process if it still runs.
    ~Program();
    Program(Program const&) = delete;
    Program& operator=(Program const&) = delete;

    // Waits until the process has ended; false when `deadline` passed first.
    bool wait(std::chrono::milliseconds deadline = std::chrono::seconds(60));
    // The exit code (128 + signal for a process killed by a signal). REQUIRES: wait() was true.
    int exitCode() const { return code; }
    void signal(int number) const;

    std::string out() const { return TempDir::read(outputs.file("out")); }
    std::string err() const { return TempDir::read(outputs.file("err")); }

  private:
    TempDir outputs;
    pid_t pid = -1;
    int code = -1;
};

// Runs the program to its end with the generous deadline; the exit code is -1 when it did not
// end in time.
struct Finished {
    int code;
    std::string out;
    std::string err;
};
Finished runToEnd(std::string const& path, std::vector<std::string> const& args,
                  std::string const& input = "/dev/null");

}  // namespace Tiskel::Test
