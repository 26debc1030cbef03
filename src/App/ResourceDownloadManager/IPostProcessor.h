#pragma once

#include <cstdint>

#include "App/ResourceDownloadManager/Export.h"

namespace Tiskel::App {

struct ResourceDescriptor;

// Processes a freshly downloaded file.
//
// Threads and locks: `process` runs inside a file's pipeline task right after a successful
// download, on the thread that runs the download queue, for several files at once but never
// twice at once for one file. No lock of the library is held. An exception escaping it ends that
// run where it is (the file stays Downloading, the retrier is not told) and passes to the
// queue: `processCurrentQueue` lets it reach its caller, the event-loop thread logs it at ERROR
// and goes on.
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
