#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "Support/TempDir.h"

namespace Tiskel::Test {

// The resource-sync program running as a child process, its standard output and error going to
// files, without the proxy variables of the environment (the tests talk to 127.0.0.1 only).
// Bound to the creating thread. A child that prints nothing and changes no file under its --dir
// folder for the quiet window is taken as stuck.
class Program {
  public:
    // Starts `path` with `args`; throws std::runtime_error when it cannot be started.
    Program(std::string const& path, std::vector<std::string> const& args);
    // Kills the process if it still runs.
    ~Program();
    Program(Program const&) = delete;
    Program& operator=(Program const&) = delete;

    // Waits until the process has ended. A process that stood still or outlived `deadline` is
    // killed and fails the test with what it printed; wait returns false then.
    bool wait(std::chrono::milliseconds deadline = std::chrono::seconds(60));
    // A `stillPossible` for waitUntil on what the child should bring about: false once the child
    // has stood still for the quiet window.
    std::function<bool()> moving() const;
    // The exit code (128 + signal for a process killed by a signal). REQUIRES: wait() was true.
    int exitCode() const { return code; }
    void signal(int number) const;

    std::string out() const { return TempDir::read(outputs.file("out")); }
    std::string err() const { return TempDir::read(outputs.file("err")); }

  private:
    TempDir outputs;
    pid_t pid = -1;
    int code = -1;
    std::string folder;  // its --dir folder, if any
};

// Adds up the sizes and times of the files under `folder`: it changes as they are written.
std::uintmax_t filesUnder(std::string const& folder);

// Runs the program to its end with the generous deadline; the exit code is -1 when it did not
// end (see wait).
struct Finished {
    int code;
    std::string out;
    std::string err;
};
Finished runToEnd(std::string const& path, std::vector<std::string> const& args);

}  // namespace Tiskel::Test
