#include "Catalogue.h"

#include <algorithm>
#include <set>
#include <utility>

#include "TargetFolder.h"

namespace Tiskel::ResourceSync {

Catalogue::Catalogue(Manifest manifest, std::string const& target, bool traceNames, bool verify)
    : targetPrefix(target.empty() || target.back() == '/' ? target : target + "/") {
    std::size_t files = 0;
    for (ManifestBundle const& bundle : manifest.bundles) {
        files += bundle.files.size();
    }
    // Each descriptor is made just before it is filled, while its memory is at hand; the
    // arrays never grow past this, since the bundles hold the descriptors' addresses.
    descriptors.reserve(files);
    infos.reserve(files);
    bundles.resize(manifest.bundles.size());
    groupInfos.resize(manifest.bundles.size());

    // Every file costs a handful of allocations here, and a large manifest has many files: the
    // manifest's own strings are moved, and each path is built once, at its final size.
    std::string const part = partSuffix();
    std::string const staged = stagedSuffix();
    std::string scratch;
    std::size_t index = 0;
    sourceUrls.push_back(manifest.baseUrl);
    for (std::size_t g = 0; g < manifest.bundles.size(); ++g) {
        ManifestBundle& bundle = manifest.bundles[g];
        GroupInfo& group = groupInfos[g];
        group.name = std::move(bundle.name);
        group.init = bundle.init;
        group.sources.push_back(0);
        for (std::string& mirror : bundle.mirrors) {
            auto const known = std::find(sourceUrls.begin(), sourceUrls.end(), mirror);
            group.sources.push_back(static_cast<uint32_t>(known - sourceUrls.begin()));
            if (known == sourceUrls.end()) {
                sourceUrls.push_back(std::move(mirror));
            }
        }
        group.first = index;
        group.count = bundle.files.size();
        std::set<App::ResourceDescriptor const*>& members = bundles[g].descriptors;
        for (ManifestFile& listed : bundle.files) {
            App::ResourceDescriptor& file = descriptors.emplace_back();
            FileInfo& info = infos.emplace_back();
            info.size = listed.size;
            info.group = static_cast<uint32_t>(g);
            group.sizeTotal += listed.size >= 0 ? static_cast<uint64_t>(listed.size) : 0;
            group.sizesKnown = group.sizesKnown && listed.size >= 0;

            // Each path is put together in `scratch`, which keeps its memory from file to file,
            // and copied once into its own block.
            scratch.assign(targetPrefix).append(listed.localPath);
            file.localPath = Tiskel::ioPath(scratch);
            std::size_t const localSize = scratch.size();
            // Temporary and staged files live next to the file, on the same filesystem, so
            // that moving them into place is a rename. Their names carry the run's process id.
            file.tempPath = Tiskel::ioPath(scratch.append(part));
            if (listed.sha256.empty()) {
                // The same text as the local path: the two share it.
                file.downloadPath = file.localPath;
            } else {
                scratch.resize(localSize);
                file.downloadPath = Tiskel::ioPath(scratch.append(staged));
                file.postProcessing = 1;
                info.digest = static_cast<uint32_t>(digests.size());
                digests.push_back(std::move(listed.sha256));
            }
            file.remotePath = std::move(listed.remotePath);
            file.baseUrl = manifest.baseUrl;
            if (traceNames) {
                file.category = group.name;
                file.name = std::move(listed.localPath);
            }
            // A file whose digest matches is the one the manifest means, whatever the server's
            // time says: with --verify the digest decides.
            file.updatePolicy = verify && info.digest != FileInfo::kNoDigest
                                    ? App::ResourceDescriptor::Validate
                                    : listed.policy;
            // A present file of another size is damaged: downloaded again under every policy.
            file.expectedSize = listed.size;
            // A file that only has to be there is settled when it is scheduled: the scheduler
            // looks for it on the spot and queues no check for a file it finds.
            file.localCopyPolicy = file.updatePolicy == App::ResourceDescriptor::IfMissing ? 1 : 0;
            // Files are made at rising addresses, so the hint is always right.
            members.insert(members.end(), &file);
            ++index;
        }
        // What the manifest held for this bundle is not needed any more.
        bundle.files = {};
    }
}

void Catalogue::setExcluded(std::size_t index, bool excluded) {
    std::set<App::ResourceDescriptor const*>& members = bundles[infos[index].group].descriptors;
    if (excluded) {
        members.erase(&descriptors[index]);
    } else {
        members.insert(&descriptors[index]);
    }
}

std::string_view Catalogue::relativePath(std::size_t index) const {
    return descriptors[index].localPath.view().substr(targetPrefix.size());
}

std::string const& Catalogue::digest(std::size_t index) const {
    static std::string const kNone;
    uint32_t const which = infos[index].digest;
    return which == FileInfo::kNoDigest ? kNone : digests[which];
}

}  // namespace Tiskel::ResourceSync
