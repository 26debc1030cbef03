#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

#include "Support/Wait.h"

namespace Tiskel::Test {

// A one-shot signal: `open` releases every present and future `wait`.
class Gate {
  public:
    void open() {
        std::lock_guard<std::mutex> lock(mutex);
        opened = true;
        condition.notify_all();
    }
    // True when the gate opened before the deadline.
    bool wait(std::chrono::milliseconds deadline = kGenerousDeadline) {
        std::unique_lock<std::mutex> lock(mutex);
        return condition.wait_for(lock, deadline, [&] { return opened; });
    }

  private:
    std::mutex mutex;
    std::condition_variable condition;
    bool opened = false;
};

// Lets `parties` threads wait until all of them have arrived. A thread that arrives alone never
// passes, so tasks that meet here prove that they ran at the same time.
class Rendezvous {
  public:
    explicit Rendezvous(std::size_t parties) : parties(parties) {}
    // True when every party arrived before the deadline.
    bool arriveAndWait(std::chrono::milliseconds deadline = kGenerousDeadline) {
        std::unique_lock<std::mutex> lock(mutex);
        ++arrived;
        condition.notify_all();
        return condition.wait_for(lock, deadline, [&] { return arrived >= parties; });
    }

  private:
    std::mutex mutex;
    std::condition_variable condition;
    std::size_t const parties;
    std::size_t arrived = 0;
};

}  // namespace Tiskel::Test
