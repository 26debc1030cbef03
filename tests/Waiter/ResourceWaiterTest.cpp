#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <utility>

#include <gmock/gmock.h>

#include "App/ResourceDownloadManager/ActiveState.h"
#include "App/ResourceDownloadManager/ResourceWaiter.h"

#include "Support/LocalFiles.h"
#include "Support/QtApplication.h"

namespace Tiskel::App {
namespace {

namespace Support = ::Tiskel::Test;
using State = IRemoteResource::State;
using std::chrono::milliseconds;

// A resource whose state the test sets by hand through its node, a real state node on a queue
// that delivers at once (the scheduler's default). It counts subscriptions, so that the test can
// change the state only once the waiter listens.
class HandDrivenResource final : public IRemoteResource {
  public:
    void scheduleDownload(SchedulePriority /*priority*/) noexcept override {}
    void cancelDownload() noexcept override {}
    State getCurrentState() const noexcept override { return node.getCurrentState(); }
    ResourceDescriptorBundle const* getDescriptor() const noexcept override { return &bundle; }
    void registerEventHandler(IRemoteResourceEventHandler* handler,
                              NotificationParams const& params) noexcept override {
        node.addChangeSubscriber(
            handler, [this, handler](State state) { handler->onStateChanged(state, &bundle); },
            params);
        node.checkAllNotifications();
        ++subscriptions;
    }
    void unregisterEventHandler(IRemoteResourceEventHandler* handler) noexcept override {
        node.removeChangeSubscriber(handler);
        --subscriptions;
    }

    ResourceDescriptorBundle bundle;
    ActiveState node{IEventTracer::TraceRecord{}, std::make_shared<Core::TaskQueueImmediate>(),
                     nullptr};
    std::atomic<int> subscriptions{0};
};

TEST(ResourceWaiter, SleepsThroughUnsettledChangesAndReturnsTheSettledState) {
    for (bool const fails : {false, true}) {
        SCOPED_TRACE(fails ? "error" : "available");
        HandDrivenResource resource;  // Waiting
        std::thread changer([&] {
            ASSERT_TRUE(Support::waitUntil([&] { return resource.subscriptions > 0; }));
            // A change of status that settles nothing wakes the waiter, which must sleep on.
            resource.node.setProgress(1, 4);
            resource.node.setProgress(3, 4);
            if (fails) {
                resource.node.setDownloadError(IRemoteResource::InternetConnectionLost);
            } else {
                resource.node.setDownloadAvailable();
            }
        });
        ResourceWaitResult const result =
            waitUntilSettled(&resource, milliseconds(Support::kGenerousDeadline));
        changer.join();
        EXPECT_TRUE(result.settled);
        EXPECT_EQ(
            std::make_pair(result.state.status, result.state.error),
            fails ? std::make_pair(IRemoteResource::Error, IRemoteResource::InternetConnectionLost)
                  : std::make_pair(IRemoteResource::Available, IRemoteResource::NoError));
        EXPECT_EQ(resource.subscriptions.load(), 0) << "the wait left its subscription behind";
    }
}

TEST(ResourceWaiter, EndsAtTheDeadlineOrAtOnceForASettledResource) {
    struct Case {
        char const* name;
        bool startSettled;
        milliseconds timeout;
        bool settled;
    } const cases[] = {
        {"unsettled, deadline", false, milliseconds(150), false},
        {"unsettled, no time", false, milliseconds(0), false},
        {"unsettled, negative time", false, milliseconds(-5), false},
        {"settled, no time", true, milliseconds(0), true},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        HandDrivenResource resource;
        resource.node.setProgress(1, 2);
        if (c.startSettled) {
            resource.node.setDownloadAvailable();
        }
        auto const start = std::chrono::steady_clock::now();
        ResourceWaitResult const result = waitUntilSettled(&resource, c.timeout);
        EXPECT_GE(std::chrono::steady_clock::now() - start, c.timeout) << "returned early";
        EXPECT_EQ(result.settled, c.settled);
        EXPECT_EQ(result.state.status,
                  c.settled ? IRemoteResource::Available : IRemoteResource::Downloading);
        EXPECT_DOUBLE_EQ(result.state.progress, c.settled ? 1.0 : 0.5);
        EXPECT_EQ(resource.subscriptions.load(), 0);
    }
    EXPECT_THROW(waitUntilSettled(nullptr, milliseconds(10)), std::invalid_argument);
}

using ResourceWaiterQtTest = Support::LocalFiles;

// The real manager, with notifications of the main scheduler delivered on the Qt thread.
TEST_F(ResourceWaiterQtTest, OnTheQtThreadOnlyResourcesThatNotifyAtOnceMayBeWaitedOn) {
    dir.write("server/a.txt", "alpha");
    dir.write("server/b.txt", "beta");
    Support::QtApplication qt;
    ResourceDownloadManager manager;
    init(manager, {/*useParallelExecutor=*/false, 0, /*useQtNotificationQueue=*/true});
    // The init scheduler delivers at once on the worker's thread; the main one through Qt.
    IRemoteResource* init = manager.getInitScheduler()->registerAutoSchedule(
        &bundleOf({"a.txt"}), ISchedulableResource::Normal);
    IRemoteResource* main = manager.getMainScheduler()->registerResource(&bundleOf({"b.txt"}));
    manager.startEventLoopThread();

    EXPECT_THAT(
        [&] { waitUntilSettled(main, milliseconds(Support::kGenerousDeadline)); },
        ::testing::ThrowsMessage<std::logic_error>(::testing::HasSubstr("Qt application thread")));

    ResourceWaitResult const result =
        waitUntilSettled(init, milliseconds(Support::kGenerousDeadline));
    EXPECT_TRUE(result.settled);
    EXPECT_EQ(result.state.status, IRemoteResource::Available);
    EXPECT_EQ(Support::TempDir::read(dir.file("out/a.txt")), "alpha");

    // Another thread may wait on the Qt-bound resource while this thread runs the event loop.
    std::atomic<bool> done{false};
    ResourceWaitResult fromThread;
    std::thread waiter([&] {
        fromThread = waitUntilSettled(main, milliseconds(Support::kGenerousDeadline));
        done = true;
    });
    main->scheduleDownload(ISchedulableResource::Normal);
    // The waiter must be woken by the notification, not by its own deadline: once the download
    // and the event loop have stood still, the notification is not coming. The waiter thread is
    // then left unjoined, which ends the program at once.
    ASSERT_TRUE(Support::pumpUntil([&] { return done.load(); },
                                   [&] {
                                       State const state = main->getCurrentState();
                                       return std::make_tuple(state.status, state.progress);
                                   }));
    waiter.join();
    EXPECT_TRUE(fromThread.settled);
    EXPECT_EQ(fromThread.state.status, IRemoteResource::Available);
    EXPECT_EQ(Support::TempDir::read(dir.file("out/b.txt")), "beta");
}

}  // namespace
}  // namespace Tiskel::App
