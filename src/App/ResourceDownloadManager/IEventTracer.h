#pragma once

#include <cstdint>
#include <string>

#include "App/ResourceDownloadManager/Export.h"
#include "App/ResourceDownloadManager/IRemoteResource.h"

namespace Tiskel::App {

struct ResourceDescriptor;
struct ResourceDescriptorBundle;

// Records pipeline and notification events.
//
// Threads and locks: `trace` is called synchronously on the emitting thread, from many threads at
// once: download threads (pipeline events), the scheduling thread (ExecScheduled) and the
// notification queue's thread (around each delivery, with the resource's delivery lock held but
// no state lock). It must not block for long and must not call back into the resource it traces.
// It is declared not to throw: an exception escaping it ends the process, so an implementation
// catches what its own code may throw.
class RDM_EXPORT IEventTracer {
  public:
    enum Event : int32_t {
        ExecScheduled = 0,
        Exec = 1,
        ExecEnd = 2,
        ValidatorCheck = 3,
        RegisterValidator = 4,
        StatusNotification = 5,
        StatusNotificationEnd = 6,
        ProgressNotification = 7,
        ProgressNotificationEnd = 8,
        Download = 9,
        DownloadEnd = 10,
    };

    // What an event is about; valid only during the `trace` call. Every pointer may be null.
    struct TraceRecord {
        ResourceDescriptor const* descriptor = nullptr;
        ResourceDescriptorBundle const* bundle = nullptr;
        IRemoteResource::State const* state = nullptr;
        std::string message;
    };

    virtual ~IEventTracer() = default;
    virtual void trace(Event event, TraceRecord const& record) const noexcept = 0;
};

}  // namespace Tiskel::App
