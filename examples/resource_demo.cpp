// A small host: keeps two bundles of files current in an output folder and prints every state
// change it is told of.
//
//   resource_demo OUT_DIR [BASE_URL]
//
// Without BASE_URL the files come from the sample folder shipped with the sources, through the
// local-directory downloader; with it, from that web server over HTTP.
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <glog/logging.h>

#include "App/ResourceDownloadManager/CallbackEventHandler.h"
#include "App/ResourceDownloadManager/Downloader/ResourceDownloaderFileMock.h"
#include "App/ResourceDownloadManager/RemoteResourceScheduler.h"
#include "App/ResourceDownloadManager/ResourceDescriptor.h"
#include "App/ResourceDownloadManager/ResourceDownloadManager.h"

using namespace Tiskel::App;

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUT_DIR [BASE_URL]\n", argv[0]);
        return 2;
    }
    google::InitGoogleLogging(argv[0]);
    FLAGS_logtostderr = true;
    FLAGS_minloglevel = google::GLOG_WARNING;
    std::string const out = argv[1];
    std::string const baseUrl = argc > 2 ? argv[2] : "";

    // The library keeps pointers to descriptors and bundles: they must outlive the manager.
    std::vector<ResourceDescriptor> files(4);
    char const* const paths[] = {"text/welcome.txt", "text/config.ini", "images/pattern.bin",
                                 "images/small.bin"};
    for (int i = 0; i < 4; ++i) {
        ResourceDescriptor& file = files[i];
        file.localPath = file.downloadPath = out + "/" + paths[i];
        file.tempPath = file.localPath.string() + ".part";
        file.remotePath = paths[i];
        file.baseUrl = baseUrl;
        file.updatePolicy = ResourceDescriptor::IfModified;  // fetch again only when newer
        std::filesystem::create_directories((std::filesystem::path(out) / paths[i]).parent_path());
    }
    ResourceDescriptorBundle const texts{{&files[0], &files[1]}};
    ResourceDescriptorBundle const images{{&files[2], &files[3]}};

    ResourceDownloadManager manager;
    ResourceDownloadManager::Dependencies dependencies;
    if (baseUrl.empty()) {
        // 1024 KiB/s makes the progress of the larger file visible.
        dependencies.downloader =
            std::make_shared<ResourceDownloaderFileMock>(std::string(RDM_SAMPLE_RESOURCES), 1024);
    }
    manager.init({}, dependencies);

    // Notifications arrive on the thread that drives the work, this one.
    RemoteResourceEventHandlerCallback handler;
    handler.setCallback([&](IRemoteResource::State state, ResourceDescriptorBundle const* bundle) {
        std::printf("%-6s %s\n", bundle == &texts ? "texts" : "images",
                    state.toDebugString().c_str());
    });
    IRemoteResource::NotificationParams params;
    params.statuses = {IRemoteResource::Waiting, IRemoteResource::Downloading,
                       IRemoteResource::Available, IRemoteResource::Error};
    params.notifyProgress = true;
    params.progressGranularity = 0.25;
    handler.setNotificationParams(params);

    std::vector<IRemoteResource*> resources;
    for (auto const* bundle : {&texts, &images}) {
        resources.push_back(manager.getMainScheduler()->registerResource(bundle));
        handler.registerWithin(resources.back());
        resources.back()->scheduleDownload(ISchedulableResource::Normal);
    }

    auto status = [](IRemoteResource* resource) { return resource->getCurrentState().status; };
    auto settled = [&](IRemoteResource* r) {
        return status(r) == IRemoteResource::Available || status(r) == IRemoteResource::Error;
    };
    while (!(settled(resources[0]) && settled(resources[1])) &&
           manager.processCurrentQueueQuant()) {
    }
    bool const ok = status(resources[0]) == IRemoteResource::Available &&
                    status(resources[1]) == IRemoteResource::Available;
    std::printf("%s: files are in %s\n", ok ? "done" : "failed", out.c_str());
    return ok ? 0 : 1;
}
