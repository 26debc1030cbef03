#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>
#include <type_traits>

#include <gtest/gtest.h>

namespace Tiskel::Test {

// A deadline generous enough for a loaded machine running sanitizer builds. A wait should also
// say when its condition can no longer come true, so that a fault fails at once rather than at
// the deadline.
inline constexpr std::chrono::seconds kGenerousDeadline{30};

// How long the work a test waits on may stand still before the wait gives up: far longer than
// any step of the work takes on a loaded machine, far shorter than the deadline.
inline constexpr std::chrono::seconds kQuietWindow{5};

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

// A `stillPossible` for waitUntil: true until what `watch` returns (the state of the work that
// would make the condition true: tasks run, bytes written) has stayed the same for `quiet`.
// Work that stands still that long is stuck, and what it owes will not come.
template <class Watch>
std::function<bool()> whileMoving(Watch watch, std::chrono::milliseconds quiet = kQuietWindow) {
    auto seen = watch();
    auto lastMove = std::chrono::steady_clock::now();
    return [=]() mutable {
        auto now = watch();
        if (!(now == seen)) {
            seen = now;
            lastMove = std::chrono::steady_clock::now();
        }
        return std::chrono::steady_clock::now() - lastMove < quiet;
    };
}

// For a test blocked in a call that no deadline reaches (an executor's run): while this object
// lives, a thread of its own asks `stillMoving` (see whileMoving). Once it says no, the test fails
// naming `what`, and `release` makes the blocked call return (the executor's abort), so that a
// lost wake-up fails the test within the quiet window instead of at ctest's timeout.
class Watchdog {
  public:
    Watchdog(char const* what, std::function<bool()> stillMoving, std::function<void()> release)
        : watching(std::async(std::launch::async, [=] {
              if (!waitUntil([this] { return done.load(); }, stillMoving, std::chrono::hours(24))) {
                  ADD_FAILURE() << what << ": the work stood still; released";
                  release();
              }
          })) {}
    ~Watchdog() { done = true; }  // the future's destructor waits for the thread

  private:
    std::atomic<bool> done{false};
    std::future<void> watching;
};

}  // namespace Tiskel::Test
