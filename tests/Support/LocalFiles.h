#pragma once

#include <deque>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "App/ResourceDownloadManager/Downloader/ResourceDownloaderFileMock.h"
#include "App/ResourceDownloadManager/RemoteResourceScheduler.h"
#include "App/ResourceDownloadManager/ResourceDescriptor.h"
#include "App/ResourceDownloadManager/ResourceDownloadManager.h"

#include "Support/TempDir.h"
#include "Support/Wait.h"

namespace Tiskel::Test {

// For tests that drive a manager over local files: a folder that stands for the server
// ("server/"), an output folder ("out/", created as a host would) and descriptors between them.
// Descriptors and bundles have stable addresses for the fixture's life; with `keepForever` they
// outlive it (for managers whose internals may still refer to them after the test).
class LocalFiles : public ::testing::Test {
  protected:
    explicit LocalFiles(bool keepForever = false) : keepForever(keepForever) {
        dir.write("out/.keep", "");
    }
    ~LocalFiles() override {
        if (keepForever) {
            static auto* kept = new std::vector<std::unique_ptr<Storage>>();
            kept->push_back(std::move(storage));
        }
    }

    // server/<path> -> out/<path>, staged in out/<path>.part.
    App::ResourceDescriptor& describe(
        std::string const& remotePath, std::string const& baseUrl = "",
        App::ResourceDescriptor::UpdatePolicy policy = App::ResourceDescriptor::Always) {
        auto& d = storage->descriptors.emplace_back();
        d.localPath = d.downloadPath = dir.file("out/" + remotePath);
        d.tempPath = dir.file("out/" + remotePath + ".part");
        d.remotePath = remotePath;
        d.baseUrl = baseUrl;
        d.updatePolicy = policy;
        return d;
    }
    App::ResourceDescriptorBundle& bundleOf(
        std::vector<std::string> const& remotePaths, std::string const& baseUrl = "",
        App::ResourceDescriptor::UpdatePolicy policy = App::ResourceDescriptor::Always) {
        auto& bundle = storage->bundles.emplace_back();
        for (auto const& remotePath : remotePaths) {
            bundle.descriptors.insert(&describe(remotePath, baseUrl, policy));
        }
        return bundle;
    }

    // A bundle of `members`.
    App::ResourceDescriptorBundle* group(std::set<App::ResourceDescriptor const*> members) {
        return &storage->bundles.emplace_back(App::ResourceDescriptorBundle{std::move(members)});
    }

    // A downloader that copies from server/ at `rateKiBps`.
    std::shared_ptr<App::ResourceDownloaderFileMock> fileDownloader(int rateKiBps = 1 << 20) {
        return std::make_shared<App::ResourceDownloaderFileMock>(ioPath(dir.file("server")),
                                                                 rateKiBps);
    }
    // Inits `manager` with `downloader`, server/'s at full speed when none is given.
    void init(App::ResourceDownloadManager& manager,
              App::ResourceDownloadManager::Params const& params = {},
              std::shared_ptr<App::IResourceDownloader> downloader = nullptr) {
        App::ResourceDownloadManager::Dependencies deps;
        deps.downloader = downloader ? std::move(downloader) : fileDownloader();
        manager.init(params, deps);
    }

    TempDir dir;

  private:
    struct Storage {
        std::deque<App::ResourceDescriptor> descriptors;
        std::deque<App::ResourceDescriptorBundle> bundles;
    };
    bool const keepForever;
    std::unique_ptr<Storage> storage = std::make_unique<Storage>();
};

}  // namespace Tiskel::Test
