#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
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
// Both services are only ever given descriptors of their catalogue. Thread-safe: calls for
// different files run at once; one file is never checked by two threads at once.
namespace Tiskel::ResourceSync {

class Catalogue;
class SyncState;

// The lower-case hexadecimal SHA-256 of the file at `path`. False, with `problem` set, when the
// file cannot be read.
bool sha256OfFile(std::string const& path, std::string& digest, std::string& problem);

// What the validator remembers of each local file within one round (one byte a file).
class Verdicts {
  public:
    // Set by the MirrorDownloader, which checks each download before it tries the next source,
    // for the post-processor: Staged, the staged download matches (it is not hashed again);
    // Rejected, no source had the file the manifest means, which the downloader removed and
    // gave the reasons for (the file fails as Corrupted).
    enum Verdict : uint8_t { Unknown = 0, Matches = 1, Differs = 2, Staged = 3, Rejected = 4 };
    explicit Verdicts(std::size_t files) : verdicts(new std::atomic<uint8_t>[files]()) {}
    Verdict get(std::size_t file) const { return static_cast<Verdict>(verdicts[file].load()); }
    void set(std::size_t file, Verdict verdict) { verdicts[file].store(verdict); }

  private:
    std::unique_ptr<std::atomic<uint8_t>[]> verdicts;
};

// For the `validate` policy: Invalid when the local file is missing or its digest differs from
// the manifest's. Each local file is hashed at most once per round; a file the post-processor
// has just verified and moved into place is not hashed again.
class DigestValidator final : public App::IValidator {
  public:
    DigestValidator(Catalogue const& catalogue, std::shared_ptr<Verdicts> verdicts)
        : catalogue(catalogue), verdicts(std::move(verdicts)) {}
    Result validate(App::ResourceDescriptor const* descriptor) const override;

  private:
    Catalogue const& catalogue;
    std::shared_ptr<Verdicts> const verdicts;
};

// Checks the staged download (unless its verdict is Staged or Rejected) and moves it into place
// (see above). A
// failure's reason goes to `state`.
class DigestPostProcessor final : public App::IPostProcessor {
  public:
    DigestPostProcessor(Catalogue const& catalogue, SyncState& state,
                        std::shared_ptr<Verdicts> verdicts)
        : catalogue(catalogue), state(state), verdicts(std::move(verdicts)) {}
    Result process(App::ResourceDescriptor const* descriptor) const override;

  private:
    Catalogue const& catalogue;
    SyncState& state;
    std::shared_ptr<Verdicts> const verdicts;
};

}  // namespace Tiskel::ResourceSync
