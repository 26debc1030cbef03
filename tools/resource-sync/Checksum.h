#pragma once

#include <string>

#include "App/ResourceDownloadManager/IPostProcessor.h"
#include "App/ResourceDownloadManager/IValidator.h"

// SHA-256 checks built on the library's validator and post-processor seams, so that a download
// whose digest differs from the manifest's never replaces a good local file.
//
// A file with a digest downloads to a staging path beside its local path (its `downloadPath`)
// with post-processing on. The post-processor hashes the staged file and only on a match renames
// it over the local file; on a mismatch it removes the staged file and fails, which the library
// records as Error / Corrupted with the old local file untouched.
//
// Both services are only ever given descriptors that are SyncFiles. Thread-safe: calls for
// different files run at once; one file is never checked by two threads at once.
namespace Tiskel::ResourceSync {

class SyncState;

// The lower-case hexadecimal SHA-256 of the file at `path`. False, with `problem` set, when the
// file cannot be read.
bool sha256OfFile(std::string const& path, std::string& digest, std::string& problem);

// For the `validate` policy: Invalid when the local file is missing or its digest differs from
// the manifest's. Each local file is hashed at most once per round; a file the post-processor
// has just verified and moved into place is not hashed again.
class DigestValidator final : public App::IValidator {
  public:
    Result validate(App::ResourceDescriptor const* descriptor) const override;
};

// Checks the staged download and moves it into place (see above). Failures leave their reason
// in the file's entry of `state`.
class DigestPostProcessor final : public App::IPostProcessor {
  public:
    explicit DigestPostProcessor(SyncState& state) : state(state) {}
    Result process(App::ResourceDescriptor const* descriptor) const override;

  private:
    SyncState& state;
};

}  // namespace Tiskel::ResourceSync
