// Runs one pass of the library over a bundle of files, the way a host does, for
// bench/file_syscalls.sh, which counts the system calls around it.
//
//   FileCostDriver <IfMissing|IfModified|Always> <base url> <folder> <count>
//       files f0000.bin .. f<count-1>.bin under <base url>, kept in <folder> (which must exist)
//       under the given update policy, with the default HTTP downloader on the calling thread;
//       prints how many ended Available and exits with status 1 when any did not.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "App/ResourceDownloadManager/IRemoteResource.h"
#include "App/ResourceDownloadManager/RemoteResourceScheduler.h"
#include "App/ResourceDownloadManager/ResourceDescriptor.h"
#include "App/ResourceDownloadManager/ResourceDownloadManager.h"

using namespace Tiskel::App;

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr,
                     "usage: %s <IfMissing|IfModified|Always> <base url> <folder> <count>\n",
                     argv[0]);
        return 2;
    }
    std::string const policyName = argv[1];
    ResourceDescriptor::UpdatePolicy const policy =
        policyName == "IfMissing"    ? ResourceDescriptor::IfMissing
        : policyName == "IfModified" ? ResourceDescriptor::IfModified
                                     : ResourceDescriptor::Always;
    std::string const baseUrl = argv[2];
    std::string const folder = argv[3];
    int const count = std::atoi(argv[4]);

    std::vector<ResourceDescriptor> files(static_cast<size_t>(count));
    ResourceDescriptorBundle bundle;
    for (int i = 0; i < count; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "f%04d.bin", i);
        ResourceDescriptor& file = files[static_cast<size_t>(i)];
        file.localPath = file.downloadPath = folder + "/" + name;
        file.tempPath = folder + "/" + name + ".part";
        file.baseUrl = baseUrl;
        file.remotePath = name;
        file.updatePolicy = policy;
        bundle.descriptors.insert(&file);
    }

    int available = 0;
    {
        // The init worker never retries, so one run of its queue is the whole job.
        ResourceDownloadManager manager;
        manager.init({}, {});
        IRemoteResource* const resource = manager.getInitScheduler()->registerResource(&bundle);
        resource->scheduleDownload(ISchedulableResource::Normal);
        manager.processCurrentQueue();
        available = resource->getCurrentState().status == IRemoteResource::Available ? count : 0;
    }
    std::printf("policy=%s files=%d available=%d\n", policyName.c_str(), count, available);
    return available == count ? 0 : 1;
}
