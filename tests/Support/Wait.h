#pragma once

#include <chrono>
#include <thread>
#include <type_traits>

namespace Tiskel::Test {

// A deadline generous enough for a loaded machine running sanitizer builds. A wait should also
// say when its condition can no longer come true, so that a fault fails at once rather than at
// the deadline.
inline constexpr std::chrono::seconds kGenerousDeadline{30};

// Polls `condition` until it holds, `stillPossible` returns false or `deadline` passes; returns
// whether the condition held. For tests that wait on state owned by other threads, where no
// condition variable is exposed. `stillPossible` is asked after each look that found the
// condition false; the condition gets one more look once it says no, so that a condition that
// came true together with the end of the work that made it possible still counts.
template <class Condition, class StillPossible,
          class = std::enable_if_t<std::is_invocable_r_v<bool, StillPossible&>>>
bool waitUntil(Condition condition, StillPossible stillPossible,
               std::chrono::milliseconds deadline = kGenerousDeadline) {
    auto const end = std::chrono::steady_clock::now() + deadline;
    while (!condition()) {
        if (!stillPossible() || std::chrono::steady_clock::now() >= end) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// As above, for a condition that stays possible until the deadline.
template <class Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds deadline = kGenerousDeadline) {
    return waitUntil(
        condition, [] { return true; }, deadline);
}

}  // namespace Tiskel::Test
