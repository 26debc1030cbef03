#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>
#include <gtest/gtest.h>

#include "Platform/QtUtils/QtInbox.h"

#include "Support/QtApplication.h"
#include "Support/Wait.h"

namespace Tiskel::App {
namespace {

namespace Support = ::Tiskel::Test;

// Several threads post bursts while this thread runs the event loop; each poster waits for its
// burst to have run before the next, so the inbox often runs empty just as a burst arrives. A
// wake-up lost there (the pipe emptied after the inbox was looked at) leaves work waiting with no
// byte in the pipe, for good. Work whose post returned before a pass of the loop has its byte in
// the pipe by then, so a pass that runs none of it finds the wake-up lost: the test stops there
// instead of waiting for a deadline.
TEST(QtInbox, BurstsFromManyThreadsAllRunWithoutALostWakeUp) {
    constexpr int kThreads = 4, kBursts = 300, kBurst = 4;
    Support::QtApplication qt;
    QtInbox inbox("burst test", &qt.application);
    std::atomic<int> posted{0};
    int ran = 0;  // this thread only
    std::atomic<int> ranOf[kThreads] = {};
    std::atomic<bool> stalled{false};
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&, t] {
            for (int b = 0; b < kBursts && !stalled; ++b) {
                for (int i = 0; i < kBurst; ++i) {
                    EXPECT_TRUE(inbox.post([&, t] {
                        ++ranOf[t];
                        ++ran;
                    }));
                    ++posted;
                }
                Support::waitUntil([&] { return ranOf[t] == (b + 1) * kBurst; },
                                   [&] { return !stalled.load(); });
            }
        });
    }
    auto const deadline = std::chrono::steady_clock::now() + Support::kGenerousDeadline;
    int idlePasses = 0;
    while (ran < kThreads * kBursts * kBurst && !stalled &&
           std::chrono::steady_clock::now() < deadline) {
        int const postedBefore = posted;
        int const ranBefore = ran;
        QAbstractEventDispatcher::instance()->processEvents(QEventLoop::AllEvents);
        // Three passes in a row, in case a pass looks at the pipe before Qt polls it.
        idlePasses = ran == ranBefore && ranBefore < postedBefore ? idlePasses + 1 : 0;
        stalled = idlePasses == 3;
    }
    stalled = true;  // releases the posters however the loop ended
    for (auto& poster : posters) {
        poster.join();
    }
    EXPECT_EQ(ran, kThreads * kBursts * kBurst) << "work waiting with no wake-up";
    EXPECT_EQ(posted.load(), kThreads * kBursts * kBurst);
}

// Work left in an inbox when it goes is dropped; work posted once the application object is gone
// is refused, since no event loop will run it.
TEST(QtInbox, WaitingWorkIsDroppedWithTheInboxAndLateWorkIsRefused) {
    auto qt = std::make_unique<Support::QtApplication>();
    bool ran = false;
    {
        QtInbox gone("dropped", &qt->application);
        EXPECT_TRUE(gone.post([&] { ran = true; }));
    }
    QCoreApplication::processEvents();
    EXPECT_FALSE(ran);
    auto inbox = std::make_unique<QtInbox>("late", &qt->application);
    qt.reset();
    EXPECT_FALSE(inbox->post([&] { ran = true; }));
    inbox.reset();
    EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace Tiskel::App
