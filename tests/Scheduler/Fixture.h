#pragma once

#include <deque>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "App/ResourceDownloadManager/RemoteResourceScheduler.h"
#include "App/ResourceDownloadManager/ResourceDescriptor.h"
#include "App/ResourceDownloadManager/ResourceDownloadManager.h"

#include "Scheduler/Doubles.h"
#include "Support/TempDir.h"

namespace Tiskel::Test {

using App::IEventTracer;
using App::IRemoteResource;
using App::IResourceDownloader;
using App::ISchedulableResource;
using App::IValidator;
using App::ResourceDescriptor;
using App::ResourceDescriptorBundle;

// A scheduler over test doubles in a fresh temporary directory. Pipelines wait in `downloads`
// until the test runs them; notifications are delivered at once, on the thread that caused them.
class SchedulerTest : public ::testing::Test {
  protected:
    SchedulerTest()
        : downloader(std::make_shared<ScriptedDownloader>()),
          downloads(std::make_shared<ManualQueue>()),
          notifications(std::make_shared<Core::TaskQueueImmediate>()),
          postProcessor(std::make_shared<ScriptedPostProcessor>()),
          validator(std::make_shared<ScriptedValidator>()),
          tracer(std::make_shared<RecordingTracer>()),
          retrier(std::make_shared<RecordingRetrier>()),
          scheduler(std::make_unique<App::RemoteResourceScheduler>(
              downloader, downloads, notifications, postProcessor, validator, tracer, retrier)) {}

    // A descriptor named `name` whose download lands on its local path. The local file exists
    // only when `withLocalFile` is set.
    ResourceDescriptor* describe(std::string const& name, ResourceDescriptor::UpdatePolicy policy,
                                 bool withLocalFile = false) {
        ResourceDescriptor& descriptor = descriptors.emplace_back();
        descriptor.id = name;
        descriptor.localPath = dir.file(name);
        descriptor.tempPath = dir.file(name + ".part");
        descriptor.downloadPath = descriptor.localPath;
        descriptor.category = "test";
        descriptor.name = name;
        descriptor.remotePath = "files/" + name;
        descriptor.baseUrl = "http://example.invalid";
        descriptor.updatePolicy = policy;
        if (withLocalFile) {
            dir.write(name, "local copy of " + name);
        }
        return &descriptor;
    }

    ResourceDescriptorBundle* group(std::set<ResourceDescriptor const*> members) {
        ResourceDescriptorBundle& bundle = hostBundles.emplace_back();
        bundle.descriptors = std::move(members);
        return &bundle;
    }

    // Registers a bundle of just `descriptor`, schedules it and runs every queued pipeline.
    IRemoteResource* runOnce(ResourceDescriptor const* descriptor) {
        IRemoteResource* resource = scheduler->registerResource(group({descriptor}));
        resource->scheduleDownload(ISchedulableResource::Normal);
        downloads->runAll();
        return resource;
    }

    bool localFileExists(ResourceDescriptor const* descriptor) const {
        return descriptor->localPath.exists();
    }

    TempDir dir;
    std::shared_ptr<ScriptedDownloader> downloader;
    std::shared_ptr<ManualQueue> downloads;
    std::shared_ptr<Core::TaskQueueImmediate> notifications;
    std::shared_ptr<ScriptedPostProcessor> postProcessor;
    std::shared_ptr<ScriptedValidator> validator;
    std::shared_ptr<RecordingTracer> tracer;
    std::shared_ptr<RecordingRetrier> retrier;
    // Host records outlive the scheduler, which is declared after them.
    std::deque<ResourceDescriptor> descriptors;
    std::deque<ResourceDescriptorBundle> hostBundles;
    std::unique_ptr<App::RemoteResourceScheduler> scheduler;
};

}  // namespace Tiskel::Test
