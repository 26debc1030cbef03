#pragma once

// Per-file observation: what happened to each file of a bundle, without a bundle per file.
//
// A host subscribes an IFileEventHandler to a bundle resource (IRemoteResource::
// registerFileEventHandler) and hears, for every file of that bundle: each change of the file's
// status, its progress while it downloads (when asked for), and the outcome of every pipeline
// run: what was decided for the file and, when something failed, why, as data and as words.
//
// Thread contract. `onFileEvent` is called from notification tasks of the bundle's scheduler,
// exactly like IRemoteResourceEventHandler::onStateChanged: on the notification queue's thread
// (the Qt application thread with `Params::useQtNotificationQueue`), or, with the default queue
// that runs tasks at once, on the thread whose change caused the event: a download thread for
// progress and the outcome of a run, the scheduling thread for a file settled at scheduling. No
// state lock of the library is held during the call; the bundle's delivery lock is, so the calls
// for one bundle come one at a time, in the order in which the events were decided, and
// `unregisterFileEventHandler` waits for a call in progress (unless it is made from that call).
// The handler may call any operation of the library from the call: read states, schedule,
// cancel, register and unregister (itself included); it must not destroy the handler that is
// being called. An exception escaping `onFileEvent` is caught by the queue that runs the task and
// logged at ERROR; later events are delivered as usual.
//
// Cost. A file costs nothing more for being observable: events are decided when a file's state
// changes, and what an event carries (the outcome with its reason) exists only until it has been
// delivered. A bundle without file subscribers decides nothing.

#include <cstdint>
#include <string>

#include "App/ResourceDownloadManager/Export.h"
#include "App/ResourceDownloadManager/IRemoteResource.h"

namespace Tiskel::App {

struct ResourceDescriptor;
struct ResourceDescriptorBundle;

// Why a check or a download of one file failed. A plain value.
struct FileFailure {
    enum Kind : int32_t {
        None = 0,
        // The server answered with an HTTP status of 400 or above (or a redirect that was not
        // followed): `httpStatus`.
        HttpStatus = 1,
        // No usable answer arrived: the host could not be reached, the connection broke or
        // stalled, TLS was refused, the answer was not HTTP, ... `transportError` holds the
        // networking library's code (Networking::Response::Error), `text` its words.
        Transport = 2,
        // A local file operation failed: `path` names the file, `systemError` holds the system's
        // error number (0 when not known), `text` the operation and the system's words.
        FileSystem = 3,
        // The download arrived but the post-processor or the validator rejected it.
        Rejected = 4,
        // The host cancelled the file, or the manager was aborted.
        Cancelled = 5,
        // The network-state checker reported the network offline.
        Offline = 6,
        // The downloader failed without saying why, or threw.
        Unknown = 7,
    };

    Kind kind = None;
    int32_t httpStatus = 0;
    int32_t transportError = 0;
    int32_t systemError = 0;
    std::string path;
    // One line for a user: "HTTP 404 Not Found", "Could not connect to server: ...", "cannot
    // create /data/x.part: Permission denied". URLs in it carry no user name or password.
    std::string text;
    // How long the server asked the client to wait before trying again (Retry-After), in
    // seconds; -1 when it asked nothing.
    int64_t retryAfterSeconds = -1;

    bool failed() const noexcept { return kind != None; }
};

// What the last pipeline run decided for one file.
enum class FileDecision : int32_t {
    // The file was downloaded, post-processed and validated, and is in place.
    Downloaded = 0,
    // IfMissing: the file is present, so it was not looked at any further.
    KeptPresent = 1,
    // IfModified: the server's time is not later than the local file's.
    KeptNotModified = 2,
    // IfModified: the server answered without a usable Last-Modified time; the file is left as
    // it is.
    KeptNoServerTime = 3,
    // IfModified: asking the server failed (`failure` says why); the file is left as it is and
    // its state is Available, but nobody knows whether it is current.
    KeptCheckFailed = 4,
    // Validate: the validator accepted the local file.
    KeptValid = 5,
    // The file was found current by an earlier run of this manager and is trusted without a
    // look (every policy but Always).
    KeptAvailable = 6,
    // The download failed or was rejected; the state is Error and `failure` says why.
    Failed = 7,
};

// Why a run downloaded the file (or tried to).
enum class DownloadReason : int32_t {
    None = 0,         // no download was decided
    Always = 1,       // the policy downloads on every run
    Missing = 2,      // there was no local file
    SizeDiffers = 3,  // the local file's size was not the expected one (a damaged file)
    Newer = 4,        // the server's file is newer than the local one
    Invalid = 5,      // the validator found the local file invalid
};

// The outcome of one pipeline run of one file.
struct FileOutcome {
    FileDecision decision = FileDecision::Downloaded;
    // Set for Downloaded, and for Failed when a download was tried; None otherwise.
    DownloadReason why = DownloadReason::None;
    // Set for Failed and KeptCheckFailed; `kind` None otherwise.
    FileFailure failure;
};

// One event of one file of a bundle. Valid only during the call it is passed to.
struct FileEvent {
    ResourceDescriptorBundle const* bundle = nullptr;  // the bundle the handler registered with
    ResourceDescriptor const* descriptor = nullptr;    // the file
    IRemoteResource::State state;                      // the file's state after the change
    // While the status is Downloading: bytes received so far and the total the transfer
    // announced (0 when not known). With the outcome of a run that downloaded: the figures of
    // its last report (which may come before the last piece). 0 otherwise.
    uint64_t bytesReceived = 0;
    uint64_t bytesTotal = 0;
    // Set when a pipeline run of the file has ended (the status is then Available or Error),
    // and when scheduling settled a present file at once (IfMissing with localCopyPolicy 1);
    // null for status changes and progress within a run.
    FileOutcome const* outcome = nullptr;
};

// Which events a file subscriber hears of. Outcomes are always delivered.
struct FileEventParams {
    // Every change of a file's status (Waiting, Downloading, Available, Error) that does not
    // come with an outcome.
    bool statusChanges = true;
    // Progress while Downloading: each time the fraction received crosses a multiple of
    // `progressGranularity` or, while the total is not known, the bytes received cross a
    // multiple of `progressBytes`. Values of 0 or less turn the respective kind off.
    bool progress = false;
    double progressGranularity = 0.01;
    uint64_t progressBytes = uint64_t{1} << 20;
};

// A subscriber to the files of bundles; see the thread contract above.
class RDM_EXPORT IFileEventHandler {
  public:
    virtual ~IFileEventHandler() = default;
    virtual void onFileEvent(FileEvent const& event) = 0;
};

// The decision's name ("Downloaded", "KeptPresent", ...); "?" for a value outside the enumeration.
RDM_EXPORT char const* fileDecisionName(FileDecision decision) noexcept;

}  // namespace Tiskel::App
