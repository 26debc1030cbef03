// A small host: keeps two bundles of files current in an output folder and prints every state
// change it is told of.
//
//   resource_demo [--out DIR] [--source DIR | --url BASE_URL]
//
// Files come from a local folder (default: the sample folder shipped with the sources) through
// the local-directory downloader, or from a web server over HTTP when --url is given.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
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

namespace {

struct Options {
    std::string out = "rdm-demo-out";
    std::string source = RDM_SAMPLE_RESOURCES;
    std::string url;
};

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string const flag = argv[i];
        if (flag == "--out") {
            options.out = argv[i + 1];
        } else if (flag == "--source") {
            options.source = argv[i + 1];
        } else if (flag == "--url") {
            options.url = argv[i + 1];
        } else {
            std::fprintf(stderr, "unknown option %s\n", flag.c_str());
            std::exit(2);
        }
    }
    return options;
}

ResourceDescriptor describe(Options const& options, std::string const& category,
                            std::string const& remotePath) {
    ResourceDescriptor descriptor;
    std::string const local = options.out + "/" + remotePath;
    descriptor.localPath = local;
    descriptor.downloadPath = local;
    descriptor.tempPath = local + ".part";
    descriptor.category = category;
    descriptor.name = std::filesystem::path(remotePath).filename().string();
    descriptor.remotePath = remotePath;
    descriptor.baseUrl = options.url;
    descriptor.updatePolicy = ResourceDescriptor::IfModified;
    return descriptor;
}

bool finished(IRemoteResource::State const& state) {
    return state.status == IRemoteResource::Available || state.status == IRemoteResource::Error;
}

}  // namespace

int main(int argc, char** argv) {
    google::InitGoogleLogging(argv[0]);
    FLAGS_logtostderr = true;
    FLAGS_minloglevel = google::GLOG_WARNING;
    Options const options = parse(argc, argv);

    std::vector<ResourceDescriptor> descriptors = {
        describe(options, "text", "text/welcome.txt"),
        describe(options, "text", "text/config.ini"),
        describe(options, "images", "images/pattern.bin"),
        describe(options, "images", "images/small.bin"),
    };
    for (auto const& descriptor : descriptors) {
        std::filesystem::create_directories(
            std::filesystem::path(descriptor.localPath.string()).parent_path());
    }
    ResourceDescriptorBundle texts{{&descriptors[0], &descriptors[1]}};
    ResourceDescriptorBundle images{{&descriptors[2], &descriptors[3]}};
    std::map<ResourceDescriptorBundle const*, std::string> names = {{&texts, "texts"},
                                                                    {&images, "images"}};

    ResourceDownloadManager manager;
    ResourceDownloadManager::Dependencies dependencies;
    if (options.url.empty()) {
        // 1024 KiB/s makes the progress of the larger file visible.
        dependencies.downloader =
            std::make_shared<ResourceDownloaderFileMock>(options.source, 1024);
    }
    manager.init({}, dependencies);

    // Notifications are delivered at once on the thread that drives the work (this one), so the
    // callback needs no lock of its own.
    std::map<ResourceDescriptorBundle const*, IRemoteResource::State> latest;
    RemoteResourceEventHandlerCallback handler;
    handler.setCallback([&](IRemoteResource::State state, ResourceDescriptorBundle const* bundle) {
        latest[bundle] = state;
        std::printf("%-6s %s\n", names[bundle].c_str(), state.toDebugString().c_str());
    });
    IRemoteResource::NotificationParams params;
    params.statuses = {IRemoteResource::Waiting, IRemoteResource::Downloading,
                       IRemoteResource::Available, IRemoteResource::Error};
    params.notifyProgress = true;
    params.progressGranularity = 0.25;
    handler.setNotificationParams(params);

    auto scheduler = manager.getMainScheduler();
    IRemoteResource* textResource = scheduler->registerResource(&texts);
    IRemoteResource* imageResource = scheduler->registerResource(&images);
    handler.registerWithin(textResource);
    handler.registerWithin(imageResource);
    textResource->scheduleDownload(ISchedulableResource::Normal);
    imageResource->scheduleDownload(ISchedulableResource::Normal);

    while (!(finished(textResource->getCurrentState()) &&
             finished(imageResource->getCurrentState()))) {
        if (!manager.processCurrentQueueQuant()) {
            break;
        }
    }

    bool const ok = textResource->getCurrentState().status == IRemoteResource::Available &&
                    imageResource->getCurrentState().status == IRemoteResource::Available;
    std::printf("%s: files are in %s\n", ok ? "done" : "failed", options.out.c_str());
    return ok ? 0 : 1;
}
