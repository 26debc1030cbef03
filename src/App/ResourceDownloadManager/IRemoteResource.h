#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "App/ResourceDownloadManager/Export.h"
#include "App/ResourceDownloadManager/ISchedulableResource.h"

namespace Tiskel::App {

class IFileEventHandler;
class IRemoteResourceEventHandler;
struct FileEventParams;
struct ResourceDescriptorBundle;

// A remote resource the host observes: a bundle of files registered with a scheduler. All
// operations are thread-safe. The nested value types are plain values, copied freely between
// threads.
class RDM_EXPORT IRemoteResource : public ISchedulableResource {
  public:
    enum DownloadStatus : int32_t {
        Waiting = 0,      // nothing is running; the state of a resource that was never set
        Downloading = 1,  // a download is running; `progress` is the fraction received
        Available = 2,    // the file is in place and current; `progress` is 1.0
        Error = 3,        // the last attempt failed; `error` says why
    };

    enum DownloadError : int32_t {
        NoError = 0,
        GeneralError = 1,
        Cancelled = 2,
        Corrupted = 3,  // rejected by validation or post-processing
        InternetConnectionLost = 4,
    };

    struct RDM_EXPORT State {
        DownloadStatus status = Waiting;
        DownloadError error = NoError;
        double progress = 0.0;  // fraction 0.0 to 1.0

        // "Status: <status>, err:<error> =<percent>%"; the percentage is truncated toward zero.
        std::string toDebugString() const noexcept;
    };

    // Which changes a subscriber hears of.
    struct RDM_EXPORT NotificationParams {
        // Also hear of progress while the status stays `Downloading`.
        bool notifyProgress = false;
        // Hear of the state only while its status is a member; empty means never.
        std::set<DownloadStatus> statuses;
        // A progress notification needs a rise of at least this much since the last one.
        double progressGranularity = 0.0;

        NotificationParams() = default;
        NotificationParams(NotificationParams const& other);
        NotificationParams(NotificationParams&& other) noexcept = default;
        NotificationParams& operator=(NotificationParams const& other) = default;
        NotificationParams& operator=(NotificationParams&& other) noexcept = default;
        ~NotificationParams() = default;
    };

    // The status's name; "?" for a value outside the enumeration.
    static std::string statusToString(DownloadStatus status) noexcept;
    // The error's name; "?" for a value outside the enumeration.
    static std::string errorToString(DownloadError error) noexcept;

    // A consistent snapshot of the resource's state.
    virtual State getCurrentState() const noexcept = 0;
    // The bundle the resource was registered for.
    virtual ResourceDescriptorBundle const* getDescriptor() const noexcept = 0;
    // Subscribes `handler` (kept alive by the caller until it unregisters). The current state is
    // weighed against the new subscription at once, so a first notification may follow without
    // any further change. Subscribing a handler twice keeps the first subscription.
    virtual void registerEventHandler(IRemoteResourceEventHandler* handler,
                                      NotificationParams const& params) noexcept = 0;
    // Ends the subscription; once it returns, no callback of it runs for this resource.
    virtual void unregisterEventHandler(IRemoteResourceEventHandler* handler) noexcept = 0;

    // Subscribes `handler` (kept alive by the caller until it unregisters) to the files of this
    // resource: it hears of each file's status changes, progress and run outcomes as `params`
    // select (FileEvents.h, which also states the thread contract). Nothing is replayed: the
    // first event comes with the next change of a file. Subscribing a handler twice keeps the
    // first subscription. A resource without files of its own (this default) never calls it.
    virtual void registerFileEventHandler(IFileEventHandler* handler,
                                          FileEventParams const& params) noexcept;
    // Ends the file subscription; once it returns, no call of it runs for this resource (unless
    // it is made from that very call).
    virtual void unregisterFileEventHandler(IFileEventHandler* handler) noexcept;
};

}  // namespace Tiskel::App
