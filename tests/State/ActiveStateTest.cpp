#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gmock/gmock.h>

#include "App/ResourceDownloadManager/ActiveState.h"
#include "App/ResourceDownloadManager/CallbackEventHandler.h"
#include "App/ResourceDownloadManager/FileEvents.h"
#include "App/ResourceDownloadManager/ResourceDescriptor.h"
#include "App/ResourceDownloadManager/ResourceDownloadManager.h"
#include "Platform/Core/TaskQueue.h"

#include "Support/FNotify.h"
#include "Support/LogCapture.h"
#include "Support/StateRule.h"
#include "Support/Wait.h"

namespace Tiskel::App {

static bool operator==(IRemoteResource::State const& a, IRemoteResource::State const& b) {
    return a.status == b.status && a.error == b.error && a.progress == b.progress;
}

namespace {

using State = IRemoteResource::State;
using ::testing::ElementsAre;
using Tiskel::Test::notifyOn;
constexpr auto Waiting = IRemoteResource::Waiting, Downloading = IRemoteResource::Downloading;
constexpr auto Available = IRemoteResource::Available, Error = IRemoteResource::Error;
constexpr auto NoError = IRemoteResource::NoError, General = IRemoteResource::GeneralError;
constexpr auto Cancelled = IRemoteResource::Cancelled;

// One of the three setters, chosen at random, with random arguments (progress of any total).
void changeAtRandom(ActiveState& node, std::mt19937& random) {
    switch (random() % 4) {
        case 0:
            node.setDownloadAvailable();
            break;
        case 1:
            node.setDownloadError(IRemoteResource::DownloadError(1 + random() % 4));
            break;
        default:
            unsigned long long const total = 1 + random() % 1000;
            node.setProgress(random() % (total + 1), total);
    }
}

// Subscriptions are keyed by handler; the callback given with the subscription is what runs.
using Key = RemoteResourceEventHandlerCallback;
// A key for status and file subscriptions alike; never called.
struct Handler : IRemoteResourceEventHandler, IFileEventHandler {
    void onStateChanged(State, ResourceDescriptorBundle const*) override {}
    void onFileEvent(FileEvent const&) override {}
};

class ActiveStateTest : public ::testing::Test {
  protected:
    std::unique_ptr<ActiveState> node(std::shared_ptr<Core::ITaskQueue> taskQueue = nullptr) {
        return std::make_unique<ActiveState>(IEventTracer::TraceRecord{},
                                             taskQueue ? taskQueue : queue, nullptr);
    }
    // Records each delivery as "<label>:<status>@<percent>".
    void listen(ActiveState& target, Key& key, std::string label,
                IRemoteResource::NotificationParams const& filter) {
        auto record = [this, label](State s) {
            seen.push_back(label + ":" + IRemoteResource::statusToString(s.status) + "@" +
                           std::to_string(std::lround(s.progress * 100)));
        };
        target.addChangeSubscriber(&key, record, filter);
    }
    std::shared_ptr<Core::TaskQueue> queue = std::make_shared<Core::TaskQueue>();
    std::vector<std::string> seen;
};

// Random changes of children shared by several parents (each child in its own slot of each),
// fed through the children's setters (which climb to every parent) and as raw records of any
// status, error and progress (unknown values, NaN and progress far out of range included), raw
// records from nodes that are not the parent's children, and links added again. After every step
// each parent must equal the rule computed directly over its records; progress may differ only by
// rounding. At the end, complete and unstarted children must give exactly 1.0 and 0.0, however many
// updates the running sums have seen.
TEST_F(ActiveStateTest, IncrementalAggregateFollowsTheRuleOverRandomChanges) {
    constexpr int kChildren = 8, kParents = 5;
    unsigned const seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    std::vector<std::unique_ptr<ActiveState>> children, parents;
    std::vector<std::map<int, State>> records(kParents);  // per parent, by child index
    for (int i = 0; i < kChildren; ++i) {
        children.push_back(node());
    }
    auto link = [&](int p, int c) {
        parents[p]->addChild(children[c].get());
        records[p][c] = State{};
    };
    for (int p = 0; p < kParents; ++p) {
        parents.push_back(node());
        for (int c : p == kParents - 1 ? std::vector{7} : std::vector{p, p + 1, p + 2, p + 4}) {
            link(p, c % kChildren);
        }
    }
    // Equal to the rule, progress up to rounding (NaN when the rule gives NaN).
    auto verify = [&](int step) {
        for (int p = 0; p < kParents; ++p) {
            std::vector<State> recorded;
            for (auto const& [c, record] : records[p]) {
                recorded.push_back(record);
            }
            State const e = Tiskel::Test::expectedAggregate(recorded);
            State const a = parents[p]->getCurrentState();
            bool const near = std::isnan(e.progress)
                                  ? std::isnan(a.progress)
                                  : std::abs(a.progress - e.progress) <=
                                        1e-13 * std::max(1.0, std::abs(e.progress));
            ASSERT_TRUE(a.status == e.status && a.error == e.error && near)
                << "step " << step << " parent " << p << ": " << a.toDebugString() << " "
                << a.progress << " expected " << e.toDebugString() << " " << e.progress;
        }
    };
    double const unusual[] = {std::nan(""), 1e300, -3.5, 5e9, 1e-300};
    ActiveState::TaskList tasks;
    for (int step = 0; step < 5000; ++step) {
        int const c = random() % kChildren;
        unsigned const action = random() % 100;
        if (action < 55) {
            changeAtRandom(*children[c], random);
        } else if (action < 99) {
            // A raw record for one parent: any status with any error, sometimes unknown ones;
            // from a node that is not its child, it must be ignored.
            int const p = random() % kParents;
            State raw{IRemoteResource::DownloadStatus(random() % 5),
                      IRemoteResource::DownloadError(random() % 6),
                      random() % 20 == 0 ? unusual[random() % 5] : (random() % 1001) / 1000.0};
            if (records[p].count(c) != 0) {
                records[p][c] = raw;
            }
            parents[p]->onChildChanged(children[c].get(), raw, tasks);
            verify(step);
            continue;
        } else {
            // Adding a present child resets its record to not started. Adding recomputes nothing:
            // another child repeats its record to show the reset, then the child reports.
            int const p = random() % (kParents - 1);
            link(p, c);
            auto other = records[p].begin();
            other = other->first == c ? std::next(other) : other;
            parents[p]->onChildChanged(children[other->first].get(), other->second, tasks);
            verify(step);
            children[c]->checkAllNotifications();
        }
        for (auto& record : records) {
            if (record.count(c) != 0) {
                record[c] = children[c]->getCurrentState();
            }
        }
        verify(step);
    }
    for (State const expected :
         {State{Available, NoError, 1.0}, State{Downloading, NoError, 0.0}}) {
        for (auto const& child : children) {
            expected.status == Available ? child->setDownloadAvailable() : child->setProgress(0, 7);
        }
        for (auto const& parent : parents) {
            EXPECT_EQ(parent->getCurrentState(), expected);
        }
    }
}

std::string textOf(int32_t status, int32_t error, double progress) {
    return IRemoteResource::State{static_cast<IRemoteResource::DownloadStatus>(status),
                                  static_cast<IRemoteResource::DownloadError>(error), progress}
        .toDebugString();
}

// Unknown values print "?"; the percentage is truncated toward zero, NaN prints 0 and values
// beyond 32 bits clamp. (Waiting and NoError: the pipeline's trace test.)
TEST(RemoteResourceStateText, NamesValuesAndTruncatesThePercentage) {
    EXPECT_EQ(textOf(1, 1, 0.29), "Status: Downloading, err:GeneralError =28%");  // 28.999...
    EXPECT_EQ(textOf(2, 2, -0.015), "Status: Available, err:Cancelled =-1%");
    EXPECT_EQ(textOf(3, 3, std::nan("")), "Status: Error, err:Corrupted =0%");
    EXPECT_EQ(textOf(4, 4, HUGE_VAL), "Status: ?, err:InternetConnectionLost =2147483647%");
    EXPECT_EQ(textOf(-1, 5, -HUGE_VAL), "Status: ?, err:? =-2147483648%");
    EXPECT_EQ(textOf(1, -1, 21474836.4699), "Status: Downloading, err:? =2147483646%");
}

// Each decision is one letter: S notifies the status, P the progress, - nothing.
TEST(NotifierTest, DecidesOnStatusesInTheSetAndThrottlesProgress) {
    double const nan = std::nan("");
    auto const at = [](double progress) { return State{Downloading, NoError, progress}; };
    struct Case {
        IRemoteResource::NotificationParams params;
        std::vector<State> states;
        std::string expected;
    } const cases[] = {
        // Statuses outside the set neither notify nor count as the last one notified; an
        // error-only change is no news.
        {notifyOn({Available, Error}),
         {{Available}, at(0.5), {Available}, {Error, General}, {Error, Cancelled}},
         "S--S-"},
        // A rise of exactly the granularity notifies.
        {notifyOn({Downloading}, true, 0.25),
         {at(0.0), at(0.125), at(0.25), at(0.5), at(0.625), at(0.75), at(0.5)},
         "S-PP-P-"},
        {notifyOn({Downloading}, true, 0.0), {at(0.5), at(0.5), at(0.4), at(nan)}, "SP-P"},
        {notifyOn({Downloading}, true, nan), {at(0.5), at(0.1)}, "SP"},
        {notifyOn({Downloading}), {at(0.1), at(0.9)}, "S-"},
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

// One change is weighed against the node's own subscribers, then climbs depth first through
// every ancestor, a shared child feeding both its parents.
TEST_F(ActiveStateTest, DeliversOneChangeUpEveryPathInOrder) {
    auto item = node(), other = node(), first = node(), grand = node(), second = node();
    first->addChild(item.get());
    first->addChild(other.get());
    grand->addChild(first.get());
    second->addChild(item.get());
    Key kept, removed, keys[3];
    auto const usual = notifyOn({Downloading, Available});
    listen(*item, kept, "item", notifyOn({Downloading, Available}, true));
    listen(*item, kept, "second callback", usual);
    listen(*item, removed, "removed", usual);
    listen(*first, keys[0], "first", usual);
    listen(*grand, keys[1], "grand", usual);
    listen(*second, keys[2], "second", usual);

    item->setProgress(3, 10);
    item->setDownloadAvailable();
    item->removeChangeSubscriber(&removed);  // its tasks are already queued
    while (queue->execOne()) {
    }
    EXPECT_THAT(seen,
                ElementsAre("item:Downloading@30", "first:Downloading@15", "grand:Downloading@15",
                            "second:Downloading@30", "item:Available@100", "second:Available@100"));
}

// Removing a subscriber, status or file one, waits for its callback running on another thread,
// since the host may free what the callback uses once it returns (the callback adapter frees its
// callable right after unsubscribing); a callback that removes itself does not wait for itself.
TEST_F(ActiveStateTest, RemovalWaitsForACallbackRunningElsewhere) {
    for (bool const file : {false, true}) {
        SCOPED_TRACE(file ? "file subscriber" : "status subscriber");
        Handler blocking, selfRemoving;
        auto immediate = std::make_shared<Core::TaskQueueImmediate>();
        auto parent = node(immediate), child = node(immediate);
        parent->addChild(child.get());
        std::atomic<bool> entered{false}, removing{false}, removed{false}, removedDuringCall{true};
        int selfCalls = 0;
        auto const remove = [&](Handler* handler) {
            file ? parent->removeFileSubscriber(handler) : parent->removeChangeSubscriber(handler);
        };
        auto const whileRemoved = [&] {
            entered = true;
            Tiskel::Test::waitUntil([&] { return removing.load(); });
            // A removal that waits cannot return during this look; one that does not returns
            // within microseconds.
            removedDuringCall = Tiskel::Test::waitUntil([&] { return removed.load(); },
                                                        std::chrono::milliseconds(200));
        };
        auto const subscribe = [&](Handler* handler, std::function<void()> call) {
            file ? parent->addFileSubscriber(handler, [call](FileEvent const&) { call(); }, {})
                 : parent->addChangeSubscriber(
                       handler, [call](State) { call(); }, notifyOn({Available, Error}));
        };
        subscribe(&blocking, whileRemoved);
        subscribe(&selfRemoving, [&] { ++selfCalls, remove(&selfRemoving); });
        std::thread setter([&] { child->setDownloadError(General); });
        // On a hang the test stops here and the unjoined thread ends the program.
        ASSERT_TRUE(Tiskel::Test::waitUntil([&] { return entered.load(); }));
        removing = true;
        remove(&blocking);
        removed = true;
        setter.join();
        child->setDownloadAvailable();  // reaches neither
        EXPECT_FALSE(removedDuringCall) << "the removal returned while the callback ran";
        EXPECT_EQ(selfCalls, 1);
    }
}

// Keeps its tasks until `execOne` runs one on the calling thread, out of posting order: each
// task is queued with a random priority.
class ShufflingQueue : public Core::ITaskQueue {
  public:
    void RegisterEventHandler(Core::ITaskQueueEventHandler*) override {}
    void UnregisterEventHandler(Core::ITaskQueueEventHandler*) override {}
    void addTask(std::function<void()> task, Priority) override {
        thread_local std::mt19937 random(std::hash<std::thread::id>()(std::this_thread::get_id()));
        tasks.addTask(std::move(task), Priority(random() % 64));
    }
    bool execOne() override { return tasks.execOne(); }

  private:
    Core::TaskQueue tasks;
};

// Setter threads change shared items of overlapping bundles while subscribers, the items' own
// included, come and go. Once everything has run, each subscriber's last delivery must be the
// last state decided for it (also when the task of one change runs after that of a later one).
// Run with a queue that delivers inside addTask (a delivery takes its node's lock: one posted
// before the item's lock was released deadlocks) and with one whose tasks every thread runs out of
// order.
TEST(ActiveStateOrderTest, EverySubscriberEndsOnTheLastStateDecidedForIt) {
    constexpr int kItems = 6, kBundles = 4, kNodes = kItems + kBundles;
    unsigned const seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    for (bool const shuffled : {false, true}) {
        SCOPED_TRACE(shuffled ? "shuffling queue" : "immediate queue");
        auto tracer = std::make_shared<Tiskel::Test::LastNotificationTracer<
            ResourceDescriptor const*, &IEventTracer::TraceRecord::descriptor>>();
        std::shared_ptr<Core::ITaskQueue> queue = std::make_shared<Core::TaskQueueImmediate>();
        queue = shuffled ? std::make_shared<ShufflingQueue>() : queue;
        ResourceDescriptor ids[kNodes];
        std::vector<std::unique_ptr<ActiveState>> nodes;
        for (auto& id : ids) {
            nodes.push_back(std::make_unique<ActiveState>(
                IEventTracer::TraceRecord{&id, nullptr, nullptr, ""}, queue, tracer));
        }
        for (int b = 0; b < kBundles; ++b) {
            for (int i : {b, b + 1, b + 3}) {
                nodes[kItems + b]->addChild(nodes[i % kItems].get());
            }
        }
        Key keys[kNodes];
        std::mutex receivedMutex;
        std::map<ResourceDescriptor const*, State> received;
        auto subscribe = [&](int n) {
            nodes[n]->addChangeSubscriber(
                &keys[n],
                [&, n](State s) {
                    std::lock_guard<std::mutex> lock(receivedMutex);
                    received[&ids[n]] = s;
                },
                notifyOn({Waiting, Downloading, Available, Error}, true, 0.05 * n));
            nodes[n]->checkAllNotifications();
        };
        for (int n = 0; n < kNodes; ++n) {
            subscribe(n);
        }
        std::atomic<int> running{4};
        std::vector<std::thread> threads;
        for (unsigned t = 0; t < 3; ++t) {
            threads.emplace_back([&, t] {
                std::mt19937 random(seed + t);
                for (int step = 0; step < 3000; ++step) {
                    changeAtRandom(*nodes[random() % kItems], random);
                    queue->execOne();
                }
                --running;
            });
        }
        threads.emplace_back([&] {
            std::mt19937 random(seed + 99);
            for (int step = 0; step < 300; ++step) {
                int const n = random() % kNodes;
                nodes[n]->removeChangeSubscriber(&keys[n]);
                subscribe(n);
                queue->execOne();
            }
            --running;
        });
        // On a deadlock the test stops here and the unjoined threads end the program.
        ASSERT_TRUE(Tiskel::Test::waitUntil([&] { return running == 0; })) << "deadlocked";
        for (auto& thread : threads) {
            thread.join();
        }
        while (queue->execOne()) {
        }
        std::lock_guard<std::mutex> lock(receivedMutex);
        EXPECT_EQ(received, tracer->lastTraced());
    }
}

// Throwing subscribers, status and file ones alike, whose tasks the immediate queue runs inside
// setters that must not throw: each exception is logged and later changes still arrive.
TEST_F(ActiveStateTest, ThrowingSubscribersAreLoggedAndKeepHearing) {
    Tiskel::Test::LogCapture log;
    auto immediate = std::make_shared<Core::TaskQueueImmediate>();
    auto parent = node(immediate), child = node(immediate);
    parent->addChild(child.get());
    Handler handler;
    int states = 0, files = 0;
    auto const usual = notifyOn({Downloading, Available, Error});
    parent->addChangeSubscriber(
        &handler, [&](State) { ++states, throw std::runtime_error("subscriber failed"); }, usual);
    parent->addFileSubscriber(&handler, [&](FileEvent const&) { ++files, throw 42; }, {});

    child->setProgress(0, 10);
    child->setDownloadAvailable();
    child->setDownloadError(General);
    EXPECT_EQ(std::make_pair(states, files), std::make_pair(3, 3));
    std::vector<std::string> const errors = log.errors();
    EXPECT_EQ(errors.size(), 6u);
    EXPECT_THAT(errors, testing::Contains(testing::HasSubstr("subscriber failed")).Times(3));
}

// A change climbs through every ancestor holding each lock on the way: a cycle would wait
// forever for a lock its own thread holds. Such links are refused, and the graph keeps working.
TEST_F(ActiveStateTest, ALinkThatWouldMakeACycleIsRefused) {
    Tiskel::Test::LogCapture log;
    auto top = node(), middle = node(), bottom = node();
    top->addChild(middle.get());
    middle->addChild(bottom.get());

    top->addChild(top.get());
    bottom->addChild(top.get());
    bottom->addChild(middle.get());

    std::vector<std::string> const refused = log.errors();
    // A link let through would hang the change below.
    ASSERT_EQ(refused.size(), 3u);
    EXPECT_THAT(refused.front(), testing::HasSubstr("cycle"));
    bottom->setDownloadError(Cancelled);
    EXPECT_EQ(top->getCurrentState(), (State{Error, Cancelled, 0.0}));
}

}  // namespace
}  // namespace Tiskel::App
