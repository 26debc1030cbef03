#pragma once

#include <cstdint>

#include "App/ResourceDownloadManager/Export.h"

namespace Tiskel::App {

struct ResourceDescriptor;

// Judges a local file.
//
// Threads and locks: `validate` runs inside a file's pipeline task, on the thread that runs the
// download queue (a pool thread with `Params::useParallelExecutor`, else the thread that drives
// the work), for several files at once but never twice at once for one file. No lock of the
// library is held. It is asked before a download under the Validate policy, and after one.
// An exception escaping it ends that run where it is (the file keeps its state, the retrier is
// not told) and passes to the queue: `processCurrentQueue` lets it reach its caller, the
// event-loop thread logs it at ERROR and goes on.
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
