#pragma once

#include <cstdint>

#include "App/ResourceDownloadManager/Export.h"

namespace Tiskel::App {

struct ResourceDescriptor;

// Processes a freshly downloaded file. Called on several download threads at once.
class RDM_EXPORT IPostProcessor {
  public:
    // Every value other than Processed is a failure, recorded as Corrupted.
    enum Result : int32_t {
        Processed = 0,
    };

    virtual ~IPostProcessor() = default;
    virtual Result process(ResourceDescriptor const* descriptor) const = 0;
};

}  // namespace Tiskel::App
