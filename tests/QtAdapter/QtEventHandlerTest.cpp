#include <map>
#include <set>
#include <utility>
#include <vector>

#include <QMetaMethod>
#include <QThread>
#include <gmock/gmock.h>

#include "App/ResourceDownloadManager/QtEventHandler.h"

#include "Support/FNotify.h"
#include "Support/LocalFiles.h"
#include "Support/QtApplication.h"

namespace Tiskel::App {
namespace {

namespace Support = ::Tiskel::Test;
using Status = IRemoteResource::DownloadStatus;

struct Emission {
    QThread* thread;
    ResourceDescriptorBundle const* bundle;
    Status status;
    IRemoteResource::DownloadError error;
    double progress;
};

// Records every signal of `adapter`, on whatever thread it is emitted.
std::shared_ptr<std::vector<Emission>> record(RemoteResourceEventHandlerQt& adapter) {
    auto emissions = std::make_shared<std::vector<Emission>>();
    QObject::connect(
        &adapter, &RemoteResourceEventHandlerQt::stateChanged,
        [emissions](ResourceDescriptorBundle const* bundle, Status status,
                    IRemoteResource::DownloadError error, double progress) {
            emissions->push_back({QThread::currentThread(), bundle, status, error, progress});
        });
    return emissions;
}

bool lastIs(std::vector<Emission> const& emissions, Status status) {
    return !emissions.empty() && emissions.back().status == status;
}

// A Qt application on the test's thread, a folder standing for the server, and a manager whose
// downloads copy from it at a simulated rate on two pool threads.
class QtEventHandlerTest : public Support::LocalFiles {
  protected:
    QtEventHandlerTest() {
        dir.write("server/big.bin", std::string(512 << 10, 'b'));  // ten pieces, 1/20 s each
        dir.write("server/small.txt", "small");
        init(manager, {/*useParallelExecutor=*/true, /*threadCount=*/2}, fileDownloader(1024));
        resource = manager.getMainScheduler()->registerResource(&bundle);
        manager.startEventLoopThread();
    }

    // Runs this thread's Qt event loop until `condition` holds; gives up once neither the loop
    // nor the bundle's state has moved for a while.
    template <class Condition>
    bool pumpUntil(Condition condition) {
        return Support::pumpUntil(condition,
                                  [this] { return resource->getCurrentState().toDebugString(); });
    }

    Support::QtApplication qt;
    ResourceDescriptorBundle& bundle = bundleOf({"big.bin", "small.txt"});
    ResourceDownloadManager manager;
    IRemoteResource* resource = nullptr;
};

// Signals from pool threads arrive on the object's thread in order: the bundle's states, with the
// progress of its pieces, and as `fileChanged` each file's events, with the outcome and its
// reason copied out of the call that delivered them.
TEST_F(QtEventHandlerTest, SignalsFromPoolThreadsArriveOnTheObjectsThreadInOrder) {
    ResourceDescriptorBundle& failing = bundleOf({"missing.txt"});
    IRemoteResource* const other = manager.getMainScheduler()->registerResource(&failing);
    RemoteResourceEventHandlerQt adapter;
    // Queued connections and QML resolve the arguments' types by name.
    QMetaMethod const signal = QMetaMethod::fromSignal(&RemoteResourceEventHandlerQt::stateChanged);
    for (int i = 0; i < signal.parameterCount(); ++i) {
        EXPECT_NE(signal.parameterType(i), QMetaType::UnknownType)
            << signal.parameterTypes()[i].toStdString();
    }
    auto emissions = record(adapter);
    std::vector<std::pair<QThread*, QtFileEvent>> events;
    QObject::connect(&adapter, &RemoteResourceEventHandlerQt::fileChanged,
                     [&events](QtFileEvent const& event) {
                         events.emplace_back(QThread::currentThread(), event);
                     });

    adapter.registerWithin(resource);
    EXPECT_TRUE(emissions->empty()) << "emitted inside the notification";
    FileEventParams params;
    params.progress = true;
    adapter.registerFilesWithin(resource, params);
    adapter.registerFilesWithin(other, params);
    resource->scheduleDownload(ISchedulableResource::Normal);
    other->scheduleDownload(ISchedulableResource::Normal);
    // The three files' outcomes, in the order they arrived.
    std::map<ResourceDescriptor const*, FileOutcome> outcomes;
    ASSERT_TRUE(pumpUntil([&] {
        for (auto const& [thread, event] : events) {
            if (event.hasOutcome) {
                outcomes.emplace(event.descriptor, event.outcome);
            }
        }
        return outcomes.size() == 3 && lastIs(*emissions, IRemoteResource::Available);
    }));

    EXPECT_EQ(emissions->front().status, IRemoteResource::Waiting);
    int downloading = 0;
    for (std::size_t i = 0; i < emissions->size(); ++i) {
        Emission const& e = (*emissions)[i];
        EXPECT_EQ(e.thread, QThread::currentThread()) << "emission " << i;
        EXPECT_EQ(e.bundle, &bundle);
        EXPECT_TRUE(i == 0 || e.status != IRemoteResource::Waiting) << "out of order at " << i;
        downloading += e.status == IRemoteResource::Downloading;
    }
    EXPECT_GE(downloading, 3) << "progress of the pieces was not re-emitted";
    EXPECT_EQ(emissions->back().error, IRemoteResource::NoError);
    EXPECT_DOUBLE_EQ(emissions->back().progress, 1.0);

    size_t progress = 0;
    std::set<ResourceDescriptor const*> ended;
    for (auto const& [thread, event] : events) {
        EXPECT_EQ(thread, QThread::currentThread());
        EXPECT_EQ(ended.count(event.descriptor), 0u) << "an event after the file's outcome";
        progress += event.bytesReceived > 0 && !event.hasOutcome;
        // A failed file may be retried; a downloaded one hears nothing more.
        if (event.hasOutcome && event.outcome.decision == FileDecision::Downloaded) {
            ended.insert(event.descriptor);
        }
    }
    EXPECT_GT(progress, 0u) << "no progress of big.bin was re-emitted";
    for (ResourceDescriptor const* descriptor : bundle.descriptors) {
        EXPECT_EQ(outcomes.at(descriptor).decision, FileDecision::Downloaded);
    }
    FileOutcome const& failed = outcomes.at(*failing.descriptors.begin());
    EXPECT_EQ(failed.decision, FileDecision::Failed);
    EXPECT_THAT(failed.failure.text, testing::HasSubstr("missing.txt"));
}

TEST_F(QtEventHandlerTest, ADestroyedAdapterGetsNothingAndOthersCarryOn) {
    // Destroyed with its first notification still queued as an event.
    auto early = std::make_unique<RemoteResourceEventHandlerQt>();
    auto midway = std::make_unique<RemoteResourceEventHandlerQt>();
    midway->setNotificationParams(
        Support::notifyOn({IRemoteResource::Downloading, IRemoteResource::Available}, true));
    RemoteResourceEventHandlerQt survivor;
    auto midwayEmissions = record(*midway);
    auto survivorEmissions = record(survivor);
    early->registerWithin(resource);
    midway->registerWithin(resource);
    survivor.registerWithin(resource);
    early.reset();

    resource->scheduleDownload(ISchedulableResource::Normal);
    // Destroyed while the pool threads are delivering progress to it.
    ASSERT_TRUE(pumpUntil([&] { return !midwayEmissions->empty(); }));
    midway.reset();
    ASSERT_TRUE(pumpUntil([&] { return lastIs(*survivorEmissions, IRemoteResource::Available); }));
    EXPECT_EQ(Support::TempDir::read(dir.file("out/small.txt")), "small");
}

}  // namespace
}  // namespace Tiskel::App
