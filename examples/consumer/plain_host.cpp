// Fetches FILE from the folder SOURCE_DIR (standing for the server) into OUT_DIR and waits for it
// without polling. Exits 0 once the file is in place.
//   plain_host SOURCE_DIR OUT_DIR FILE
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "App/ResourceDownloadManager/Downloader/ResourceDownloaderFileMock.h"
#include "App/ResourceDownloadManager/RemoteResourceScheduler.h"
#include "App/ResourceDownloadManager/ResourceDescriptor.h"
#include "App/ResourceDownloadManager/ResourceDownloadManager.h"
#include "App/ResourceDownloadManager/ResourceWaiter.h"

using namespace Tiskel::App;

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s SOURCE_DIR OUT_DIR FILE\n", argv[0]);
        return 2;
    }
    ResourceDescriptor file;
    file.localPath = file.downloadPath = std::string(argv[2]) + "/" + argv[3];
    file.tempPath = file.localPath.string() + ".part";
    file.remotePath = argv[3];
    ResourceDescriptorBundle const bundle{{&file}};

    ResourceDownloadManager manager;
    ResourceDownloadManager::Dependencies dependencies;
    dependencies.downloader = std::make_shared<ResourceDownloaderFileMock>(argv[1], 4096);
    manager.init({}, dependencies);
    IRemoteResource* resource =
        manager.getMainScheduler()->registerAutoSchedule(&bundle, ISchedulableResource::Normal);
    manager.startEventLoopThread();

    ResourceWaitResult const result = waitUntilSettled(resource, std::chrono::seconds(30));
    std::printf("%s: %s\n", argv[3], result.state.toDebugString().c_str());
    return result.settled && result.state.status == IRemoteResource::Available ? 0 : 1;
}
