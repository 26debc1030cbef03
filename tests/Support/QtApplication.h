#pragma once

#include <chrono>
#include <utility>

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>

#include "Support/Wait.h"

namespace Tiskel::Test {

// The Qt application object a test needs on its thread (for the Qt task queue, the Qt adapter,
// or to tell the Qt thread apart). QCoreApplication keeps referring to the arguments it was
// given, so they live beside it.
class QtApplication {
  public:
    QtApplication() = default;
    QtApplication(QtApplication const&) = delete;
    QtApplication& operator=(QtApplication const&) = delete;

  private:
    int argc = 1;
    char name[16] = "rdm_tests";
    char* argv[2] = {name, nullptr};

  public:
    QCoreApplication application{argc, argv};
};

// Runs this thread's Qt event loop until `condition` holds; returns whether it did. Gives up at
// the deadline, or as soon as the work has stood still for `quiet`: the loop dispatched nothing
// and what `watch` returns (the state of the work that would make the condition true) did not
// change. Whatever is still missing then is not on its way, and the test fails in seconds
// instead of at the deadline.
template <class Condition, class Watch>
bool pumpUntil(Condition condition, Watch watch, std::chrono::milliseconds quiet = kQuietWindow) {
    int dispatched = 0;
    return waitUntil(
        [&] {
            dispatched +=
                QAbstractEventDispatcher::instance()->processEvents(QEventLoop::AllEvents);
            return condition();
        },
        whileMoving([&] { return std::make_pair(dispatched, watch()); }, quiet));
}

// As above, for a condition that only the event loop can make true.
template <class Condition>
bool pumpUntil(Condition condition) {
    return pumpUntil(condition, [] { return 0; });
}

}  // namespace Tiskel::Test
