#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>

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

// The wait returns the settled state, or the current one at the deadline (at once when there is
// no time left), and leaves no subscription behind.
TEST(ResourceWaiter, ReturnsTheSettledStateOrTheOneAtTheDeadline) {
    using R = IRemoteResource;
    milliseconds const generous(Support::kGenerousDeadline);
    // `before` is set before the wait starts; `during`, unless Waiting, by another thread once
    // the waiter listens, after changes of status and progress that settle nothing (they wake
    // the waiter, which must sleep on).
    struct Case {
        R::DownloadStatus before, during;
        milliseconds timeout;
        State expected;
    } const cases[] = {
        {R::Waiting, R::Available, generous, {R::Available, R::NoError, 1.0}},
        {R::Waiting, R::Error, generous, {R::Error, R::InternetConnectionLost, 0.0}},
        {R::Downloading, R::Waiting, milliseconds(150), {R::Downloading, R::NoError, 0.5}},
        {R::Downloading, R::Waiting, milliseconds(0), {R::Downloading, R::NoError, 0.5}},
        {R::Downloading, R::Waiting, milliseconds(-5), {R::Downloading, R::NoError, 0.5}},
        {R::Available, R::Waiting, milliseconds(0), {R::Available, R::NoError, 1.0}},
    };
    auto const set = [](ActiveState& node, R::DownloadStatus status) {
        status == R::Available ? node.setDownloadAvailable()
        : status == R::Error   ? node.setDownloadError(R::InternetConnectionLost)
                               : node.setProgress(1, 2);
    };
    for (auto const& c : cases) {
        SCOPED_TRACE("case " + std::to_string(&c - cases));
        HandDrivenResource resource;
        if (c.before != R::Waiting) {
            set(resource.node, c.before);
        }
        std::thread changer([&] {
            if (c.during != R::Waiting) {
                ASSERT_TRUE(Support::waitUntil([&] { return resource.subscriptions > 0; }));
                resource.node.setProgress(1, 4);
                resource.node.setProgress(3, 4);
                set(resource.node, c.during);
            }
        });
        auto const start = std::chrono::steady_clock::now();
        ResourceWaitResult const result = waitUntilSettled(&resource, c.timeout);
        changer.join();
        bool const settles = c.expected.status != R::Downloading;
        EXPECT_TRUE(settles || std::chrono::steady_clock::now() - start >= c.timeout) << "early";
        EXPECT_EQ(result.settled, settles);
        EXPECT_EQ(std::tie(result.state.status, result.state.error, result.state.progress),
                  std::tie(c.expected.status, c.expected.error, c.expected.progress));
        EXPECT_EQ(resource.subscriptions.load(), 0) << "the wait left its subscription behind";
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
                                   [&] { return main->getCurrentState().toDebugString(); }));
    waiter.join();
    EXPECT_TRUE(fromThread.settled);
    EXPECT_EQ(fromThread.state.status, IRemoteResource::Available);
}

}  // namespace
}  // namespace Tiskel::App
