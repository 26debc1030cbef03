#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "App/ResourceDownloadManager/IResourceDownloader.h"

#include "Manifest.h"

// Failover between the sources of a file: its bundle's base URL and mirrors (GroupInfo::sources).
//
// A download that fails on one source (an HTTP error, no connection, a body whose SHA-256 is not
// the manifest's) is tried at once on the next, before the library's retry pause; only when every
// source failed does the file fail, with each source's reason. A source that failed goes to the
// end of the order for every file after it, for the rest of the run, so that a dead mirror costs
// one failed attempt, not one per file.
namespace Tiskel::ResourceSync {

class Catalogue;
class SyncState;
class Verdicts;

// Which sources failed, and how lately; shared by every download of a run. Thread-safe and
// lock-free: a download reads the ranking while others change it, and an order taken during a
// change is one of the two it lies between.
class SourceRanking {
  public:
    // The order in which to try a bundle's sources: places in its GroupInfo::sources.
    struct Order {
        std::array<uint8_t, kMaxMirrors + 1> places{};
        std::size_t count = 0;
    };

    // For the sources of a catalogue (Catalogue::sources()), none of which has failed.
    explicit SourceRanking(std::size_t sources);

    // The sources that never failed in their listed order, then those that failed, the one that
    // failed last at the end.
    Order order(std::vector<uint32_t> const& sources) const;
    // `source` (an index into Catalogue::sources()) failed just now.
    void failed(uint32_t source);

  private:
    // Per source: 0 while it never failed, else the number of its latest failure in the run.
    std::unique_ptr<std::atomic<uint64_t>[]> failedAt;
    std::atomic<uint64_t> failures{0};
};

// Decorates the downloader of a run whose manifest has mirrors: each file is tried on its
// bundle's sources in the ranking's order, with the base URL of its descriptor replaced. A file
// with a digest is checked after each download, and its verdict tells the DigestPostProcessor
// (Verdicts::Staged or Rejected), which then does not hash it again. A cancelled or aborted
// download ends at once, on whichever source it ran. The source that served a file goes to the
// SyncState, and so does the reason when every source failed.
//
// Thread-safe, as the library calls it from several download threads at once.
class MirrorDownloader final : public App::IResourceDownloader {
  public:
    // Every descriptor it is given belongs to `catalogue`; `catalogue` and `state` outlive it.
    MirrorDownloader(std::shared_ptr<App::IResourceDownloader> inner, Catalogue const& catalogue,
                     SyncState& state, std::shared_ptr<SourceRanking> ranking,
                     std::shared_ptr<Verdicts> verdicts);

    Result exec(Task task) const override;
    void abort() override;
    int64_t requestLastModified(App::ResourceDescriptor const* descriptor) const override;
    // The first answer of a source in the ranking's order that answered at all.
    LastModified checkLastModified(App::ResourceDescriptor const* descriptor) const override;

  private:
    std::shared_ptr<App::IResourceDownloader> const inner;
    Catalogue const& catalogue;
    SyncState& state;
    std::shared_ptr<SourceRanking> const ranking;
    std::shared_ptr<Verdicts> const verdicts;
};

}  // namespace Tiskel::ResourceSync
