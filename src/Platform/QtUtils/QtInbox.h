#pragma once

#include <functional>
#include <memory>

#include "Platform/Export.h"

class QObject;

namespace Tiskel::App {

// Hands work from any thread to the thread of a Qt object (the context), whose event loop runs
// it. The one way in this code base by which other threads reach a Qt thread: the Qt task queue,
// the Qt signals adapter and resource-sync's main loop all post through an inbox.
//
// Guarantees:
// 1. Work runs on the context's thread, one piece at a time, in posting order.
// 2. A wake-up runs the work that was waiting when it began; work posted meanwhile gets a
//    wake-up of its own, so work that keeps posting cannot starve the event loop.
// 3. An exception escaping a piece of work is caught and logged at ERROR, naming the inbox; the
//    next piece runs as usual.
// 4. Work still waiting when the inbox is destroyed is dropped, never run. A piece already
//    running on the context's thread finishes.
// 5. `post` refuses work, returning false, once no event loop can run it: the application
//    object is gone, or the context (the receiver's parent) destroyed the inbox's receiver.
//
// How: the work waits in a FIFO under the inbox's own mutex. A poster that makes the FIFO
// non-empty writes one byte to a pipe that a socket notifier on the context's thread watches;
// that thread empties the pipe before it looks at the FIFO, so work posted after the look has a
// byte of its own. No Qt event crosses threads on the way: Qt hands a posted event over under
// its own futex-based mutex, which race detectors do not model, while std::mutex and pipe
// reads and writes are synchronisation they see.
//
// Offered to hosts with the shared library (App/ResourceDownloadManager/QtEventHandler.h uses it
// for the adapter's signals): a Qt host hands its own work to its GUI thread the same way.
//
// Thread-safe: `post` from any thread. The inbox may be built on any thread: built on the
// context's thread its receiver becomes the context's child (it goes, and moves, with the
// context); built elsewhere it starts listening through one queued call. It may be destroyed on
// any thread, also after the application object.
// REQUIRES: the inbox is not destroyed by its own work.
class TISKEL_EXPORT QtInbox {
  public:
    // `name` appears in log lines. `context` (not owned) picks the thread that runs the work.
    // Throws std::system_error when the system refuses the pipe.
    QtInbox(char const* name, QObject* context);
    ~QtInbox();
    QtInbox(QtInbox const&) = delete;
    QtInbox& operator=(QtInbox const&) = delete;

    // Queues `work` (not empty) for the context's thread and returns at once. Returns false, and
    // drops `work`, when no event loop can run it any more.
    bool post(std::function<void()> work);

  private:
    friend class QtInboxReceiver;
    struct Shared;
    std::shared_ptr<Shared> const shared;
};

}  // namespace Tiskel::App
