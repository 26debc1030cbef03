#pragma once

#include <chrono>
#include <thread>

namespace Tiskel::Test {

// A deadline generous enough for a loaded machine running sanitizer builds.
inline constexpr std::chrono::seconds kGenerousDeadline{30};

// Polls `condition` until it holds or `deadline` passes; returns its last value. For tests that
// wait on state owned by other threads, where no condition variable is exposed.
template <class Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds deadline = kGenerousDeadline) {
    auto const end = std::chrono::steady_clock::now() + deadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace Tiskel::Test
