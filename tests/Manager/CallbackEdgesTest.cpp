// What a host may do to the manager from inside a notification callback, on each thread a
// callback can run on: abort it, join its thread, destroy it, register more bundles.

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>

#include <QCoreApplication>
#include <gtest/gtest.h>

#include "App/ResourceDownloadManager/CallbackEventHandler.h"
#include "App/ResourceDownloadManager/Downloader/ResourceDownloaderFileMock.h"
#include "App/ResourceDownloadManager/RemoteResourceScheduler.h"
#include "App/ResourceDownloadManager/ResourceDescriptor.h"
#include "App/ResourceDownloadManager/ResourceDownloadManager.h"
#include "App/ResourceDownloadManager/ResourceWaiter.h"

#include "Support/LogCapture.h"
#include "Support/QtApplication.h"
#include "Support/TempDir.h"
#include "Support/Wait.h"

namespace Tiskel::App {
namespace {

namespace Support = ::Tiskel::Test;

// The thread the callback runs on.
enum class Where { EventLoopThread, PoolThread, QtApplicationThread, HostPass };
// What the callback does to the manager.
enum class Action { Abort, Join, Wait, Destroy, Register };

struct Case {
    Where where;
    Action action;
};

std::string nameOf(Case const& c) {
    static char const* const where[] = {"event-loop thread", "pool thread", "Qt thread",
                                        "host's pass"};
    static char const* const action[] = {"abort", "join", "wait", "destroy", "register"};
    return std::string(action[static_cast<int>(c.action)]) + " on the " +
           where[static_cast<int>(c.where)];
}

// A manager destroyed inside a callback keeps its internals, which refer to the registered
// descriptors and bundles until the process ends (its event-loop thread may still be finishing a
// task when the test moves on): so they are never freed here.
template <class T>
std::deque<T>& keptForever() {
    static auto* kept = new std::deque<T>();
    return *kept;
}

class CallbackEdgesTest : public ::testing::Test {
  protected:
    ResourceDescriptorBundle& bundleOf(std::string const& name) {
        dir.write("server/" + name, name);
        auto& d = descriptors.emplace_back();
        d.localPath = d.downloadPath = dir.file("out/" + name);
        d.tempPath = dir.file("out/" + name + ".part");
        d.remotePath = name;
        auto& bundle = bundles.emplace_back();
        bundle.descriptors.insert(&d);
        return bundle;
    }

    void SetUp() override { dir.write("out/.keep", ""); }

    Support::TempDir dir;
    std::deque<ResourceDescriptor>& descriptors = keptForever<ResourceDescriptor>();
    std::deque<ResourceDescriptorBundle>& bundles = keptForever<ResourceDescriptorBundle>();
};

TEST_F(CallbackEdgesTest, EachCallFromACallbackEndsWithoutAHangOrACrash) {
    Case const cases[] = {
        {Where::EventLoopThread, Action::Abort},
        {Where::PoolThread, Action::Abort},
        {Where::QtApplicationThread, Action::Abort},
        {Where::EventLoopThread, Action::Join},
        {Where::PoolThread, Action::Join},
        {Where::QtApplicationThread, Action::Join},
        {Where::EventLoopThread, Action::Wait},
        {Where::QtApplicationThread, Action::Wait},
        {Where::EventLoopThread, Action::Destroy},
        {Where::PoolThread, Action::Destroy},
        {Where::QtApplicationThread, Action::Destroy},
        {Where::EventLoopThread, Action::Register},
        {Where::PoolThread, Action::Register},
        {Where::QtApplicationThread, Action::Register},
        {Where::HostPass, Action::Abort},
        {Where::HostPass, Action::Join},
        {Where::HostPass, Action::Destroy},
        {Where::HostPass, Action::Register},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(nameOf(c));
        int argc = 1;
        char name[] = "rdm_manager_tests";
        char* argv[] = {name, nullptr};
        QCoreApplication application(argc, argv);
        Support::LogCapture log;
        auto& first = bundleOf("first-" + std::to_string(bundles.size()));
        auto& second = bundleOf("second-" + std::to_string(bundles.size()));

        auto manager = std::make_unique<ResourceDownloadManager>();
        ResourceDownloadManager::Params params;
        params.useParallelExecutor = c.where == Where::PoolThread;
        params.threadCount = 2;
        params.useQtNotificationQueue = c.where == Where::QtApplicationThread;
        ResourceDownloadManager::Dependencies deps;
        deps.downloader =
            std::make_shared<ResourceDownloaderFileMock>(ioPath(dir.file("server")), 1 << 20);
        manager->init(params, deps);
        std::shared_ptr<RemoteResourceScheduler> scheduler = manager->getMainScheduler();

        std::atomic<bool> returned{false};
        std::atomic<bool> threw{false};
        std::atomic<IRemoteResource*> registered{nullptr};
        std::thread::id callbackThread;
        RemoteResourceEventHandlerCallback handler;
        handler.setCallback([&](IRemoteResource::State) {
            callbackThread = std::this_thread::get_id();
            try {
                switch (c.action) {
                    case Action::Abort:
                        manager->abort();
                        break;
                    case Action::Join:
                        manager->joinEventLoopThread();
                        break;
                    case Action::Wait:
                        waitUntilSettled(scheduler->registerResource(&second),
                                         Support::kGenerousDeadline);
                        break;
                    case Action::Destroy:
                        manager.reset();
                        break;
                    case Action::Register:
                        registered =
                            scheduler->registerAutoSchedule(&second, ISchedulableResource::Normal);
                        break;
                }
            } catch (std::logic_error const&) {
                threw = true;
            }
            returned = true;
        });
        IRemoteResource::NotificationParams notificationParams;
        notificationParams.statuses = {IRemoteResource::Available};
        handler.setNotificationParams(notificationParams);
        IRemoteResource* resource = scheduler->registerResource(&first);
        handler.registerWithin(resource);
        if (c.where == Where::HostPass) {
            // The callback runs on this thread, inside the pass; a manager destroyed there
            // leaves the pass to end on its kept internals.
            resource->scheduleDownload(ISchedulableResource::Normal);
            ResourceDownloadManager* const driving = manager.get();
            driving->processCurrentQueue();
        } else {
            manager->startEventLoopThread();
            resource->scheduleDownload(ISchedulableResource::Normal);
        }

        ASSERT_TRUE(Support::pumpUntil([&] { return returned.load(); },
                                       [&] {
                                           auto const state = resource->getCurrentState();
                                           return std::make_tuple(state.status, state.progress);
                                       }))
            << "the callback did not return";
        if (c.where == Where::QtApplicationThread || c.where == Where::HostPass) {
            EXPECT_EQ(callbackThread, std::this_thread::get_id());
        } else {
            EXPECT_NE(callbackThread, std::this_thread::get_id());
        }

        bool const mustThrow = c.action == Action::Join || c.action == Action::Wait;
        EXPECT_EQ(threw.load(), mustThrow);
        if (c.action == Action::Register) {
            ASSERT_NE(registered.load(), nullptr);
            EXPECT_TRUE(Support::waitUntil([&] {
                QCoreApplication::processEvents();
                return registered.load()->getCurrentState().status == IRemoteResource::Available;
            }));
        }
        int errorLines = 0;
        for (auto const& line : log.lines()) {
            errorLines += line.severity == google::GLOG_ERROR &&
                          line.text.find("ResourceDownloadManager destroyed") != std::string::npos;
        }
        EXPECT_EQ(errorLines, c.action == Action::Destroy ? 1 : 0);
        if (manager) {
            // A host thread outside callbacks: joins whatever the callback could not.
            manager->abort();
        } else {
            // The internals were kept: the resource still answers, aborted.
            EXPECT_EQ(resource->getCurrentState().status, IRemoteResource::Available);
        }
    }
}

// The callback adapter unsubscribes when destroyed and then frees its callable, so unsubscribing
// must wait for a delivery already running on another thread. The callback reads its captures
// (stored in the adapter) after the destruction has begun: a destructor that does not wait
// frees them under the running callback, which AddressSanitizer reports and the check below
// sees as a destruction that returned while the callback ran.
TEST_F(CallbackEdgesTest, DestroyingTheAdapterWaitsForACallbackRunningOnAnotherThread) {
    ResourceDownloadManager manager;
    ResourceDownloadManager::Dependencies deps;
    deps.downloader =
        std::make_shared<ResourceDownloaderFileMock>(ioPath(dir.file("server")), 1 << 20);
    manager.init({}, deps);
    IRemoteResource* resource = manager.getMainScheduler()->registerResource(&bundleOf("held"));

    std::atomic<bool> entered{false}, destroying{false}, destroyed{false}, returned{false};
    std::atomic<bool> destroyedDuringCallback{false};
    auto handler = std::make_unique<RemoteResourceEventHandlerCallback>();
    handler->setCallback([&](IRemoteResource::State) {
        entered = true;
        Support::waitUntil([&] { return destroying.load(); });
        // A destructor that waits cannot return during this look; one that does not returns
        // within microseconds.
        Support::waitUntil([&] { return destroyed.load(); }, std::chrono::milliseconds(200));
        destroyedDuringCallback = destroyed.load();
        returned = true;
    });
    IRemoteResource::NotificationParams notifyOn;
    notifyOn.statuses = {IRemoteResource::Available};
    handler->setNotificationParams(notifyOn);
    handler->registerWithin(resource);
    manager.startEventLoopThread();
    resource->scheduleDownload(ISchedulableResource::Normal);
    ASSERT_TRUE(Support::waitUntil([&] { return entered.load(); }));

    destroying = true;
    handler.reset();
    destroyed = true;
    EXPECT_TRUE(returned.load()) << "the adapter's destruction returned while its callback ran";
    ASSERT_TRUE(Support::waitUntil([&] { return returned.load(); }));
    EXPECT_FALSE(destroyedDuringCallback.load());
}

}  // namespace
}  // namespace Tiskel::App
