#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "App/ResourceDownloadManager/ResourceDescriptor.h"

// The manifest: which remote files a folder should hold. A JSON document
//
//   {
//     "baseUrl": "https://example.org/content/",
//     "mirrors": ["https://mirror.example.net/content/"],   (optional)
//     "target": "content",                         (optional)
//     "policy": "ifModified",                      (optional default for every file)
//     "bundles": [
//       { "name": "texts", "init": true, "policy": "always",      (all four optional)
//         "mirrors": [],
//         "files": [ { "path": "text/welcome.txt",                (remote, relative)
//                      "localPath": "welcome.txt",                (optional)
//                      "policy": "validate", "size": 74,          (optional)
//                      "sha256": "5fe4...c6" },                   (optional)
//                    "text/config.ini" ] } ] }                    (the short form: a path alone)
//
// Mirrors are other base URLs that serve the same files under the same paths; a file that fails
// on one source is tried on the next (see Mirrors.h). A bundle's own "mirrors" list, when it has
// one, takes the place of the top level's for its files (an empty list: the base URL alone);
// without one the bundle uses the top level's. The base URL always comes first.
//
// Plain values and free functions; thread-compatible.
namespace Tiskel::ResourceSync {

struct ManifestFile {
    std::string remotePath;  // relative to the base URL, as written in the manifest
    std::string localPath;   // relative to the target folder, normalised ("a/b", no "." parts)
    App::ResourceDescriptor::UpdatePolicy policy = App::ResourceDescriptor::IfModified;
    int64_t size = -1;   // bytes; -1 when the manifest does not say
    std::string sha256;  // 64 lower-case hexadecimal digits; empty when the manifest has none
};

struct ManifestBundle {
    std::string name;
    bool init = false;  // served by the init scheduler, ahead of every other bundle
    // The mirrors of its files, after the base URL: its own list, or else the top level's.
    std::vector<std::string> mirrors;
    std::vector<ManifestFile> files;
};

struct Manifest {
    std::string baseUrl;
    std::vector<std::string> mirrors;  // the top level's list, as written
    std::string target;                // as written; empty when the manifest names no target folder
    std::vector<ManifestBundle> bundles;
};

// Why a manifest was refused: one line a user can act on, naming the file and the place in it
// ("m.json:3:17: ..." for syntax, "m.json: bundles[2].files[5].sha256: ..." for content).
class ManifestError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Parses and checks a manifest held in `text`; `name` is how messages refer to it. Throws
// ManifestError on the first problem: JSON syntax, a missing or wrong-typed field, an unknown
// field or policy, a path that escapes the target folder or uses a reserved suffix, two files
// with one local path, a file where another file needs a folder, a malformed base URL or mirror,
// a mirror listed twice (or equal to the base URL), more than kMaxMirrors mirrors in one list.
Manifest parseManifest(std::string const& text, std::string const& name);

// The bytes of the manifest file at `path`; the path "-" reads standard input to its end. Throws
// ManifestError when it cannot be read.
std::string readManifest(std::string const& path);
// How messages name the manifest at `path`: the path, or "stdin" for "-".
std::string manifestName(std::string const& path);

// What a written manifest tells of each file.
enum class FolderDetail {
    PathsSizesDigests,
    PathsSizes,
    // Each file by its path alone, the short form: the quickest manifest to read, for folders
    // of very many files, at the price of progress lines without byte totals.
    Paths,
};

// A manifest (JSON text) for every regular file below `folder`: one bundle per top-level
// folder (files directly in `folder` form a bundle named after it), each file with its path
// and, as `detail` says, its size and SHA-256. Remote paths are the relative paths,
// percent-encoded where a URL needs it. Throws ManifestError when the folder cannot be read or
// the base URL is malformed.
std::string describeFolder(std::string const& folder, std::string const& baseUrl,
                           App::ResourceDescriptor::UpdatePolicy policy, FolderDetail detail);

// "always", "validate", "ifMissing" or "ifModified"; false for any other text.
bool parsePolicy(std::string const& text, App::ResourceDescriptor::UpdatePolicy& policy);
char const* policyName(App::ResourceDescriptor::UpdatePolicy policy);

// The most mirrors one list may hold.
inline constexpr std::size_t kMaxMirrors = 16;

// Empty when `url` is an absolute http or https URL with a host; otherwise what is wrong.
std::string checkBaseUrl(std::string const& url);

}  // namespace Tiskel::ResourceSync
