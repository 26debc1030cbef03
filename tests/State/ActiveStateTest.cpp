#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <mutex>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "App/ResourceDownloadManager/ActiveState.h"
#include "App/ResourceDownloadManager/CallbackEventHandler.h"
#include "App/ResourceDownloadManager/ResourceDescriptor.h"
#include "App/ResourceDownloadManager/ResourceDownloadManager.h"
#include "Platform/Core/TaskQueue.h"

#include "Support/Wait.h"

namespace Tiskel::App {

static bool operator==(IRemoteResource::State const& a, IRemoteResource::State const& b) {
    return a.status == b.status && a.error == b.error && a.progress == b.progress;
}
static void PrintTo(IRemoteResource::State const& state, std::ostream* out) {
    *out << state.toDebugString() << " (" << state.progress << ")";
}

namespace {

using State = IRemoteResource::State;
using ::testing::ElementsAre;
constexpr IRemoteResource::DownloadStatus Waiting = IRemoteResource::Waiting,
                                          Downloading = IRemoteResource::Downloading,
                                          Available = IRemoteResource::Available,
                                          Error = IRemoteResource::Error;
constexpr IRemoteResource::DownloadError NoError = IRemoteResource::NoError,
                                         General = IRemoteResource::GeneralError,
                                         Cancelled = IRemoteResource::Cancelled,
                                         Corrupted = IRemoteResource::Corrupted,
                                         Lost = IRemoteResource::InternetConnectionLost;

IRemoteResource::NotificationParams params(std::set<IRemoteResource::DownloadStatus> statuses,
                                           bool progress = false, double granularity = 0.0) {
    IRemoteResource::NotificationParams result;
    result.statuses = std::move(statuses);
    result.notifyProgress = progress;
    result.progressGranularity = granularity;
    return result;
}

// Subscriptions are keyed by handler; the callback given with the subscription is what runs.
struct Key : IRemoteResourceEventHandler {
    void onStateChanged(State, ResourceDescriptorBundle const*) noexcept override {}
};

class ActiveStateTest : public ::testing::Test {
  protected:
    std::unique_ptr<ActiveState> node(std::shared_ptr<Core::ITaskQueue> taskQueue = nullptr) {
        return std::make_unique<ActiveState>(IEventTracer::TraceRecord{},
                                             taskQueue ? taskQueue : queue, nullptr);
    }
    // Records each delivery as "<label>:<status>@<percent>".
    void listen(ActiveState& target, Key& key, std::string label,
                IRemoteResource::NotificationParams const& notifyOn) {
        auto record = [this, label](State s) {
            seen.push_back(label + ":" + IRemoteResource::statusToString(s.status) + "@" +
                           std::to_string(std::lround(s.progress * 100)));
        };
        target.addChangeSubscriber(&key, record, notifyOn);
    }
    void runAll() {
        while (queue->execOne()) {
        }
    }

    std::shared_ptr<Core::TaskQueue> queue = std::make_shared<Core::TaskQueue>();
    std::vector<std::string> seen;
};

// Raw child states are fed straight in, so any status may be paired with any error.
TEST_F(ActiveStateTest, AggregatesStatusAndErrorIndependentlyAndAveragesProgress) {
    struct Case {
        std::vector<State> children;
        State expected;
    } const cases[] = {
        {{{Downloading, Corrupted, 0.37}}, {Downloading, Corrupted, 0.37}},
        {{{Available, NoError, 1.0}, {Waiting}}, {Downloading, NoError, 0.5}},
        {{{Available, NoError, 1.0}, {Available, NoError, 1.0}}, {Available, NoError, 1.0}},
        {{{Waiting}, {Waiting}}, {Waiting}},
        {{{Downloading, NoError, 0.25}, {Error, General}, {Available, NoError, 1.0}},
         {Error, General, 1.25 / 3}},
        {{{Error, General}, {Error, Corrupted}}, {Error, Corrupted}},
        {{{Error, Corrupted}, {Error, Lost}}, {Error, Lost}},
        {{{Error, Lost}, {Error, Cancelled}}, {Error, Cancelled}},
        {{{Available, NoError, 1.0}, {Downloading, Cancelled, 0.5}},
         {Downloading, Cancelled, 0.75}},
        {{{Error, NoError}, {Waiting, Corrupted}}, {Error, Corrupted}},
    };
    for (auto const& c : cases) {
        auto parent = node();
        std::vector<std::unique_ptr<ActiveState>> children;
        ActiveState::TaskList tasks;
        for (State const& childState : c.children) {
            children.push_back(node());
            parent->onChildChanged(children.back().get(), childState, tasks);
        }
        EXPECT_EQ(parent->getCurrentState(), c.expected) << "case " << &c - cases;
    }
}

// Each decision is one letter: S notifies the status, P the progress, - nothing.
TEST(NotifierTest, DecidesOnStatusesInTheSetAndThrottlesProgress) {
    double const nan = std::numeric_limits<double>::quiet_NaN();
    auto const at = [](double progress) { return State{Downloading, NoError, progress}; };
    struct Case {
        IRemoteResource::NotificationParams params;
        std::vector<State> states;
        std::string expected;
    } const cases[] = {
        // Statuses outside the set neither notify nor count as the last one notified; an
        // error-only change is no news.
        {params({Available, Error}),
         {{Available}, at(0.5), {Available}, {Error, General}, {Error, Cancelled}},
         "S--S-"},
        {params({}), {{Waiting}}, "-"},
        // A rise of exactly the granularity notifies.
        {params({Downloading}, true, 0.25),
         {at(0.0), at(0.125), at(0.25), at(0.5), at(0.625), at(0.75), at(0.5)},
         "S-PP-P-"},
        {params({Downloading}, true, 0.0), {at(0.5), at(0.5), at(0.4), at(nan)}, "SP-P"},
        {params({Downloading}, true, nan), {at(0.5), at(0.1)}, "SP"},
        {params({Downloading}), {at(0.1), at(0.9)}, "S-"},
    };
    for (auto const& c : cases) {
        ActiveState::Notifier notifier;
        notifier.params = c.params;
        std::string decided;
        for (State const& state : c.states) {
            decided += "-SP"[notifier.CheckForAction(state)];
        }
        EXPECT_EQ(decided, c.expected) << "case " << &c - cases;
    }
}

TEST_F(ActiveStateTest, DeliversDecidedStatesUnlessRemovedAndKeepsTheFirstCallback) {
    auto item = node();
    Key kept, removed;
    listen(*item, kept, "kept", params({Downloading, Available}, true));
    listen(*item, kept, "second callback", params({Downloading, Available}, true));
    listen(*item, removed, "removed", params({Downloading, Available}));
    item->setProgress(3, 10);
    item->setDownloadAvailable();
    item->removeChangeSubscriber(&removed);  // its tasks are already queued

    runAll();
    EXPECT_THAT(seen, ElementsAre("kept:Downloading@30", "kept:Available@100"));
}

// One change reaches every ancestor depth first, a shared child feeding both parents; all its
// deliveries go to the queue of the node that changed.
TEST_F(ActiveStateTest, ChildSharedByTwoParentsFeedsBothInOrder) {
    auto parentQueue = std::make_shared<Core::TaskQueue>();
    auto item = node(), other = node();
    auto first = node(parentQueue), grand = node(parentQueue), second = node(parentQueue);
    first->addChild(item.get());
    first->addChild(other.get());
    grand->addChild(first.get());
    second->addChild(item.get());
    Key keys[4];
    auto const notifyOn = params({Downloading, Available});
    listen(*item, keys[0], "item", notifyOn);
    listen(*first, keys[1], "first", notifyOn);
    listen(*grand, keys[2], "grand", notifyOn);
    listen(*second, keys[3], "second", notifyOn);

    item->setDownloadAvailable();
    EXPECT_FALSE(parentQueue->execOne());
    runAll();
    EXPECT_THAT(seen, ElementsAre("item:Available@100", "first:Downloading@50",
                                  "grand:Downloading@50", "second:Available@100"));
}

TEST_F(ActiveStateTest, ChildAddedTwiceIsResetAndReportsTwice) {
    auto parent = node(), child = node(), sibling = node();
    parent->addChild(child.get());
    parent->addChild(sibling.get());
    child->setDownloadAvailable();
    sibling->setDownloadAvailable();
    parent->addChild(child.get());
    sibling->checkAllNotifications();  // recomputes with the child's record back at Waiting
    EXPECT_EQ(parent->getCurrentState(), (State{Downloading, NoError, 0.5}));

    Key key;
    listen(*parent, key, "parent", params({Downloading}, true));
    child->setProgress(1, 2);
    runAll();
    EXPECT_THAT(seen, ElementsAre("parent:Downloading@75", "parent:Downloading@75"));
}

// Items change on their own threads while subscribers of the bundle and of an item come and go.
// The queue runs each delivery inside addTask, and a delivery takes its node's lock: a task
// posted before the lock was released deadlocks here.
TEST(ActiveStateConcurrency, ChildrenChangeWhileSubscribersComeAndGo) {
    constexpr int kItems = 3;
    constexpr int kSteps = 2000;
    auto queue = std::make_shared<Core::TaskQueueImmediate>();
    ActiveState bundle({}, queue, nullptr);
    std::vector<std::unique_ptr<ActiveState>> items;
    for (int i = 0; i < kItems; ++i) {
        items.push_back(std::make_unique<ActiveState>(IEventTracer::TraceRecord{}, queue, nullptr));
        bundle.addChild(items.back().get());
    }
    ActiveState* const watched[] = {&bundle, items[0].get()};
    Key keys[2];
    std::atomic<bool> subscribed[2] = {};
    std::atomic<int> late{0};
    std::mutex mutex;
    State last[2];
    auto const toggle = [&](int i) {
        if (subscribed[i]) {
            watched[i]->removeChangeSubscriber(&keys[i]);
            subscribed[i] = false;  // from here on no callback of this key may start
            return;
        }
        subscribed[i] = true;
        auto record = [&, i](State state) {
            late += subscribed[i] ? 0 : 1;
            std::lock_guard<std::mutex> lock(mutex);
            last[i] = state;
        };
        watched[i]->addChangeSubscriber(&keys[i], record,
                                        params({Waiting, Downloading, Available, Error}, true));
        watched[i]->checkAllNotifications();
    };

    // Setters never make an item Available, so the final Available is news to every subscriber.
    std::atomic<int> settersLeft{kItems};
    std::atomic<int> running{kItems + 1};
    std::vector<std::thread> threads;
    for (auto& item : items) {
        threads.emplace_back([&, target = item.get()] {
            for (int step = 0; step < kSteps; ++step) {
                target->setProgress(step, kSteps);
                if (step % 50 == 49) {
                    target->setDownloadError(step % 100 == 99 ? General : Cancelled);
                    bundle.checkAllNotifications();
                }
            }
            --settersLeft;
            --running;
        });
    }
    threads.emplace_back([&] {
        while (settersLeft > 0) {
            toggle(0);
            toggle(1);
        }
        --running;
    });
    if (!Tiskel::Test::waitUntil([&] { return running == 0; })) {
        std::fprintf(stderr, "state nodes deadlocked\n");
        std::abort();  // the threads cannot be joined
    }
    for (auto& thread : threads) {
        thread.join();
    }

    for (int i = 0; i < 2; ++i) {
        if (!subscribed[i]) {
            toggle(i);
        }
    }
    for (auto& item : items) {
        item->setDownloadAvailable();
    }
    EXPECT_EQ(late, 0) << "delivered after its removal had returned";
    EXPECT_THAT(last, ::testing::Each(State{Available, NoError, 1.0}));
}

class MockResource : public IRemoteResource {
  public:
    MOCK_METHOD(void, scheduleDownload, (SchedulePriority), (noexcept, override));
    MOCK_METHOD(void, cancelDownload, (), (noexcept, override));
    MOCK_METHOD(State, getCurrentState, (), (const, noexcept, override));
    MOCK_METHOD(ResourceDescriptorBundle const*, getDescriptor, (), (const, noexcept, override));
    MOCK_METHOD(void, registerEventHandler,
                (IRemoteResourceEventHandler*, NotificationParams const&), (noexcept, override));
    MOCK_METHOD(void, unregisterEventHandler, (IRemoteResourceEventHandler*), (noexcept, override));
};

TEST(CallbackEventHandlerTest, RegistersWithItsParamsAndUnregistersEverywhereOnDestruction) {
    ::testing::StrictMock<MockResource> first, second;
    auto handler = std::make_unique<RemoteResourceEventHandlerCallback>();
    IRemoteResourceEventHandler* const key = handler.get();
    ::testing::InSequence order;
    EXPECT_CALL(first, registerEventHandler(
                           key, ::testing::Field(&MockResource::NotificationParams::statuses,
                                                 ElementsAre(Error))));
    EXPECT_CALL(second, registerEventHandler(key, ::testing::_));
    EXPECT_CALL(first, unregisterEventHandler(key));
    EXPECT_CALL(second, unregisterEventHandler(key));
    handler->setNotificationParams(params({Error}));
    handler->registerWithin(&first);
    handler->registerWithin(&second);
    handler.reset();
}

TEST(CallbackEventHandlerTest, DeliversToTheLatestCallableIfAny) {
    RemoteResourceEventHandlerCallback handler;
    ResourceDescriptorBundle bundle;
    handler.onStateChanged({Available}, &bundle);  // no callable yet: nothing happens
    std::vector<std::pair<State, ResourceDescriptorBundle const*>> withBundle;
    handler.setCallback(
        [&](State s, ResourceDescriptorBundle const* b) { withBundle.emplace_back(s, b); });
    handler.onStateChanged({Error, Lost}, &bundle);
    std::vector<State> stateOnly;
    handler.setCallback([&](State s) { stateOnly.push_back(s); });
    handler.onStateChanged({Available}, &bundle);
    handler.setCallback(std::function<void(State)>());
    handler.onStateChanged({Waiting}, &bundle);  // an empty one-argument callable does nothing

    EXPECT_THAT(withBundle, ElementsAre(std::make_pair(State{Error, Lost}, &bundle)));
    EXPECT_THAT(stateOnly, ElementsAre(State{Available}));
}

}  // namespace
}  // namespace Tiskel::App
