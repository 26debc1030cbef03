#pragma once

#include <cstdint>

#include "App/ResourceDownloadManager/Export.h"

namespace Tiskel::App {

// Tells whether the application is online.
//
// Threads and locks: `getState` is asked by the HTTP downloader on the threads that run
// downloads, several at once: from the transfer's cancellation poll (about ten times a second
// while a transfer waits, on the networking client's thread for that transfer) and once after
// each transfer. No lock of the library is held. Keep it cheap. An exception escaping it stops
// the transfer and leaves the downloader's `exec` (the temporary file removed), ending the run
// like an exception of a validator (IValidator.h).
class RDM_EXPORT INetworkStateChecker {
  public:
    enum State : int32_t {
        Online = 0,
        Offline = 1,
    };

    virtual ~INetworkStateChecker() = default;
    virtual State getState() const = 0;
};

}  // namespace Tiskel::App
