#pragma once

#include <cstdint>
#include <string>

#include "App/ResourceDownloadManager/Export.h"
#include "App/ResourceDownloadManager/IRemoteResource.h"

namespace Tiskel::App {

struct ResourceDescriptor;
struct ResourceDescriptorBundle;

// Records pipeline and notification events. `trace` is called synchronously on the emitting
// thread, from many threads at once; it never throws.
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
