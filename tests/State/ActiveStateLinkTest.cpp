#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "App/ResourceDownloadManager/ActiveState.h"
#include "App/ResourceDownloadManager/FileEvents.h"
#include "App/ResourceDownloadManager/ResourceDownloadManager.h"
#include "Platform/Core/TaskQueue.h"

namespace Tiskel::App {
namespace {

using State = IRemoteResource::State;

struct FileKey : IFileEventHandler {
    void onFileEvent(FileEvent const&) override {}
};

std::unique_ptr<ActiveState> makeNode() {
    return std::make_unique<ActiveState>(IEventTracer::TraceRecord{},
                                         std::make_shared<Core::TaskQueueImmediate>(), nullptr);
}

// A parent keeps its children's records in one array that each child indexes: a child linked
// twice, or linked to several parents, must land in its own record of each and only there.
TEST(ActiveStateLinkTest, EachChildReachesItsOwnRecordInEveryParent) {
    auto first = makeNode(), second = makeNode();
    std::vector<std::unique_ptr<ActiveState>> children;
    for (int i = 0; i < 3; ++i) {
        children.push_back(makeNode());
    }
    // first: children 0, 1, 2; second: children 2, 1 (in that order, so the slots differ).
    for (auto& child : children) {
        first->addChild(child.get());
    }
    second->addChild(children[2].get());
    second->addChild(children[1].get());
    // Linking again resets the record and keeps one link: one file event per change below.
    first->addChild(children[1].get());

    FileKey key;
    int events = 0;
    first->addFileSubscriber(&key, [&](FileEvent const&) { ++events; }, {});

    children[2]->setDownloadAvailable();
    EXPECT_EQ(events, 1);
    EXPECT_EQ(second->getCurrentState().status, IRemoteResource::Downloading);  // 1 of 2
    children[1]->setDownloadError(IRemoteResource::GeneralError);
    EXPECT_EQ(events, 2);
    EXPECT_EQ(second->getCurrentState().status, IRemoteResource::Error);
    EXPECT_EQ(first->getCurrentState().status, IRemoteResource::Error);
    children[1]->setDownloadAvailable();
    EXPECT_EQ(second->getCurrentState().status, IRemoteResource::Available);
    // Child 0 has not reported: the first parent is still partly done.
    EXPECT_EQ(first->getCurrentState().status, IRemoteResource::Downloading);
    children[0]->setDownloadAvailable();
    EXPECT_EQ(first->getCurrentState().status, IRemoteResource::Available);
    EXPECT_EQ(events, 4);

    // A record reset by a second link counts as not started until the child reports again.
    // (Linking recomputes nothing: the next report of any child shows it.)
    first->addChild(children[0].get());
    children[1]->checkAllNotifications();
    EXPECT_EQ(first->getCurrentState().status, IRemoteResource::Downloading);
    children[0]->checkAllNotifications();
    EXPECT_EQ(first->getCurrentState().status, IRemoteResource::Available);
}

// A node that is not a child of this one is not counted in its state.
TEST(ActiveStateLinkTest, ChangeFromAStrangerIsIgnored) {
    auto parent = makeNode(), child = makeNode(), stranger = makeNode();
    parent->addChild(child.get());
    ActiveState::TaskList tasks;
    parent->onChildChanged(stranger.get(), State{IRemoteResource::Error}, tasks);
    EXPECT_TRUE(tasks.empty());
    child->setDownloadAvailable();
    EXPECT_EQ(parent->getCurrentState().status, IRemoteResource::Available);
}

}  // namespace
}  // namespace Tiskel::App
