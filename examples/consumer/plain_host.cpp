// A host without Qt code: fetches one file and waits for it without polling. Exits 0 once the
// file is in place.
//   plain_host SOURCE_DIR OUT_DIR FILE
#include <chrono>
#include <cstdio>

#include "App/ResourceDownloadManager/ResourceWaiter.h"

#include "OneFileHost.h"

using namespace Tiskel::App;

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s SOURCE_DIR OUT_DIR FILE\n", argv[0]);
        return 2;
    }
    OneFileHost host(argv[1], argv[2], argv[3]);
    host.resource->scheduleDownload(ISchedulableResource::Normal);
    host.manager.startEventLoopThread();

    ResourceWaitResult const result = waitUntilSettled(host.resource, std::chrono::seconds(30));
    std::printf("%s: %s\n", argv[3], result.state.toDebugString().c_str());
    return result.settled && result.state.status == IRemoteResource::Available ? 0 : 1;
}
