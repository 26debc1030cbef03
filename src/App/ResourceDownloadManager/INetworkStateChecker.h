#pragma once

#include <cstdint>

#include "App/ResourceDownloadManager/Export.h"

namespace Tiskel::App {

// Tells whether the application is online. Called on several download threads at once.
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
