// The scheduler assembled from the library's real parts, as a host runs it without the download
// manager: a task queue drained by a blocking executor, the file-backed downloader serving a
// temporary "server" directory, the real retrier and the logging tracer.

#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "App/ResourceDownloadManager/CallbackEventHandler.h"
#include "App/ResourceDownloadManager/DownloadRetrier.h"
#include "App/ResourceDownloadManager/Downloader/NetworkStateEmulator.h"
#include "App/ResourceDownloadManager/Downloader/ResourceDownloaderFileMock.h"
#include "App/ResourceDownloadManager/EventTracer.h"
#include "App/ResourceDownloadManager/RemoteResourceScheduler.h"
#include "App/ResourceDownloadManager/ResourceDescriptor.h"
#include "App/ResourceDownloadManager/ResourceDownloadManager.h"
#include "Platform/Core/TaskQueue.h"

#include "Support/LogCapture.h"
#include "Support/TempDir.h"

namespace Tiskel::App {
namespace {

using Status = IRemoteResource::DownloadStatus;
constexpr char kTracerUnit[] = "App/ResourceDownloadManager/EventTracer";

class PipelineTest : public testing::Test {
  protected:
    // Puts 100 bytes on the server as files/<name> and describes it with `policy`.
    ResourceDescriptor const* publish(std::string const& name,
                                      ResourceDescriptor::UpdatePolicy policy) {
        dir.write("server/files/" + name, std::string(100, name[0]));
        ResourceDescriptor& descriptor = descriptors.emplace_back();
        descriptor.localPath = descriptor.downloadPath = dir.file(name);
        descriptor.tempPath = dir.file(name + ".part");
        descriptor.category = "res";
        descriptor.name = descriptor.id = name;
        descriptor.remotePath = "files/" + name;
        descriptor.updatePolicy = policy;
        return &descriptor;
    }

    // Registers a bundle of `file` for automatic scheduling, which queues its first run.
    IRemoteResource* start(ResourceDescriptor const* file) {
        return scheduler.registerAutoSchedule(
            &bundles.emplace_back(ResourceDescriptorBundle{{file}}), ISchedulableResource::Normal);
    }

    // Runs every queued pipeline on this thread, as the host's download thread would.
    void drain() { executor.execQueue(*downloads); }

    Tiskel::Test::TempDir dir;
    Tiskel::Test::LogCapture log;
    std::shared_ptr<Core::TaskQueue> downloads = std::make_shared<Core::TaskQueue>();
    std::shared_ptr<DownloadRetrier> retrier = std::make_shared<DownloadRetrier>();
    Core::BlockingExecutor executor;
    std::deque<ResourceDescriptor> descriptors;
    std::deque<ResourceDescriptorBundle> bundles;
    RemoteResourceScheduler scheduler{
        std::make_shared<ResourceDownloaderFileMock>(dir.ioFile("server"), 1000000),
        downloads,
        std::make_shared<Core::TaskQueueImmediate>(),
        std::make_shared<PostProcessorStub>(),
        std::make_shared<ValidatorStub>(),
        std::make_shared<EventTracer>(true),
        retrier};
};

TEST_F(PipelineTest, EveryPolicyTakesItsBundleFromRegistrationToAvailable) {
    std::vector<IRemoteResource*> resources;
    for (auto policy : {ResourceDescriptor::Always, ResourceDescriptor::Validate,
                        ResourceDescriptor::IfMissing, ResourceDescriptor::IfModified}) {
        resources.push_back(start(publish("p" + std::to_string(policy), policy)));
    }
    drain();
    for (std::size_t i = 0; i < resources.size(); ++i) {
        EXPECT_EQ(resources[i]->getCurrentState().status, Status::Available) << i;
        EXPECT_EQ(Tiskel::Test::TempDir::read(descriptors[i].localPath.string()),
                  std::string(100, 'p'));
    }
}

TEST_F(PipelineTest, MissingSourceEndsInGeneralErrorAfterItsOneRetry) {
    ResourceDescriptor const* file = publish("absent", ResourceDescriptor::IfMissing);
    std::filesystem::remove(dir.file("server/files/absent"));
    IRemoteResource* resource = start(file);
    drain();
    EXPECT_EQ(retrier->check(), IDownloadRetrier::Retried);
    drain();
    EXPECT_EQ(retrier->check(), IDownloadRetrier::NothingToRetry);
    EXPECT_EQ(resource->getCurrentState().toDebugString(), "Status: Error, err:GeneralError =0%");
    EXPECT_THAT(log.textsFrom(kTracerUnit),
                testing::Contains("/Download files/absent, err:GeneralError").Times(2));
}

TEST_F(PipelineTest, OneRunTracesItsStagesAndNotificationsInOrder) {
    IRemoteResource* resource = start(publish("logo.png", ResourceDescriptor::IfModified));
    RemoteResourceEventHandlerCallback handler;
    IRemoteResource::NotificationParams params;
    params.statuses = {Status::Downloading, Status::Available};
    handler.setNotificationParams(params);
    handler.registerWithin(resource);
    drain();

    std::string const item = "[res/logo.png] (Status: ";
    std::string const group = "[G: res/logo.png, ..(0 more)] (Status: ";
    EXPECT_THAT(
        log.textsFrom(kTracerUnit),
        testing::ElementsAre(item + "Waiting, err:NoError =0%) ExecScheduled ",
                             item + "Waiting, err:NoError =0%) Exec ", "Download files/logo.png",
                             group + "Downloading, err:NoError =0%) StatusNotification ",
                             group + "Downloading, err:NoError =0%) /StatusNotification ",
                             group + "Available, err:NoError =100%) StatusNotification ",
                             group + "Available, err:NoError =100%) /StatusNotification ",
                             "/Download files/logo.png, err:NoError",
                             item + "Available, err:NoError =100%) /Exec "));
}

}  // namespace
}  // namespace Tiskel::App
