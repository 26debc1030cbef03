// The scheduler assembled from the library's real parts, as a host runs it without the download
// manager: a task queue drained by a blocking executor, the file-backed downloader serving a
// temporary "server" directory, the real retrier and the logging tracer.

#include <string>

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

TEST(Pipeline, OneRunTracesItsStagesAndNotificationsInOrder) {
    Tiskel::Test::TempDir dir;
    Tiskel::Test::LogCapture log;
    dir.write("server/files/logo.png", std::string(100, 'x'));
    ResourceDescriptor file;
    file.localPath = file.downloadPath = dir.file("logo.png");
    file.tempPath = dir.file("logo.png.part");
    file.category = "res";
    file.name = file.id = "logo.png";
    file.remotePath = "files/logo.png";
    file.updatePolicy = ResourceDescriptor::IfModified;
    ResourceDescriptorBundle bundle{{&file}};  // outlives the scheduler
    auto downloads = std::make_shared<Core::TaskQueue>();
    RemoteResourceScheduler scheduler{
        std::make_shared<ResourceDownloaderFileMock>(dir.ioFile("server"), 1000000),
        downloads,
        std::make_shared<Core::TaskQueueImmediate>(),
        std::make_shared<PostProcessorStub>(),
        std::make_shared<ValidatorStub>(),
        std::make_shared<EventTracer>(true),
        std::make_shared<DownloadRetrier>()};
    IRemoteResource* resource =
        scheduler.registerAutoSchedule(&bundle, ISchedulableResource::Normal);
    RemoteResourceEventHandlerCallback handler;
    IRemoteResource::NotificationParams params;
    params.statuses = {IRemoteResource::Downloading, IRemoteResource::Available};
    handler.setNotificationParams(params);
    handler.registerWithin(resource);
    Core::BlockingExecutor().execQueue(*downloads);

    std::string const item = "[res/logo.png] (Status: ";
    std::string const group = "[G: res/logo.png, ..(0 more)] (Status: ";
    EXPECT_THAT(
        log.textsFrom("App/ResourceDownloadManager/EventTracer"),
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
