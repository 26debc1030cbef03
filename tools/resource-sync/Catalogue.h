#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "App/ResourceDownloadManager/ResourceDescriptor.h"

#include "Manifest.h"

// The files of a sync as the library sees them (descriptors grouped in bundles), with the little
// the sync adds per file. Built once from the manifest; constant afterwards, so every thread may
// read it without a lock.
//
// Files are kept in one array, bundle by bundle: a file's index is its descriptor's place in the
// array, which is how the sync finds its own record for a descriptor the library hands back,
// and a bundle's files are one range of it. The arrays never grow after the build, because the
// library identifies descriptors and bundles by address.
namespace Tiskel::ResourceSync {

// What the sync knows of one file besides its descriptor. 16 bytes.
struct FileInfo {
    int64_t size = -1;            // from the manifest; -1 when unknown
    uint32_t group = 0;           // index of its bundle
    uint32_t digest = kNoDigest;  // index into Catalogue::digests, or kNoDigest
    static constexpr uint32_t kNoDigest = UINT32_MAX;
};

// One manifest bundle.
struct GroupInfo {
    std::string name;
    bool init = false;
    std::size_t first = 0;  // index of its first file
    std::size_t count = 0;
    uint64_t sizeTotal = 0;  // sum of the manifest sizes
    bool sizesKnown = true;  // every file has a size
    // Where its files are fetched from, in the manifest's order: indices into
    // Catalogue::sources(), the base URL (0) first, then the bundle's mirrors.
    std::vector<uint32_t> sources;
};

class Catalogue {
  public:
    // Takes the manifest apart (its strings are moved) into descriptors below `target`.
    // With `traceNames` each descriptor also gets its relative path as its trace name. With
    // `verify` every file that has a digest is checked against it, whatever its policy.
    Catalogue(Manifest manifest, std::string const& target, bool traceNames, bool verify = false);
    Catalogue(Catalogue const&) = delete;
    Catalogue& operator=(Catalogue const&) = delete;

    std::size_t size() const noexcept { return descriptors.size(); }
    App::ResourceDescriptor const& descriptor(std::size_t index) const {
        return descriptors[index];
    }
    // The index of a descriptor of this catalogue.
    std::size_t indexOf(App::ResourceDescriptor const* descriptor) const noexcept {
        return static_cast<std::size_t>(descriptor - descriptors.data());
    }
    bool contains(App::ResourceDescriptor const* descriptor) const noexcept {
        return descriptor >= descriptors.data() && descriptor < descriptors.data() + size();
    }
    FileInfo const& info(std::size_t index) const { return infos[index]; }
    // The file's place below the target folder ("a/b.txt").
    std::string_view relativePath(std::size_t index) const;
    // The expected SHA-256 (64 lower-case hexadecimal digits), or empty.
    std::string const& digest(std::size_t index) const;

    std::vector<GroupInfo> const& groups() const noexcept { return groupInfos; }
    App::ResourceDescriptorBundle const& bundle(std::size_t group) const { return bundles[group]; }
    // The index of a bundle of this catalogue.
    std::size_t groupOf(App::ResourceDescriptorBundle const* bundle) const noexcept {
        return static_cast<std::size_t>(bundle - bundles.data());
    }
    std::string const& target() const noexcept { return targetPrefix; }
    // Every base URL of the manifest, each once: the base URL first, then the mirrors in the
    // order they first appear.
    std::vector<std::string> const& sources() const noexcept { return sourceUrls; }
    // Some bundle has a mirror.
    bool hasMirrors() const noexcept { return sourceUrls.size() > 1; }

    // Leaves a file out of its bundle, or puts it back, for the rounds to come.
    // REQUIRES: no round is running (the library reads the bundles).
    void setExcluded(std::size_t index, bool excluded);

  private:
    std::string targetPrefix;  // the target folder with a trailing '/', or empty
    std::vector<App::ResourceDescriptor> descriptors;
    std::vector<FileInfo> infos;
    std::vector<std::string> digests;
    std::vector<App::ResourceDescriptorBundle> bundles;
    std::vector<GroupInfo> groupInfos;
    std::vector<std::string> sourceUrls;
};

}  // namespace Tiskel::ResourceSync
