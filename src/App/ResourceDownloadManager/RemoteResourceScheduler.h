#pragma once

#include <memory>

#include "App/ResourceDownloadManager/Export.h"
#include "App/ResourceDownloadManager/IDownloadRetrier.h"
#include "App/ResourceDownloadManager/IEventTracer.h"
#include "App/ResourceDownloadManager/IPostProcessor.h"
#include "App/ResourceDownloadManager/IRemoteResourceScheduler.h"
#include "App/ResourceDownloadManager/IResourceDownloader.h"
#include "App/ResourceDownloadManager/IValidator.h"
#include "Platform/Core/ITaskQueue.h"

namespace Tiskel::App {

// Turns the host's bundles into resources and keeps their files current.
//
// Every distinct descriptor address becomes one resource item with its own state node and
// download pipeline; every distinct bundle address becomes one bundle resource whose node is the
// parent of its items' nodes, so an item shared by several bundles feeds all of them. Items and
// bundle resources live until the scheduler is destroyed.
//
// Thread-safe: registration, and every operation of the returned resources, may be called from
// any thread at once. Pipelines run as tasks on the download queue, subscriber callbacks on the
// notification queue. A subscriber callback may register bundles, on any scheduler: no callback
// runs while the scheduler holds its lock (registration reports existing items' states after
// releasing it); with a queue that runs tasks at once, what such a registration notifies on
// this thread is delivered after the callback has returned. It must not destroy the scheduler.
//
// Registration costs constant time per descriptor, whatever the size of the bundle.
//
// Destruction: queued pipeline tasks and notification tasks refer to items and nodes by plain
// pointer. Destroy the scheduler only after the download queue has stopped running and dropped
// its tasks, no pipeline is running, and the notification queue runs no more of its tasks.
class RDM_EXPORT RemoteResourceScheduler final : public IRemoteResourceScheduler {
  public:
    // `downloadQueue` runs the items' pipelines; `notificationQueue` runs subscriber callbacks.
    // The scheduler keeps the services; its items, which never outlive it, use them through it,
    // and every state node keeps its own copy of the queue and the tracer.
    RemoteResourceScheduler(std::shared_ptr<IResourceDownloader> const& downloader,
                            std::shared_ptr<Core::ITaskQueue> const& downloadQueue,
                            std::shared_ptr<Core::ITaskQueue> const& notificationQueue,
                            std::shared_ptr<IPostProcessor> const& postProcessor,
                            std::shared_ptr<IValidator> const& validator,
                            std::shared_ptr<IEventTracer> const& eventTracer,
                            std::shared_ptr<IDownloadRetrier> const& retrier,
                            bool repairSizeMismatch = false, bool conditionalRequests = false);
    ~RemoteResourceScheduler() override;
    RemoteResourceScheduler(RemoteResourceScheduler const&) = delete;
    RemoteResourceScheduler& operator=(RemoteResourceScheduler const&) = delete;

    // Registers the bundle and queues a run for each of its items that was never scheduled or
    // was last scheduled with a lower priority. Returns what `registerResource` returns.
    IRemoteResource* registerAutoSchedule(
        ResourceDescriptorBundle const* bundle,
        ISchedulableResource::SchedulePriority priority) noexcept override;
    // Registers the bundle without scheduling anything. The same bundle address always gives
    // the same resource, owned by the scheduler; registering it again changes nothing. A null
    // bundle gives null. Null entries of the bundle's descriptor set are skipped.
    IRemoteResource* registerResource(ResourceDescriptorBundle const* bundle) noexcept override;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace Tiskel::App
