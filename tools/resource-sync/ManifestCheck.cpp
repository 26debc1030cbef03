#include "ManifestCheck.h"

#include <algorithm>
#include <cctype>
#include <initializer_list>
#include <string_view>
#include <vector>

#include <QJsonArray>
#include <QJsonObject>
#include <QUrl>

#include "TargetFolder.h"

namespace Tiskel::ResourceSync {

namespace {

using App::ResourceDescriptor;

// Largest integer a JSON number (a double) holds exactly.
constexpr double kLargestExactInteger = 9007199254740992.0;

// The UTF-8 text of a JSON string. Manifest strings are nearly always ASCII, which is narrowed
// straight into the result instead of going through QString::toStdString's intermediate byte
// array.
std::string utf8(QString const& text) {
    auto const length = static_cast<std::size_t>(text.size());
    QChar const* const chars = text.constData();
    std::string result(length, '\0');
    for (std::size_t i = 0; i < length; ++i) {
        ushort const c = chars[i].unicode();
        if (c >= 0x80) {
            return text.toStdString();
        }
        result[i] = static_cast<char>(c);
    }
    return result;
}

// Calls `visit` with each '/'-separated part of `path`, empty parts included.
template <class Visit>
void forEachPart(std::string const& path, Visit visit) {
    size_t start = 0;
    for (;;) {
        size_t const slash = path.find('/', start);
        visit(std::string_view(path).substr(start, slash - start));
        if (slash == std::string::npos) {
            return;
        }
        start = slash + 1;
    }
}

// Paths, each with the entry that claimed it first: an open-addressing table of indices into
// one array of claims. A manifest of a million files costs a few large allocations here rather
// than a node per file, and a look-up touches two arrays instead of a chain of nodes.
template <class Value>
class ClaimTable {
  public:
    // Room for `count` claims in all; growing by at least half keeps many small calls cheap.
    void reserve(std::size_t count) {
        if (count > claims.capacity()) {
            claims.reserve(std::max(count, claims.capacity() + claims.capacity() / 2));
        }
        if (count * 2 > buckets.size()) {
            rehash(count * 2);
        }
    }

    // Claims `path` for `value`, or returns the earlier claim's value and claims nothing. The
    // table keeps the view: the text must outlive it.
    Value const* claim(std::string_view path, Value value) {
        std::size_t const hash = std::hash<std::string_view>()(path);
        std::size_t const slot = find(path, hash);
        if (buckets[slot] != 0) {
            return &claims[buckets[slot] - 1].value;
        }
        claims.push_back(Claim{path, hash, value});
        buckets[slot] = static_cast<uint32_t>(claims.size());
        if (claims.size() * 2 > buckets.size()) {
            rehash(buckets.size() * 2);
        }
        return nullptr;
    }

  private:
    struct Claim {
        std::string_view path;
        std::size_t hash;
        Value value;
    };

    // The slot holding `path`, or the empty slot where it would go.
    std::size_t find(std::string_view path, std::size_t hash) const {
        std::size_t const mask = buckets.size() - 1;
        for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
            uint32_t const index = buckets[slot];
            if (index == 0 || (claims[index - 1].hash == hash && claims[index - 1].path == path)) {
                return slot;
            }
        }
    }

    void rehash(std::size_t least) {
        std::size_t size = 16;
        while (size < least) {
            size *= 2;
        }
        buckets.assign(size, 0);
        for (std::size_t i = 0; i < claims.size(); ++i) {
            std::size_t slot = claims[i].hash & (size - 1);
            while (buckets[slot] != 0) {
                slot = (slot + 1) & (size - 1);
            }
            buckets[slot] = static_cast<uint32_t>(i + 1);
        }
    }

    std::vector<Claim> claims;
    std::vector<uint32_t> buckets =
        std::vector<uint32_t>(16, 0);  // index + 1 into `claims`, 0 empty
};

// Walks the document and stops at the first problem with a message that names its JSON path.
// The path is only put into words when something is wrong: a large manifest is checked without
// building a string per entry.
class Checker {
  public:
    explicit Checker(std::string name) : name(std::move(name)) {}

    Manifest check(QJsonDocument const& document) {
        if (!document.isObject()) {
            fail("the manifest must be a JSON object");
        }
        QJsonObject const root = document.object();
        allowOnly(root, {"baseUrl", "mirrors", "target", "policy", "bundles"});
        Manifest manifest;
        manifest.baseUrl = requiredString(root, "baseUrl");
        if (std::string const problem = checkBaseUrl(manifest.baseUrl); !problem.empty()) {
            fail(problem, "baseUrl");
        }
        baseUrl = &manifest.baseUrl;
        mirrors = &manifest.mirrors;
        optionalMirrors(root, manifest.mirrors);
        manifest.target = optionalString(root, "target");
        checkTarget(manifest.target);
        ResourceDescriptor::UpdatePolicy const policy =
            optionalPolicy(root, ResourceDescriptor::IfModified);
        QJsonArray const bundles = requiredArray(root, "bundles");
        manifest.bundles.reserve(bundles.size());
        for (int b = 0; b < bundles.size(); ++b) {
            here = {b, -1};
            manifest.bundles.push_back(bundle(bundles[b], policy));
        }
        return manifest;
    }

  private:
    // The entry being checked: a bundle index, and a file index or -1 for the bundle itself;
    // {-1, -1} is the top level.
    struct Place {
        int bundle = -1;
        int file = -1;

        std::string text() const {
            if (bundle < 0) {
                return {};
            }
            std::string text = "bundles[" + std::to_string(bundle) + "]";
            return file < 0 ? text : text + ".files[" + std::to_string(file) + "]";
        }
    };

    [[noreturn]] void fail(std::string const& what, std::string const& key = {}) const {
        std::string where = here.text();
        if (!key.empty()) {
            where += (where.empty() ? "" : ".") + key;
        }
        throw ManifestError(name + ": " + (where.empty() ? "" : where + ": ") + what);
    }

    void allowOnly(QJsonObject const& object, std::initializer_list<char const*> keys) const {
        for (auto it = object.begin(); it != object.end(); ++it) {
            QString const key = it.key();
            if (std::none_of(keys.begin(), keys.end(),
                             [&](char const* k) { return key == QLatin1String(k); })) {
                fail("unknown field", key.toStdString());
            }
        }
    }

    std::string requiredString(QJsonObject const& object, char const* key) const {
        return requiredString(object.value(QLatin1String(key)), key);
    }

    std::string requiredString(QJsonValue const& value, char const* key) const {
        if (value.isUndefined()) {
            fail("missing (a string is required)", key);
        }
        if (!value.isString()) {
            fail("expected a string", key);
        }
        return utf8(value.toString());
    }

    std::string optionalString(QJsonObject const& object, char const* key) const {
        return optionalString(object.value(QLatin1String(key)), key);
    }

    std::string optionalString(QJsonValue const& value, char const* key) const {
        if (value.isUndefined()) {
            return {};
        }
        if (!value.isString()) {
            fail("expected a string", key);
        }
        return utf8(value.toString());
    }

    QJsonArray requiredArray(QJsonObject const& object, char const* key) const {
        QJsonValue const value = object.value(QLatin1String(key));
        if (value.isUndefined()) {
            fail("missing (an array is required)", key);
        }
        if (!value.isArray()) {
            fail("expected an array", key);
        }
        return value.toArray();
    }

    // Reads the "mirrors" of `object` into `list`; false when it has none. Each mirror is a base
    // URL of its own, neither the manifest's base URL nor one listed before it.
    bool optionalMirrors(QJsonObject const& object, std::vector<std::string>& list) const {
        QJsonValue const value = object.value(QLatin1String("mirrors"));
        if (value.isUndefined()) {
            return false;
        }
        if (!value.isArray()) {
            fail("expected an array of URLs", "mirrors");
        }
        QJsonArray const urls = value.toArray();
        if (static_cast<std::size_t>(urls.size()) > kMaxMirrors) {
            fail("at most " + std::to_string(kMaxMirrors) + " mirrors", "mirrors");
        }
        // Two spellings of one base differ at most by the '/' the URL of a file puts after it.
        auto const sameBase = [](std::string_view a, std::string_view b) {
            auto const trimmed = [](std::string_view url) {
                return url.empty() || url.back() != '/' ? url : url.substr(0, url.size() - 1);
            };
            return trimmed(a) == trimmed(b);
        };
        for (int i = 0; i < urls.size(); ++i) {
            std::string const key = "mirrors[" + std::to_string(i) + "]";
            if (!urls[i].isString()) {
                fail("expected a string", key);
            }
            std::string url = utf8(urls[i].toString());
            if (std::string const problem = checkBaseUrl(url); !problem.empty()) {
                fail(problem, key);
            }
            if (sameBase(url, *baseUrl)) {
                fail("\"" + url + "\" is the base URL", key);
            }
            for (std::string const& earlier : list) {
                if (sameBase(url, earlier)) {
                    fail("\"" + url + "\" is listed twice", key);
                }
            }
            list.push_back(std::move(url));
        }
        return true;
    }

    ResourceDescriptor::UpdatePolicy optionalPolicy(QJsonObject const& object,
                                                    ResourceDescriptor::UpdatePolicy fallback) {
        return optionalPolicy(object.value(QLatin1String("policy")), fallback);
    }

    ResourceDescriptor::UpdatePolicy optionalPolicy(QJsonValue const& value,
                                                    ResourceDescriptor::UpdatePolicy fallback) {
        if (value.isUndefined()) {
            return fallback;
        }
        std::string const text = optionalString(value, "policy");
        ResourceDescriptor::UpdatePolicy policy = fallback;
        if (!parsePolicy(text, policy)) {
            fail("unknown policy \"" + text +
                     "\" (expected always, ifMissing, ifModified or validate)",
                 "policy");
        }
        return policy;
    }

    ManifestBundle bundle(QJsonValue const& value, ResourceDescriptor::UpdatePolicy policy) {
        if (!value.isObject()) {
            fail("expected an object");
        }
        QJsonObject const object = value.toObject();
        allowOnly(object, {"name", "init", "policy", "mirrors", "files"});
        ManifestBundle listed;
        if (!optionalMirrors(object, listed.mirrors)) {
            listed.mirrors = *mirrors;
        }
        listed.name = optionalString(object, "name");
        if (listed.name.empty()) {
            listed.name = "bundle " + std::to_string(here.bundle + 1);
        }
        QJsonValue const init = object.value(QLatin1String("init"));
        if (!init.isUndefined() && !init.isBool()) {
            fail("expected true or false", "init");
        }
        listed.init = init.toBool(false);
        policy = optionalPolicy(object, policy);
        QJsonArray const files = requiredArray(object, "files");
        // The claims keep views of the local paths in `listed.files`, whose elements therefore
        // must never move: the vector gets its final size before the first one is made.
        listed.files.reserve(files.size());
        claimed += static_cast<std::size_t>(files.size());
        paths.reserve(claimed);
        for (int f = 0; f < files.size(); ++f) {
            here.file = f;
            file(files[f], policy, listed.files.emplace_back());
        }
        return listed;
    }

    // Fills `listed`, a new element of its bundle's files, from the entry `value`.
    void file(QJsonValue const& value, ResourceDescriptor::UpdatePolicy policy,
              ManifestFile& listed) {
        if (value.isString()) {
            // The short form: the remote path alone, everything else by default. Qt reads a
            // string many times faster than an object, which counts in a manifest of 100,000.
            listed.remotePath = utf8(value.toString());
            checkRemotePath(listed.remotePath);
            listed.localPath = normaliseLocalPath(decoded(listed.remotePath), "path");
            listed.policy = policy;
            if (policy == ResourceDescriptor::Validate) {
                fail("the validate policy needs the file's sha256: give the file as an object");
            }
            claim(listed.localPath);
            return;
        }
        if (!value.isObject()) {
            fail("expected an object or a string");
        }
        QJsonObject const object = value.toObject();
        // Each field is looked up at most once, the usual ones first, and no more are looked up
        // once every field of the entry has been found (a look-up of a missing field compares
        // every name the entry has). Only an entry with fields left over has one that is not
        // allowed, and only then are its names compared with the allowed ones.
        int const fields = object.size();
        int found = 0;
        auto lookUp = [&](char const* key) {
            if (found == fields) {
                return QJsonValue(QJsonValue::Undefined);
            }
            QJsonValue value = object.value(QLatin1String(key));
            found += value.isUndefined() ? 0 : 1;
            return value;
        };
        QJsonValue const path = lookUp("path");
        QJsonValue const size = lookUp("size");
        QJsonValue const sha256 = lookUp("sha256");
        QJsonValue const localPath = lookUp("localPath");
        QJsonValue const filePolicy = lookUp("policy");
        if (found != fields) {
            allowOnly(object, {"path", "localPath", "policy", "size", "sha256"});
        }
        listed.remotePath = requiredString(path, "path");
        checkRemotePath(listed.remotePath);
        bool const explicitLocal = !localPath.isUndefined();
        // By default a file keeps its place on the server, with the URL's escapes decoded.
        std::string const wanted =
            explicitLocal ? optionalString(localPath, "localPath") : decoded(listed.remotePath);
        listed.localPath = normaliseLocalPath(wanted, explicitLocal ? "localPath" : "path");
        listed.policy = optionalPolicy(filePolicy, policy);

        if (!size.isUndefined()) {
            double const bytes = size.toDouble(-1);
            if (!size.isDouble() || bytes < 0 || bytes > kLargestExactInteger ||
                bytes != static_cast<double>(static_cast<int64_t>(bytes))) {
                fail("expected a whole number of bytes, 0 or more", "size");
            }
            listed.size = static_cast<int64_t>(bytes);
        }
        if (!sha256.isUndefined()) {
            std::string digest = sha256.isString() ? utf8(sha256.toString()) : "";
            bool const hex = digest.size() == 64 &&
                             std::all_of(digest.begin(), digest.end(),
                                         [](unsigned char c) { return std::isxdigit(c) != 0; });
            if (!hex) {
                fail("expected a string of 64 hexadecimal digits", "sha256");
            }
            std::transform(digest.begin(), digest.end(), digest.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            listed.sha256 = std::move(digest);
        }
        if (listed.policy == ResourceDescriptor::Validate && listed.sha256.empty()) {
            fail("missing: the validate policy checks the file against it", "sha256");
        }
        claim(listed.localPath);
    }

    // Whoever wrote the manifest chooses what is inside the target, never where the target is:
    // it stays below the manifest's own folder. (`--dir` on the command line goes anywhere.)
    void checkTarget(std::string const& target) const {
        if (!target.empty() && target.front() == '/') {
            fail("\"" + target + "\" must be relative to the manifest's folder", "target");
        }
        int depth = 0;
        forEachPart(target, [&](std::string_view part) {
            depth += part == ".." ? -1 : (part.empty() || part == "." ? 0 : 1);
            if (depth < 0) {
                fail("\"" + target + "\" leads out of the manifest's folder", "target");
            }
        });
    }

    // A remote path with the URL's escapes decoded, as the default local path. Most paths have
    // no escapes and are taken as they are.
    static std::string decoded(std::string const& remotePath) {
        if (remotePath.find('%') == std::string::npos) {
            return remotePath;
        }
        return QUrl::fromPercentEncoding(QByteArray::fromStdString(remotePath)).toStdString();
    }

    void checkRemotePath(std::string const& path) const {
        if (path.empty()) {
            fail("must not be empty", "path");
        }
        if (path.front() == '/') {
            fail("must be relative to the base URL (no leading '/')", "path");
        }
        for (unsigned char c : path) {
            if (c < 0x20 || c == 0x7f || c == ' ' || c == '?' || c == '#' || c == '\\') {
                fail("has a character that must be percent-encoded", "path");
            }
        }
        forEachPart(path, [&](std::string_view part) {
            if (part == "..") {
                fail("must not use \"..\"", "path");
            }
        });
    }

    // "a/./b//c" becomes "a/b/c"; an absolute path, a ".." part or an empty result is refused.
    std::string normaliseLocalPath(std::string const& path, char const* key) const {
        if (!path.empty() && path.front() == '/') {
            fail("\"" + path + "\" escapes the target folder (absolute path)", key);
        }
        std::string result;
        result.reserve(path.size());
        forEachPart(path, [&](std::string_view part) {
            if (part.empty() || part == ".") {
                return;
            }
            if (part == "..") {
                fail("\"" + path + "\" escapes the target folder (\"..\")", key);
            }
            if (part.find('\0') != std::string_view::npos) {
                fail("has a NUL character", key);
            }
            if (!result.empty()) {
                result += '/';
            }
            result += part;
        });
        if (result.empty()) {
            fail("names no file", key);
        }
        // A leftover of a sync must never be mistaken for a resource, nor a resource be
        // removed as a leftover.
        if (isOwnName(std::string_view(result).substr(result.rfind('/') + 1))) {
            fail("\"" + path + "\" is a name the sync uses for its own files (" + kLockName +
                     ", NAME.resource-sync-PID.part, NAME.resource-sync-PID.new)",
                 key);
        }
        return result;
    }

    // Records that `path` is a file and that its parents are folders; refuses a second file at
    // the same place and a file where another file needs a folder. Files and folders share one
    // table, so that a file costs one look-up. `path` is kept by reference (a folder as the
    // leading part of the first path that needs it): it must stay where it is until the check
    // ends.
    void claim(std::string const& path) {
        if (Claimant const* const earlier = paths.claim(path, {here, false})) {
            fail("local path \"" + path + "\" is " +
                 (earlier->folder ? "a folder of " : "also the local path of ") +
                 earlier->place.text());
        }
        // Files come folder by folder: the folder of the previous file needs no second look.
        size_t const last = path.rfind('/');
        if (last == std::string::npos ||
            (last == lastFolder.size() && path.compare(0, last, lastFolder) == 0)) {
            return;
        }
        lastFolder.assign(path, 0, last);
        // From the nearest folder up; a folder already known has its parents known too.
        for (size_t slash = last; slash != std::string::npos && slash > 0;
             slash = path.rfind('/', slash - 1)) {
            std::string_view const folder = std::string_view(path).substr(0, slash);
            if (Claimant const* const earlier = paths.claim(folder, {here, true})) {
                if (earlier->folder) {
                    break;
                }
                fail("needs \"" + std::string(folder) +
                     "\" as a folder, but it is the local path of " + earlier->place.text());
            }
        }
    }

    std::string const name;
    Place here;
    // The manifest's base URL and top-level mirrors, once read.
    std::string const* baseUrl = nullptr;
    std::vector<std::string> const* mirrors = nullptr;
    // Local paths seen so far (views of the files' own paths) and the folders they need, each
    // with the entry that claimed it first.
    struct Claimant {
        Place place;
        bool folder = false;
    };
    ClaimTable<Claimant> paths;
    std::size_t claimed = 0;  // files listed so far, with those of the bundle being read
    std::string lastFolder;
};

}  // namespace

Manifest checkManifest(QJsonDocument const& document, std::string const& name) {
    return Checker(name).check(document);
}

}  // namespace Tiskel::ResourceSync
