// A Qt host: fetches one file, printing each state change from the Qt event loop. Exits 0 once
// the file is in place.
//   qt_host SOURCE_DIR OUT_DIR FILE
#include <cstdio>

#include <QCoreApplication>

#include "App/ResourceDownloadManager/QtEventHandler.h"

#include "OneFileHost.h"

using namespace Tiskel::App;

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s SOURCE_DIR OUT_DIR FILE\n", argv[0]);
        return 2;
    }
    OneFileHost host(argv[1], argv[2], argv[3]);

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
    events.registerWithin(host.resource);
    host.resource->scheduleDownload(ISchedulableResource::Normal);
    host.manager.startEventLoopThread();
    return application.exec();
}
