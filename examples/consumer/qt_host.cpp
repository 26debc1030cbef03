// Fetches FILE from the folder SOURCE_DIR (standing for the server) into OUT_DIR, printing each
// state change from the Qt event loop. Exits 0 once the file is in place.
//   qt_host SOURCE_DIR OUT_DIR FILE
#include <cstdio>
#include <memory>
#include <string>

#include <QCoreApplication>

#include "App/ResourceDownloadManager/Downloader/ResourceDownloaderFileMock.h"
#include "App/ResourceDownloadManager/QtEventHandler.h"
#include "App/ResourceDownloadManager/RemoteResourceScheduler.h"
#include "App/ResourceDownloadManager/ResourceDescriptor.h"
#include "App/ResourceDownloadManager/ResourceDownloadManager.h"

using namespace Tiskel::App;

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
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
    IRemoteResource* resource = manager.getMainScheduler()->registerResource(&bundle);

    // Signals arrive here, on the application thread, whichever thread downloads.
    RemoteResourceEventHandlerQt events;
    QObject::connect(
        &events, &RemoteResourceEventHandlerQt::stateChanged,
        [&](ResourceDescriptorBundle const*, IRemoteResource::DownloadStatus status,
            IRemoteResource::DownloadError error, double progress) {
            std::printf("%s: %s %s %.0f%%\n", argv[3],
                        IRemoteResource::statusToString(status).c_str(),
                        IRemoteResource::errorToString(error).c_str(), progress * 100);
            if (status == IRemoteResource::Available || status == IRemoteResource::Error) {
                application.exit(status == IRemoteResource::Available ? 0 : 1);
            }
        });
    events.registerWithin(resource);
    resource->scheduleDownload(ISchedulableResource::Normal);
    manager.startEventLoopThread();
    return application.exec();
}
