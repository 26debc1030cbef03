#pragma once

// What both example hosts share: a manager that fetches FILE from the folder SOURCE_DIR, which
// stands for the server, into OUT_DIR, as given on the command line (SOURCE_DIR OUT_DIR FILE).

#include <memory>
#include <string>

#include "App/ResourceDownloadManager/Downloader/ResourceDownloaderFileMock.h"
#include "App/ResourceDownloadManager/RemoteResourceScheduler.h"
#include "App/ResourceDownloadManager/ResourceDescriptor.h"
#include "App/ResourceDownloadManager/ResourceDownloadManager.h"

class OneFileHost {
  public:
    OneFileHost(std::string const& sourceDir, std::string const& outDir, std::string const& name) {
        file.localPath = file.downloadPath = outDir + "/" + name;
        file.tempPath = file.localPath.string() + ".part";
        file.remotePath = name;
        bundle.descriptors.insert(&file);
        Tiskel::App::ResourceDownloadManager::Dependencies dependencies;
        dependencies.downloader =
            std::make_shared<Tiskel::App::ResourceDownloaderFileMock>(sourceDir, 4096);
        manager.init({}, dependencies);
        resource = manager.getMainScheduler()->registerResource(&bundle);
    }

    // The library keeps pointers to the descriptor and the bundle: they outlive the manager.
    Tiskel::App::ResourceDescriptor file;
    Tiskel::App::ResourceDescriptorBundle bundle;
    Tiskel::App::ResourceDownloadManager manager;
    Tiskel::App::IRemoteResource* resource = nullptr;
};
