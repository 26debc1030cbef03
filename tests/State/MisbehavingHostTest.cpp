// Host code that misbehaves does not take the process down: a subscriber that throws, and a
// state node linked below itself.

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "App/ResourceDownloadManager/ActiveState.h"
#include "App/ResourceDownloadManager/FileEvents.h"
#include "App/ResourceDownloadManager/IRemoteResourceEventHandler.h"
#include "App/ResourceDownloadManager/ResourceDownloadManager.h"

#include "Support/LogCapture.h"

namespace Tiskel::App {
namespace {

using Status = IRemoteResource::DownloadStatus;

std::shared_ptr<Core::ITaskQueue> runAtOnce() {
    return std::make_shared<Core::TaskQueueImmediate>();
}

// A raw subscriber whose every call throws, after counting it: the default queue runs its task
// inside a setter that must not throw. The exception is logged and later changes still arrive,
// to it and to the file subscriber that throws as well.
TEST(MisbehavingHost, ThrowingSubscribersAreLoggedAndKeepHearing) {
    struct Throwing : IRemoteResourceEventHandler, IFileEventHandler {
        void onStateChanged(IRemoteResource::State, ResourceDescriptorBundle const*) override {
            ++states;
            throw std::runtime_error("subscriber failed");
        }
        void onFileEvent(FileEvent const&) override {
            ++files;
            throw 42;
        }
        int states = 0;
        int files = 0;
    } handler;
    Tiskel::Test::LogCapture log;
    ActiveState parent({}, runAtOnce(), nullptr);
    ActiveState child({}, runAtOnce(), nullptr);
    parent.addChild(&child);
    IRemoteResource::NotificationParams params;
    params.statuses = {Status::Downloading, Status::Available, Status::Error};
    parent.addChangeSubscriber(
        &handler, [&](IRemoteResource::State s) { handler.onStateChanged(s, nullptr); }, params);
    parent.addFileSubscriber(&handler, [&](FileEvent const& e) { handler.onFileEvent(e); }, {});

    child.setProgress(0, 10);
    child.setDownloadAvailable();
    child.setDownloadError(IRemoteResource::GeneralError);
    EXPECT_EQ(handler.states, 3);
    EXPECT_EQ(handler.files, 3);
    std::vector<std::string> const errors = log.errors();
    EXPECT_EQ(errors.size(), 6u);
    EXPECT_THAT(errors, testing::Contains(testing::HasSubstr("subscriber failed")).Times(3));
}

// A change climbs through every ancestor holding each lock on the way: a cycle would wait
// forever for a lock its own thread holds. Such links are refused, and the graph keeps working.
TEST(MisbehavingHost, ALinkThatWouldMakeACycleIsRefused) {
    Tiskel::Test::LogCapture log;
    ActiveState top({}, runAtOnce(), nullptr);
    ActiveState middle({}, runAtOnce(), nullptr);
    ActiveState bottom({}, runAtOnce(), nullptr);
    top.addChild(&middle);
    middle.addChild(&bottom);

    top.addChild(&top);
    bottom.addChild(&top);
    bottom.addChild(&middle);

    std::vector<std::string> const refused = log.errors();
    // A link let through would hang the change below.
    ASSERT_EQ(refused.size(), 3u);
    EXPECT_THAT(refused.front(), testing::HasSubstr("cycle"));
    bottom.setDownloadError(IRemoteResource::Cancelled);
    EXPECT_EQ(top.getCurrentState().status, Status::Error);
    EXPECT_EQ(top.getCurrentState().error, IRemoteResource::Cancelled);
}

}  // namespace
}  // namespace Tiskel::App
