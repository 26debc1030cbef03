#pragma once

#include <cstdint>

#include "App/ResourceDownloadManager/Export.h"

namespace Tiskel::App {

struct ResourceDescriptor;

// Judges a local file. Called on several download threads at once.
class RDM_EXPORT IValidator {
  public:
    // Callers act only on Invalid; every other value counts as valid.
    enum Result : int32_t {
        Valid = 0,
        Invalid = 1,
    };

    virtual ~IValidator() = default;
    virtual Result validate(ResourceDescriptor const* descriptor) const = 0;
};

}  // namespace Tiskel::App
