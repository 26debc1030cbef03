// The library driven directly over a list of present files, the way a host with its own
// records would: one descriptor per path, one bundle, IfMissing with the local-copy shortcut,
// the main scheduler on a thread pool. For bench/scale.sh, beside resource-sync and a stat loop.
//
//   ScaleDriver LIST FOLDER BASE_URL     LIST: one path per line, relative to FOLDER
// Prints how many files ended Available; exit status 1 when any did not.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "App/ResourceDownloadManager/IRemoteResource.h"
#include "App/ResourceDownloadManager/RemoteResourceScheduler.h"
#include "App/ResourceDownloadManager/ResourceDescriptor.h"
#include "App/ResourceDownloadManager/ResourceDownloadManager.h"

using namespace Tiskel::App;

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s LIST FOLDER BASE_URL\n", argv[0]);
        return 2;
    }
    std::vector<std::string> paths;
    {
        std::ifstream list(argv[1]);
        for (std::string line; std::getline(list, line);) {
            paths.push_back(std::move(line));
        }
    }
    std::string const folder = std::string(argv[2]) + "/";
    std::vector<ResourceDescriptor> files(paths.size());
    ResourceDescriptorBundle bundle;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        ResourceDescriptor& file = files[i];
        std::string const local = folder + paths[i];
        file.localPath = local;
        file.downloadPath = file.localPath;
        file.tempPath = local + ".part";
        file.baseUrl = argv[3];
        file.remotePath = std::move(paths[i]);
        file.updatePolicy = ResourceDescriptor::IfMissing;
        file.localCopyPolicy = 1;
        bundle.descriptors.insert(bundle.descriptors.end(), &file);
    }
    paths = {};

    ResourceDownloadManager manager;
    ResourceDownloadManager::Params params;
    params.useParallelExecutor = true;
    manager.init(params, {});
    IRemoteResource* const resource = manager.getMainScheduler()->registerResource(&bundle);
    resource->scheduleDownload(ISchedulableResource::Normal);
    manager.processCurrentQueue();
    bool const available = resource->getCurrentState().status == IRemoteResource::Available;
    std::printf("files=%zu available=%d\n", files.size(), available ? 1 : 0);
    std::fflush(stdout);
    // Like resource-sync, the process ends without freeing its records one by one.
    std::_Exit(available ? 0 : 1);
}
