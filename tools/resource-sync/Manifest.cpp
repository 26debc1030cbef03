#include "Manifest.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <sstream>
#include <unistd.h>
#include <unordered_map>

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QUrl>

namespace Tiskel::ResourceSync {

namespace {

using App::ResourceDescriptor;

// Largest integer a JSON number (a double) holds exactly.
constexpr double kLargestExactInteger = 9007199254740992.0;

bool endsWith(std::string const& text, char const* suffix) {
    size_t const length = std::strlen(suffix);
    return text.size() >= length && text.compare(text.size() - length, length, suffix) == 0;
}

// Walks the document and stops at the first problem with a message that names its JSON path.
class Checker {
  public:
    explicit Checker(std::string name) : name(std::move(name)) {}

    Manifest check(QJsonDocument const& document) {
        if (!document.isObject()) {
            fail("", "the manifest must be a JSON object");
        }
        QJsonObject const root = document.object();
        allowOnly(root, "", {"baseUrl", "target", "policy", "bundles"});
        Manifest manifest;
        manifest.baseUrl = requiredString(root, "", "baseUrl");
        if (std::string const problem = checkBaseUrl(manifest.baseUrl); !problem.empty()) {
            fail("baseUrl", problem);
        }
        manifest.target = optionalString(root, "", "target");
        ResourceDescriptor::UpdatePolicy const policy =
            optionalPolicy(root, "", ResourceDescriptor::IfModified);
        QJsonArray const bundles = requiredArray(root, "", "bundles");
        manifest.bundles.reserve(bundles.size());
        for (int b = 0; b < bundles.size(); ++b) {
            manifest.bundles.push_back(
                bundle(bundles[b], "bundles[" + std::to_string(b) + "]", b, policy));
        }
        return manifest;
    }

  private:
    [[noreturn]] void fail(std::string const& where, std::string const& what) const {
        throw ManifestError(name + ": " + (where.empty() ? "" : where + ": ") + what);
    }

    static std::string join(std::string const& where, char const* key) {
        return where.empty() ? key : where + "." + key;
    }

    void allowOnly(QJsonObject const& object, std::string const& where,
                   std::initializer_list<char const*> keys) const {
        for (auto it = object.begin(); it != object.end(); ++it) {
            std::string const key = it.key().toStdString();
            if (std::none_of(keys.begin(), keys.end(), [&](char const* k) { return key == k; })) {
                fail(join(where, key.c_str()), "unknown field");
            }
        }
    }

    std::string requiredString(QJsonObject const& object, std::string const& where,
                               char const* key) const {
        QJsonValue const value = object.value(QLatin1String(key));
        if (value.isUndefined()) {
            fail(join(where, key), "missing (a string is required)");
        }
        if (!value.isString()) {
            fail(join(where, key), "expected a string");
        }
        return value.toString().toStdString();
    }

    std::string optionalString(QJsonObject const& object, std::string const& where,
                               char const* key) const {
        QJsonValue const value = object.value(QLatin1String(key));
        if (value.isUndefined()) {
            return {};
        }
        if (!value.isString()) {
            fail(join(where, key), "expected a string");
        }
        return value.toString().toStdString();
    }

    QJsonArray requiredArray(QJsonObject const& object, std::string const& where,
                             char const* key) const {
        QJsonValue const value = object.value(QLatin1String(key));
        if (value.isUndefined()) {
            fail(join(where, key), "missing (an array is required)");
        }
        if (!value.isArray()) {
            fail(join(where, key), "expected an array");
        }
        return value.toArray();
    }

    ResourceDescriptor::UpdatePolicy optionalPolicy(QJsonObject const& object,
                                                    std::string const& where,
                                                    ResourceDescriptor::UpdatePolicy fallback) {
        std::string const text = optionalString(object, where, "policy");
        if (text.empty() && !object.contains(QLatin1String("policy"))) {
            return fallback;
        }
        ResourceDescriptor::UpdatePolicy policy = fallback;
        if (!parsePolicy(text, policy)) {
            fail(join(where, "policy"),
                 "unknown policy \"" + text +
                     "\" (expected always, ifMissing, ifModified or validate)");
        }
        return policy;
    }

    BundleSpec bundle(QJsonValue const& value, std::string const& where, int index,
                      ResourceDescriptor::UpdatePolicy policy) {
        if (!value.isObject()) {
            fail(where, "expected an object");
        }
        QJsonObject const object = value.toObject();
        allowOnly(object, where, {"name", "init", "policy", "files"});
        BundleSpec spec;
        spec.name = optionalString(object, where, "name");
        if (spec.name.empty()) {
            spec.name = "bundle " + std::to_string(index + 1);
        }
        QJsonValue const init = object.value(QLatin1String("init"));
        if (!init.isUndefined() && !init.isBool()) {
            fail(join(where, "init"), "expected true or false");
        }
        spec.init = init.toBool(false);
        policy = optionalPolicy(object, where, policy);
        QJsonArray const files = requiredArray(object, where, "files");
        spec.files.reserve(files.size());
        for (int f = 0; f < files.size(); ++f) {
            spec.files.push_back(
                file(files[f], where + ".files[" + std::to_string(f) + "]", policy));
        }
        return spec;
    }

    FileSpec file(QJsonValue const& value, std::string const& where,
                  ResourceDescriptor::UpdatePolicy policy) {
        if (!value.isObject()) {
            fail(where, "expected an object");
        }
        QJsonObject const object = value.toObject();
        allowOnly(object, where, {"path", "localPath", "policy", "size", "sha256"});
        FileSpec spec;
        spec.remotePath = requiredString(object, where, "path");
        checkRemotePath(spec.remotePath, join(where, "path"));
        std::string const local = optionalString(object, where, "localPath");
        bool const explicitLocal = object.contains(QLatin1String("localPath"));
        // By default a file keeps its place on the server, with the URL's escapes decoded.
        std::string const wanted =
            explicitLocal ? local
                          : QUrl::fromPercentEncoding(QByteArray::fromStdString(spec.remotePath))
                                .toStdString();
        spec.localPath =
            normaliseLocalPath(wanted, join(where, explicitLocal ? "localPath" : "path"));
        spec.policy = optionalPolicy(object, where, policy);

        QJsonValue const size = object.value(QLatin1String("size"));
        if (!size.isUndefined()) {
            double const bytes = size.toDouble(-1);
            if (!size.isDouble() || bytes < 0 || bytes > kLargestExactInteger ||
                bytes != static_cast<double>(static_cast<int64_t>(bytes))) {
                fail(join(where, "size"), "expected a whole number of bytes, 0 or more");
            }
            spec.size = static_cast<int64_t>(bytes);
        }
        QJsonValue const sha256 = object.value(QLatin1String("sha256"));
        if (!sha256.isUndefined()) {
            std::string digest = sha256.isString() ? sha256.toString().toStdString() : "";
            bool const hex = digest.size() == 64 &&
                             std::all_of(digest.begin(), digest.end(),
                                         [](unsigned char c) { return std::isxdigit(c) != 0; });
            if (!hex) {
                fail(join(where, "sha256"), "expected a string of 64 hexadecimal digits");
            }
            std::transform(digest.begin(), digest.end(), digest.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            spec.sha256 = std::move(digest);
        }
        if (spec.policy == ResourceDescriptor::Validate && spec.sha256.empty()) {
            fail(join(where, "sha256"), "missing: the validate policy checks the file against it");
        }
        claim(spec.localPath, where);
        return spec;
    }

    void checkRemotePath(std::string const& path, std::string const& where) const {
        if (path.empty()) {
            fail(where, "must not be empty");
        }
        if (path.front() == '/') {
            fail(where, "must be relative to the base URL (no leading '/')");
        }
        for (unsigned char c : path) {
            if (c < 0x20 || c == 0x7f || c == ' ' || c == '?' || c == '#' || c == '\\') {
                fail(where, "has a character that must be percent-encoded");
            }
        }
        std::istringstream parts(path);
        for (std::string part; std::getline(parts, part, '/');) {
            if (part == "..") {
                fail(where, "must not use \"..\"");
            }
        }
    }

    // "a/./b//c" becomes "a/b/c"; an absolute path, a ".." part or an empty result is refused.
    std::string normaliseLocalPath(std::string const& path, std::string const& where) const {
        if (!path.empty() && path.front() == '/') {
            fail(where, "\"" + path + "\" escapes the target folder (absolute path)");
        }
        std::string result;
        std::istringstream parts(path);
        for (std::string part; std::getline(parts, part, '/');) {
            if (part.empty() || part == ".") {
                continue;
            }
            if (part == "..") {
                fail(where, "\"" + path + "\" escapes the target folder (\"..\")");
            }
            if (part.find('\0') != std::string::npos) {
                fail(where, "has a NUL character");
            }
            result += result.empty() ? part : "/" + part;
        }
        if (result.empty()) {
            fail(where, "names no file");
        }
        if (endsWith(result, kPartSuffix) || endsWith(result, kStagedSuffix)) {
            fail(where, "\"" + path + "\" ends with a suffix the sync uses for its own files (" +
                            kPartSuffix + ", " + kStagedSuffix + ")");
        }
        return result;
    }

    // Records that `path` is a file and that its parents are folders; refuses a second file at
    // the same place and a file where another file needs a folder.
    void claim(std::string const& path, std::string const& where) {
        if (auto const it = files.find(path); it != files.end()) {
            fail(where, "local path \"" + path + "\" is also the local path of " + it->second);
        }
        if (auto const it = folders.find(path); it != folders.end()) {
            fail(where, "local path \"" + path + "\" is a folder of " + it->second);
        }
        for (size_t slash = path.find('/'); slash != std::string::npos;
             slash = path.find('/', slash + 1)) {
            std::string const folder = path.substr(0, slash);
            if (auto const it = files.find(folder); it != files.end()) {
                fail(where, "needs \"" + folder + "\" as a folder, but it is the local path of " +
                                it->second);
            }
            folders.emplace(folder, where);
        }
        files.emplace(path, where);
    }

    std::string const name;
    // Local paths seen so far, and the folders they need, each with the first entry that
    // claimed it.
    std::unordered_map<std::string, std::string> files;
    std::unordered_map<std::string, std::string> folders;
};

// "line:column" (1-based) of the character a parse error names. Qt's error offset points just
// past that character.
std::string position(std::string const& text, size_t offset) {
    size_t const at = std::min(offset > 0 ? offset - 1 : 0, text.size());
    size_t line = 1;
    size_t lineStart = 0;
    for (size_t i = 0; i < at; ++i) {
        if (text[i] == '\n') {
            ++line;
            lineStart = i + 1;
        }
    }
    return std::to_string(line) + ":" + std::to_string(at - lineStart + 1);
}

}  // namespace

bool parsePolicy(std::string const& text, ResourceDescriptor::UpdatePolicy& policy) {
    static constexpr std::pair<char const*, ResourceDescriptor::UpdatePolicy> kPolicies[] = {
        {"always", ResourceDescriptor::Always},
        {"validate", ResourceDescriptor::Validate},
        {"ifMissing", ResourceDescriptor::IfMissing},
        {"ifModified", ResourceDescriptor::IfModified},
    };
    for (auto const& [name, value] : kPolicies) {
        if (text == name) {
            policy = value;
            return true;
        }
    }
    return false;
}

char const* policyName(ResourceDescriptor::UpdatePolicy policy) {
    switch (policy) {
        case ResourceDescriptor::Always:
            return "always";
        case ResourceDescriptor::Validate:
            return "validate";
        case ResourceDescriptor::IfMissing:
            return "ifMissing";
        case ResourceDescriptor::IfModified:
            return "ifModified";
    }
    return "?";
}

std::string checkBaseUrl(std::string const& url) {
    QUrl const parsed(QString::fromStdString(url), QUrl::StrictMode);
    if (url.empty() || !parsed.isValid()) {
        return "\"" + url + "\" is not a valid URL";
    }
    QString const scheme = parsed.scheme();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https")) {
        return "\"" + url + "\" must start with http:// or https://";
    }
    if (parsed.host().isEmpty()) {
        return "\"" + url + "\" has no host";
    }
    if (parsed.hasQuery() || parsed.hasFragment()) {
        return "\"" + url + "\" must not have a query or a fragment";
    }
    return {};
}

Manifest parseManifest(std::string const& text, std::string const& name) {
    QJsonParseError error{};
    QJsonDocument const document = QJsonDocument::fromJson(QByteArray::fromStdString(text), &error);
    if (error.error != QJsonParseError::NoError) {
        throw ManifestError(name + ":" + position(text, static_cast<size_t>(error.offset)) +
                            ": JSON syntax error: " + error.errorString().toStdString());
    }
    return Checker(name).check(document);
}

Manifest loadManifest(std::string const& path) {
    auto unreadable = [&path](int error) {
        return ManifestError(path + ": cannot read the manifest: " + std::strerror(error));
    };
    int const fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throw unreadable(errno);
    }
    std::string text;
    char buffer[65536];
    for (;;) {
        ssize_t const count = ::read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            int const error = count < 0 ? errno : 0;
            ::close(fd);
            if (count < 0) {
                throw unreadable(error);
            }
            break;
        }
        text.append(buffer, static_cast<size_t>(count));
    }
    return parseManifest(text, path);
}

}  // namespace Tiskel::ResourceSync
