#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "Platform/Filesystem/ioPath.h"

namespace Tiskel::App {

// One remote file and its local places. Owned by the host and kept alive as long as any
// scheduler that registered it; the library never copies or changes it and identifies the
// resource by the descriptor's address (two descriptors with equal fields are two resources).
// Thread-compatible: the library reads a registered descriptor on its download and notification
// threads without any lock, so the host must not change it once it is registered.
struct ResourceDescriptor {
    // How an existing local file is judged current. A missing local file is always downloaded.
    enum UpdatePolicy : int32_t {
        Always = 0,      // download on every run
        Validate = 1,    // download when the validator answers Invalid; validate again after
        IfMissing = 2,   // never download while the file exists
        IfModified = 3,  // download when the server's time is later than the local file's
    };

    std::string id;               // the host's own; never read by the library
    Tiskel::ioPath localPath;     // the file as the application uses it
    Tiskel::ioPath tempPath;      // where a download is written while in progress
    Tiskel::ioPath downloadPath;  // where a finished download is renamed to
    std::string category;         // first half of the trace identifier
    std::string name;             // second half of the trace identifier
    std::string remotePath;       // path on the server relative to `baseUrl`
    std::string baseUrl;          // server base URL
    int32_t postProcessing = 0;   // non-zero: run the post-processor after a download
    UpdatePolicy updatePolicy = Always;
    int32_t localCopyPolicy = 0;  // 1: an existing local file is reported Available at once
    // The size of the whole file at `localPath`, or -1 when not known. Read only when the
    // manager's `Params::repairSizeMismatch` is on: a present file of another size is then
    // downloaded again, whatever the update policy.
    int64_t expectedSize = -1;
};

// A group of descriptors registered and observed as one resource. Owned by the host and kept
// alive as long as the scheduler; identified by address. Like a descriptor, it is read without
// a lock and must not change once registered.
struct ResourceDescriptorBundle {
    std::set<ResourceDescriptor const*> descriptors;
};

}  // namespace Tiskel::App
