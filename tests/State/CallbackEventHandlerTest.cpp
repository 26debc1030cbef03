#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "App/ResourceDownloadManager/ActiveState.h"
#include "App/ResourceDownloadManager/CallbackEventHandler.h"
#include "App/ResourceDownloadManager/ResourceDescriptor.h"
#include "App/ResourceDownloadManager/ResourceDownloadManager.h"

#include "State/StateDoubles.h"

namespace Tiskel::Test {
namespace {

using App::RemoteResourceEventHandlerCallback;
using ::testing::ElementsAre;
using ::testing::Pair;
using Bundle = App::ResourceDescriptorBundle;

// A bundle resource reduced to its state node, delivering at once, that logs (un)registrations.
class FakeResource : public IRemoteResource {
  public:
    FakeResource(std::string name, Journal& journal) : name(std::move(name)), journal(journal) {}
    void scheduleDownload(SchedulePriority) noexcept override {}
    void cancelDownload() noexcept override {}
    State getCurrentState() const noexcept override { return node.getCurrentState(); }
    Bundle const* getDescriptor() const noexcept override { return &bundle; }
    void registerEventHandler(App::IRemoteResourceEventHandler* handler,
                              NotificationParams const& params) noexcept override {
        journal.add("register " + name);
        node.addChangeSubscriber(
            handler, [this, handler](State state) { handler->onStateChanged(state, &bundle); },
            params);
        node.checkAllNotifications();
    }
    void unregisterEventHandler(App::IRemoteResourceEventHandler* handler) noexcept override {
        journal.add("unregister " + name);
        node.removeChangeSubscriber(handler);
    }

    Bundle bundle;
    App::ActiveState node{
        {nullptr, &bundle, nullptr, ""}, std::make_shared<Core::TaskQueueImmediate>(), nullptr};

  private:
    std::string name;
    Journal& journal;
};

class CallbackEventHandlerTest : public ::testing::Test {
  protected:
    Journal journal;
    FakeResource first{"first", journal};
    FakeResource second{"second", journal};
    std::vector<std::pair<State, Bundle const*>> delivered;
    RemoteResourceEventHandlerCallback::Callback recorder() {
        return [this](State state, Bundle const* bundle) { delivered.emplace_back(state, bundle); };
    }
};

TEST_F(CallbackEventHandlerTest, DeliversEachBundleWithItsDescriptorAndUnregistersInOrder) {
    auto handler = std::make_unique<RemoteResourceEventHandlerCallback>();
    handler->setCallback(recorder());
    handler->setNotificationParams(paramsFor({IRemoteResource::Available, IRemoteResource::Error}));
    handler->registerWithin(&first);
    handler->registerWithin(&second);

    first.node.setDownloadAvailable();
    second.node.setDownloadError(IRemoteResource::Corrupted);
    EXPECT_THAT(
        delivered,
        ElementsAre(
            Pair(makeState(IRemoteResource::Available, IRemoteResource::NoError, 1.0),
                 &first.bundle),
            Pair(makeState(IRemoteResource::Error, IRemoteResource::Corrupted), &second.bundle)));

    handler.reset();
    EXPECT_THAT(journal.get(), ElementsAre("register first", "register second", "unregister first",
                                           "unregister second"));
    // Nothing reaches the destroyed handler (ASan would see a use after free).
    first.node.setDownloadError(IRemoteResource::GeneralError);
    EXPECT_EQ(delivered.size(), 2u);
}

TEST_F(CallbackEventHandlerTest, LatestCallbackWinsAndTheOneArgumentFormGetsTheStateAlone) {
    RemoteResourceEventHandlerCallback handler;
    int firstCalls = 0;
    handler.setCallback([&](State, Bundle const*) { ++firstCalls; });
    std::vector<State> stateOnly;
    handler.setCallback([&](State state) { stateOnly.push_back(state); });

    handler.setNotificationParams(paramsFor({IRemoteResource::Waiting}));
    handler.registerWithin(&first);  // delivers at once: the resource is Waiting
    EXPECT_THAT(stateOnly, ElementsAre(makeState(IRemoteResource::Waiting)));
    EXPECT_EQ(firstCalls, 0);

    handler.setCallback(recorder());
    handler.onStateChanged(makeState(IRemoteResource::Available), &second.bundle);
    EXPECT_EQ(stateOnly.size(), 1u);
    EXPECT_EQ(delivered.size(), 1u);
}

TEST_F(CallbackEventHandlerTest, LaterParametersApplyOnlyToLaterRegistrations) {
    RemoteResourceEventHandlerCallback handler;
    handler.setCallback(recorder());
    handler.setNotificationParams(paramsFor({IRemoteResource::Available}));
    handler.registerWithin(&first);
    handler.setNotificationParams(paramsFor({IRemoteResource::Error}));
    handler.registerWithin(&second);

    first.node.setDownloadError(IRemoteResource::GeneralError);
    second.node.setDownloadError(IRemoteResource::GeneralError);
    first.node.setDownloadAvailable();
    second.node.setDownloadAvailable();
    std::vector<std::pair<IRemoteResource::DownloadStatus, Bundle const*>> seen;
    for (auto const& [state, bundle] : delivered) {
        seen.emplace_back(state.status, bundle);
    }
    EXPECT_THAT(seen, ElementsAre(Pair(IRemoteResource::Error, &second.bundle),
                                  Pair(IRemoteResource::Available, &first.bundle)));
}

TEST_F(CallbackEventHandlerTest, DeliveryWithoutACallableDoesNothing) {
    // A delivery that threw out of the non-throwing onStateChanged would end the process.
    EXPECT_EXIT(
        {
            RemoteResourceEventHandlerCallback unset;
            unset.onStateChanged(makeState(IRemoteResource::Available), &first.bundle);
            RemoteResourceEventHandlerCallback empty;
            empty.setCallback(std::function<void(State)>());
            empty.onStateChanged(makeState(IRemoteResource::Available), &first.bundle);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");

    // An empty function still replaces the callback before it.
    RemoteResourceEventHandlerCallback replaced;
    replaced.setCallback(recorder());
    replaced.setCallback(std::function<void(State)>());
    replaced.onStateChanged(makeState(IRemoteResource::Available), &first.bundle);
    EXPECT_TRUE(delivered.empty());
}

}  // namespace
}  // namespace Tiskel::Test
