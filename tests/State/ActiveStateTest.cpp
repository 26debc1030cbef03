#include <cmath>
#include <future>
#include <limits>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "App/ResourceDownloadManager/ActiveState.h"
#include "App/ResourceDownloadManager/ResourceDescriptor.h"
#include "App/ResourceDownloadManager/ResourceDownloadManager.h"

#include "State/StateDoubles.h"
#include "Support/Wait.h"

namespace Tiskel::Test {
namespace {

using App::ActiveState;
using Action = ActiveState::Notifier::Action;
using ::testing::ElementsAre;
constexpr auto Waiting = IRemoteResource::Waiting;
constexpr auto Downloading = IRemoteResource::Downloading;
constexpr auto Available = IRemoteResource::Available;
constexpr auto Error = IRemoteResource::Error;
constexpr auto NoError = IRemoteResource::NoError;
constexpr auto General = IRemoteResource::GeneralError;
constexpr auto Cancelled = IRemoteResource::Cancelled;
constexpr auto Corrupted = IRemoteResource::Corrupted;
constexpr auto Lost = IRemoteResource::InternetConnectionLost;

class ActiveStateTest : public ::testing::Test {
  protected:
    std::unique_ptr<ActiveState> makeNode(std::shared_ptr<Core::ITaskQueue> nodeQueue = nullptr) {
        return std::make_unique<ActiveState>(App::IEventTracer::TraceRecord{},
                                             nodeQueue ? nodeQueue : queue, tracer);
    }

    Journal journal;
    std::shared_ptr<ManualQueue> queue = std::make_shared<ManualQueue>();
    std::shared_ptr<RecordingTracer> tracer = std::make_shared<RecordingTracer>(journal);
};

// Each case reports raw child states straight into a parent, so that aggregated states (which
// may pair any status with any error) can be fed in as well.
TEST_F(ActiveStateTest, AggregatesStatusAndErrorIndependentlyAndAveragesProgress) {
    struct Case {
        std::vector<State> children;
        State expected;
    };
    std::vector<Case> const cases = {
        {{makeState(Error, Cancelled, 0.0)}, makeState(Error, Cancelled, 0.0)},
        {{makeState(Downloading, Corrupted, 0.37)}, makeState(Downloading, Corrupted, 0.37)},
        {{makeState(Available, NoError, 1.0), makeState(Waiting)},
         makeState(Downloading, NoError, 0.5)},
        {{makeState(Available, NoError, 1.0), makeState(Error, Cancelled)},
         makeState(Error, Cancelled, 0.5)},
        {{makeState(Available, NoError, 1.0), makeState(Available, NoError, 1.0)},
         makeState(Available, NoError, 1.0)},
        {{makeState(Waiting), makeState(Waiting)}, makeState(Waiting)},
        {{makeState(Downloading, NoError, 0.25), makeState(Error, General),
          makeState(Available, NoError, 1.0)},
         makeState(Error, General, 1.25 / 3)},
        {{makeState(Waiting), makeState(Downloading, NoError, 0.5),
          makeState(Available, NoError, 1.0)},
         makeState(Downloading, NoError, 0.5)},
        {{makeState(Error, General), makeState(Error, Lost)}, makeState(Error, Lost)},
        {{makeState(Error, Corrupted), makeState(Error, Cancelled)}, makeState(Error, Cancelled)},
        {{makeState(Error, Corrupted), makeState(Error, Lost)}, makeState(Error, Lost)},
        {{makeState(Error, Lost), makeState(Error, Cancelled)}, makeState(Error, Cancelled)},
        {{makeState(Error, General), makeState(Error, Corrupted)}, makeState(Error, Corrupted)},
        {{makeState(Error, General), makeState(Error, General)}, makeState(Error, General)},
        // Status and error decided independently of each other.
        {{makeState(Available, NoError, 1.0), makeState(Downloading, Cancelled, 0.5)},
         makeState(Downloading, Cancelled, 0.75)},
        {{makeState(Error, NoError), makeState(Waiting, Corrupted)}, makeState(Error, Corrupted)},
        {{makeState(Available, General, 1.0), makeState(Available, NoError, 1.0)},
         makeState(Available, General, 1.0)},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        auto parent = makeNode();
        std::vector<std::unique_ptr<ActiveState>> children;
        ActiveState::TaskList tasks;
        for (State const& childState : cases[i].children) {
            children.push_back(makeNode());
            parent->onChildChanged(children.back().get(), childState, tasks);
        }
        EXPECT_EQ(parent->getCurrentState(), cases[i].expected) << "case " << i;
    }
}

TEST_F(ActiveStateTest, ChildSharedByTwoParentsFeedsBoth) {
    auto first = makeNode();
    auto second = makeNode();
    auto shared = makeNode();
    auto other = makeNode();
    first->addChild(shared.get());
    first->addChild(other.get());
    second->addChild(shared.get());
    Subscriber onFirst, onSecond;
    onFirst.subscribe(*first, paramsFor({Downloading, Available}));
    onSecond.subscribe(*second, paramsFor({Downloading, Available}));

    shared->setDownloadAvailable();
    queue->runAll();

    EXPECT_EQ(first->getCurrentState(), makeState(Downloading, NoError, 0.5));
    EXPECT_EQ(second->getCurrentState(), makeState(Available, NoError, 1.0));
    EXPECT_THAT(onFirst.received, ElementsAre(makeState(Downloading, NoError, 0.5)));
    EXPECT_THAT(onSecond.received, ElementsAre(makeState(Available, NoError, 1.0)));
}

TEST_F(ActiveStateTest, ChildAddedTwiceIsResetAndReportsTwice) {
    auto parent = makeNode();
    auto child = makeNode();
    auto sibling = makeNode();
    parent->addChild(child.get());
    parent->addChild(sibling.get());
    child->setDownloadAvailable();
    sibling->setDownloadAvailable();

    parent->addChild(child.get());
    EXPECT_EQ(parent->getCurrentState(), makeState(Available, NoError, 1.0));
    sibling->checkAllNotifications();  // recomputes with the child's record back at zero
    EXPECT_EQ(parent->getCurrentState(), makeState(Downloading, NoError, 0.5));

    Subscriber subscriber;
    subscriber.subscribe(*parent, paramsFor({Downloading}, true, 0.0));
    child->setProgress(1, 2);
    queue->runAll();
    // The first report is the status news, the second an unchanged progress.
    State const expected = makeState(Downloading, NoError, 0.75);
    EXPECT_THAT(subscriber.received, ElementsAre(expected, expected));
    EXPECT_THAT(journal.get(), ElementsAre("5 Status: Downloading, err:NoError =75%",
                                           "6 Status: Downloading, err:NoError =75%",
                                           "7 Status: Downloading, err:NoError =75%",
                                           "8 Status: Downloading, err:NoError =75%"));
}

TEST(NotifierTest, StatusesOutsideTheSetNeitherNotifyNorCount) {
    ActiveState::Notifier notifier;
    notifier.params = paramsFor({Available, Error});
    EXPECT_EQ(notifier.CheckForAction(makeState(Available, NoError, 1.0)), Action::NotifyStatus);
    EXPECT_EQ(notifier.CheckForAction(makeState(Downloading, NoError, 0.5)), Action::NoAction);
    EXPECT_EQ(notifier.CheckForAction(makeState(Available, NoError, 1.0)), Action::NoAction);
    EXPECT_EQ(notifier.CheckForAction(makeState(Error, General)), Action::NotifyStatus);
    // A change of error alone is not news.
    EXPECT_EQ(notifier.CheckForAction(makeState(Error, Cancelled)), Action::NoAction);
    EXPECT_EQ(notifier.lastNotified, makeState(Error, General));

    ActiveState::Notifier deaf;
    EXPECT_EQ(deaf.CheckForAction(makeState(Waiting)), Action::NoAction);
    EXPECT_FALSE(deaf.hasLastNotified);
}

TEST(NotifierTest, ProgressIsThrottledByGranularity) {
    ActiveState::Notifier notifier;
    notifier.params = paramsFor({Downloading}, true, 0.25);
    std::vector<Action> actions;
    for (double progress : {0.0, 0.125, 0.25, 0.5, 0.625, 0.75, 0.5}) {
        actions.push_back(notifier.CheckForAction(makeState(Downloading, NoError, progress)));
    }
    // A rise of exactly the granularity notifies.
    EXPECT_THAT(actions, ElementsAre(Action::NotifyStatus, Action::NoAction, Action::NotifyProgress,
                                     Action::NotifyProgress, Action::NoAction,
                                     Action::NotifyProgress, Action::NoAction));

    ActiveState::Notifier everyPass;
    everyPass.params = paramsFor({Downloading}, true, 0.0);
    EXPECT_EQ(everyPass.CheckForAction(makeState(Downloading, NoError, 0.5)), Action::NotifyStatus);
    EXPECT_EQ(everyPass.CheckForAction(makeState(Downloading, NoError, 0.5)),
              Action::NotifyProgress);
    EXPECT_EQ(everyPass.CheckForAction(makeState(Downloading, NoError, 0.4)), Action::NoAction);

    double const nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(everyPass.CheckForAction(makeState(Downloading, NoError, nan)),
              Action::NotifyProgress);
    ActiveState::Notifier nanGranularity;
    nanGranularity.params = paramsFor({Downloading}, true, nan);
    nanGranularity.CheckForAction(makeState(Downloading, NoError, 0.5));
    EXPECT_EQ(nanGranularity.CheckForAction(makeState(Downloading, NoError, 0.1)),
              Action::NotifyProgress);

    ActiveState::Notifier noProgress;
    noProgress.params = paramsFor({Downloading, Available}, false, 0.0);
    noProgress.CheckForAction(makeState(Downloading, NoError, 0.1));
    EXPECT_EQ(noProgress.CheckForAction(makeState(Downloading, NoError, 0.9)), Action::NoAction);
    ActiveState::Notifier notDownloading;
    notDownloading.params = paramsFor({Available}, true, 0.0);
    EXPECT_EQ(notDownloading.CheckForAction(makeState(Downloading, NoError, 0.9)),
              Action::NoAction);
}

TEST_F(ActiveStateTest, UnknownTotalMeansNoProgressYet) {
    auto node = makeNode();
    node->setProgress(7, 0);
    EXPECT_EQ(node->getCurrentState(), makeState(Downloading, NoError, 0.0));
}

TEST_F(ActiveStateTest, SubscriptionIsCheckedOnlyByTheNextPassAndKeepsTheFirstCallback) {
    auto node = makeNode();
    node->setDownloadAvailable();
    Subscriber listening, elsewhere;
    listening.subscribe(*node, paramsFor({Available}));
    elsewhere.subscribe(*node, paramsFor({Error}));
    std::vector<State> secondCallback;
    node->addChangeSubscriber(
        &listening, [&](State state) { secondCallback.push_back(state); }, paramsFor({Error}));
    EXPECT_EQ(queue->runAll(), 0);

    node->checkAllNotifications();
    node->checkAllNotifications();
    queue->runAll();
    EXPECT_THAT(listening.received, ElementsAre(makeState(Available, NoError, 1.0)));
    EXPECT_TRUE(elsewhere.received.empty());
    EXPECT_TRUE(secondCallback.empty());
}

TEST_F(ActiveStateTest, EveryDecisionIsDeliveredWithItsOwnStateUnlessRemovedBeforeItRuns) {
    auto node = makeNode();
    Subscriber kept, removed;
    kept.subscribe(*node, paramsFor({Downloading, Available}, true, 0.0), &journal, "kept");
    removed.subscribe(*node, paramsFor({Downloading, Available}), &journal, "removed");
    node->setProgress(3, 10);
    node->setDownloadAvailable();
    node->removeChangeSubscriber(&removed);
    node->removeChangeSubscriber(&removed);  // unknown by now: ignored

    EXPECT_EQ(queue->runAll(), 4);
    EXPECT_THAT(kept.received, ElementsAre(makeState(Downloading, NoError, 0.3),
                                           makeState(Available, NoError, 1.0)));
    EXPECT_TRUE(removed.received.empty());
    EXPECT_EQ(journal.get().size(), 6u);  // two deliveries, each bracketed by two events
}

TEST_F(ActiveStateTest, TraceEventsBracketEachDeliveryWithTheSubscribersLastNotifiedState) {
    App::ResourceDescriptor descriptor;
    App::ResourceDescriptorBundle bundle;
    ActiveState node({&descriptor, &bundle, nullptr, ""}, queue, tracer);
    ASSERT_NE(node.getTraceRecord().state, nullptr);

    Subscriber subscriber;
    subscriber.subscribe(node, paramsFor({Downloading}, true, 0.25), &journal);
    node.setProgress(1, 10);  // status, decided at 10%
    node.setProgress(3, 10);  // below the granularity: the node moves, the subscriber does not
    queue->runAll();
    node.setProgress(4, 10);  // progress, decided at 40%
    node.setProgress(7, 10);  // progress, decided at 70%
    node.setProgress(8, 10);
    EXPECT_EQ(*node.getTraceRecord().state, makeState(Downloading, NoError, 0.8));
    queue->runAll();

    // The callback gets the state of its decision; the events show what the subscriber was
    // last told by the time the task runs.
    EXPECT_THAT(
        journal.get(),
        ElementsAre(
            "5 Status: Downloading, err:NoError =10%", "cb Status: Downloading, err:NoError =10%",
            "6 Status: Downloading, err:NoError =10%", "7 Status: Downloading, err:NoError =70%",
            "cb Status: Downloading, err:NoError =40%", "8 Status: Downloading, err:NoError =70%",
            "7 Status: Downloading, err:NoError =70%", "cb Status: Downloading, err:NoError =70%",
            "8 Status: Downloading, err:NoError =70%"));
    EXPECT_EQ(tracer->lastDescriptor, &descriptor);
    EXPECT_EQ(tracer->lastBundle, &bundle);
}

TEST_F(ActiveStateTest, ExceptionFromCallbackReachesTheQueueWithTheLockReleased) {
    auto node = makeNode();
    Subscriber throwing;
    node->addChangeSubscriber(
        &throwing, [](State) { throw std::runtime_error("host failure"); }, paramsFor({Available}));
    node->setDownloadAvailable();
    EXPECT_THROW(queue->execOne(), std::runtime_error);
    EXPECT_THAT(journal.get(), ElementsAre("5 Status: Available, err:NoError =100%"));

    // Would deadlock had the lock been kept.
    EXPECT_EQ(node->getCurrentState(), makeState(Available, NoError, 1.0));
}

// A queue that, before running each task, checks from another thread that the given nodes can
// be locked. A node whose lock is still held by the posting thread fails the check; the task
// is then dropped instead of being run into a self-deadlock.
class LockProbingQueue : public ManualQueue {
  public:
    void addTask(std::function<void()> task, Priority priority) override {
        priorities.push_back(priority);
        if (lockedAtPost > 0) {
            return;  // one held lock is enough to fail; do not wait again
        }
        for (ActiveState* node : probed) {
            auto locked = std::make_shared<std::promise<void>>();
            auto done = locked->get_future();
            probes.emplace_back([node, locked] {
                node->getCurrentState();
                locked->set_value();
            });
            if (done.wait_for(kGenerousDeadline) != std::future_status::ready) {
                ++lockedAtPost;
                return;
            }
        }
        task();
    }
    void joinProbes() {
        for (auto& probe : probes) {
            probe.join();
        }
    }
    std::vector<ActiveState*> probed;
    std::vector<Priority> priorities;
    std::vector<std::thread> probes;
    int lockedAtPost = 0;
};

TEST_F(ActiveStateTest, TasksArePostedWithNoNodeLockHeld) {
    auto probing = std::make_shared<LockProbingQueue>();
    auto item = makeNode(probing);
    auto bundle = makeNode(probing);
    bundle->addChild(item.get());
    probing->probed = {item.get(), bundle.get()};
    Subscriber onItem, onBundle;
    onItem.subscribe(*item, paramsFor({Downloading, Error}));
    onBundle.subscribe(*bundle, paramsFor({Downloading, Error}));

    item->setProgress(1, 2);
    item->setDownloadError(General);
    probing->joinProbes();

    EXPECT_EQ(probing->lockedAtPost, 0);
    EXPECT_EQ(onItem.received.size(), 2u);
    EXPECT_EQ(onBundle.received.size(), 2u);
    EXPECT_THAT(probing->priorities, ::testing::Each(Core::ITaskQueue::Priority(2)));
}

TEST_F(ActiveStateTest, OneChangeIsDeliveredDepthFirstOnTheOriginatingQueue) {
    auto parentQueue = std::make_shared<ManualQueue>();
    auto item = makeNode();
    auto firstParent = makeNode(parentQueue);
    auto grandParent = makeNode(parentQueue);
    auto secondParent = makeNode(parentQueue);
    firstParent->addChild(item.get());
    grandParent->addChild(firstParent.get());
    secondParent->addChild(item.get());
    Subscriber subscribers[5];  // ascending addresses
    auto const params = paramsFor({Available});
    subscribers[1].subscribe(*item, params, &journal, "item1");
    subscribers[0].subscribe(*item, params, &journal, "item0");
    subscribers[2].subscribe(*firstParent, params, &journal, "first");
    subscribers[3].subscribe(*grandParent, params, &journal, "grand");
    subscribers[4].subscribe(*secondParent, params, &journal, "second");

    item->setDownloadAvailable();
    EXPECT_EQ(parentQueue->runAll(), 0);
    EXPECT_EQ(queue->runAll(), 5);
    std::vector<std::string> labels;
    for (auto const& line : journal.get()) {
        if (line[0] >= 'a') {
            labels.push_back(line.substr(0, line.find(' ')));
        }
    }
    EXPECT_THAT(labels, ElementsAre("item0", "item1", "first", "grand", "second"));
}

}  // namespace
}  // namespace Tiskel::Test
