#include "Mirrors.h"

#include <cstdio>
#include <optional>
#include <string>
#include <utility>

#include "App/ResourceDownloadManager/ResourceDescriptor.h"
#include "Platform/Networking/Url.h"

#include "Catalogue.h"
#include "Checksum.h"
#include "SyncState.h"

namespace Tiskel::ResourceSync {

namespace {

using App::FileFailure;
using App::ResourceDescriptor;

// The descriptor to hand the inner downloader for a source: the file's own for the base URL,
// otherwise a copy with the mirror as its base URL, made once per download and then reused.
class SourceDescriptor {
  public:
    SourceDescriptor(ResourceDescriptor const* original, Catalogue const& catalogue)
        : original(original), catalogue(catalogue) {}

    ResourceDescriptor const* at(uint32_t source) {
        if (source == 0) {
            return original;
        }
        if (!copy) {
            copy.emplace(*original);
        }
        copy->baseUrl = catalogue.sources()[source];
        return &*copy;
    }

  private:
    ResourceDescriptor const* const original;
    Catalogue const& catalogue;
    std::optional<ResourceDescriptor> copy;
};

}  // namespace

SourceRanking::SourceRanking(std::size_t sources)
    : failedAt(new std::atomic<uint64_t>[sources]()) {}

SourceRanking::Order SourceRanking::order(std::vector<uint32_t> const& sources) const {
    Order order;
    std::array<uint64_t, kMaxMirrors + 1> stamps{};
    order.count = sources.size();
    // An insertion sort by the time of the latest failure (0: never), stable, over a snapshot:
    // a list holds at most a few sources.
    for (std::size_t i = 0; i < order.count; ++i) {
        uint64_t const stamp = failedAt[sources[i]].load(std::memory_order_relaxed);
        std::size_t at = i;
        for (; at > 0 && stamps[at - 1] > stamp; --at) {
            stamps[at] = stamps[at - 1];
            order.places[at] = order.places[at - 1];
        }
        stamps[at] = stamp;
        order.places[at] = static_cast<uint8_t>(i);
    }
    return order;
}

void SourceRanking::failed(uint32_t source) {
    failedAt[source].store(failures.fetch_add(1, std::memory_order_relaxed) + 1,
                           std::memory_order_relaxed);
}

MirrorDownloader::MirrorDownloader(std::shared_ptr<App::IResourceDownloader> inner,
                                   Catalogue const& catalogue, SyncState& state,
                                   std::shared_ptr<SourceRanking> ranking,
                                   std::shared_ptr<Verdicts> verdicts)
    : inner(std::move(inner)),
      catalogue(catalogue),
      state(state),
      ranking(std::move(ranking)),
      verdicts(std::move(verdicts)) {}

App::IResourceDownloader::Result MirrorDownloader::exec(Task task) const {
    ResourceDescriptor const* const original = task.descriptor;
    std::size_t const file = catalogue.indexOf(original);
    std::vector<uint32_t> const& sources = catalogue.groups()[catalogue.info(file).group].sources;
    if (sources.size() == 1) {
        return inner->exec(std::move(task));
    }
    FileFailure ignored;
    FileFailure& failure = task.failure != nullptr ? *task.failure : ignored;
    std::string const& expected = catalogue.digest(file);
    SourceRanking::Order const order = ranking->order(sources);
    SourceDescriptor descriptors(original, catalogue);
    // What the file fails with when every source failed: the last failure of a source that
    // answered, else the last one (so the file counts as unreachable only when every source was).
    Result result = Failed;
    FileFailure returned;
    std::string reasons;
    for (std::size_t k = 0; k < order.count; ++k) {
        uint32_t const source = sources[order.places[k]];
        FileFailure attempt;
        task.descriptor = descriptors.at(source);
        task.failure = &attempt;
        Result outcome = inner->exec(task);
        if (outcome == Cancelled || (outcome != Success && outcome != NotModified &&
                                     task.isCancelled && task.isCancelled())) {
            failure = std::move(attempt);
            return outcome;
        }
        if (outcome == Success && !expected.empty()) {
            std::string const staged = original->downloadPath.string();
            std::string digest;
            std::string problem;
            // A file that cannot be read is no fault of the source: the post-processor says so.
            if (sha256OfFile(staged, digest, problem) && digest != expected) {
                std::remove(staged.c_str());
                attempt.kind = FileFailure::Rejected;
                attempt.text = "SHA-256 mismatch: expected " + expected + ", got " + digest;
                outcome = Failed;
            } else if (problem.empty()) {
                verdicts->set(file, Verdicts::Staged);
            }
        }
        if (outcome == Success || outcome == NotModified) {
            if (outcome == Success) {
                state.setSource(file, order.places[k]);
            }
            failure = std::move(attempt);
            return outcome;
        }
        ranking->failed(source);
        std::string const url = urlOf(task.descriptor->baseUrl, original->remotePath);
        reasons += (reasons.empty() ? "" : "; ") + describeFailure(attempt, url);
        if (attempt.kind == FileFailure::Rejected) {
            reasons += " from " + Networking::maskCredentials(url);
        }
        if (k == 0 || outcome != ConnectionLost || result == ConnectionLost) {
            result = outcome;
            returned = std::move(attempt);
        }
    }
    state.setReason(file, std::move(reasons));
    if (returned.kind == FileFailure::Rejected) {
        // A wrong file is Corrupted, as without mirrors: the post-processor fails it.
        verdicts->set(file, Verdicts::Rejected);
        return Success;
    }
    failure = std::move(returned);
    return result;
}

void MirrorDownloader::abort() {
    inner->abort();
}

int64_t MirrorDownloader::requestLastModified(ResourceDescriptor const* descriptor) const {
    return checkLastModified(descriptor).time;
}

App::IResourceDownloader::LastModified MirrorDownloader::checkLastModified(
    ResourceDescriptor const* descriptor) const {
    std::vector<uint32_t> const& sources =
        catalogue.groups()[catalogue.info(catalogue.indexOf(descriptor)).group].sources;
    if (sources.size() == 1) {
        return inner->checkLastModified(descriptor);
    }
    SourceRanking::Order const order = ranking->order(sources);
    SourceDescriptor descriptors(descriptor, catalogue);
    LastModified answer;
    for (std::size_t k = 0; k < order.count; ++k) {
        uint32_t const source = sources[order.places[k]];
        answer = inner->checkLastModified(descriptors.at(source));
        if (!answer.failure.failed() || answer.failure.kind == FileFailure::Cancelled) {
            return answer;
        }
        ranking->failed(source);
    }
    return answer;
}

}  // namespace Tiskel::ResourceSync
