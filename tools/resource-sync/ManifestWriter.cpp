#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string_view>
#include <system_error>

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "Checksum.h"
#include "Manifest.h"
#include "TargetFolder.h"

namespace Tiskel::ResourceSync {

namespace fs = std::filesystem;

namespace {

// Length of the well-formed UTF-8 sequence at the start of `text`; 0 when it does not start
// with one (a stray continuation byte, a truncated or overlong sequence, a surrogate, or a code
// point above U+10FFFF).
size_t utf8SequenceLength(std::string_view text) {
    auto const byte = [&text](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char const lead = byte(0);
    if (lead < 0x80) {
        return 1;
    }
    size_t length = 0;
    unsigned char low = 0x80;  // the range allowed for the second byte
    unsigned char high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : 0x80;
        high = lead == 0xed ? 0x9f : 0xbf;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        low = lead == 0xf0 ? 0x90 : 0x80;
        high = lead == 0xf4 ? 0x8f : 0xbf;
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high) {
        return 0;
    }
    for (size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xbf) {
            return 0;
        }
    }
    return length;
}

// `name` with every byte that is not part of well-formed UTF-8 written as \xNN, so that it can
// be shown and written into JSON; `valid` tells whether there was none.
std::string escapeInvalidUtf8(std::string_view name, bool& valid) {
    std::string shown;
    valid = true;
    while (!name.empty()) {
        size_t const length = utf8SequenceLength(name);
        if (length > 0) {
            shown.append(name.substr(0, length));
            name.remove_prefix(length);
            continue;
        }
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(name[0]));
        shown += escaped;
        name.remove_prefix(1);
        valid = false;
    }
    return shown;
}

}  // namespace

std::string describeFolder(std::string const& folder, std::string const& baseUrl,
                           App::ResourceDescriptor::UpdatePolicy policy, FolderDetail detail) {
    if (std::string const problem = checkBaseUrl(baseUrl); !problem.empty()) {
        throw ManifestError("--base-url: " + problem);
    }
    std::error_code error;
    if (!fs::is_directory(folder, error)) {
        throw ManifestError(folder + ": not a readable folder" +
                            (error ? ": " + error.message() : ""));
    }
    // The folder's own name only names a bundle: one that is not UTF-8 is shown escaped.
    bool rootValid = true;
    std::string const rootName =
        escapeInvalidUtf8(fs::absolute(folder).lexically_normal().filename().string(), rootValid);

    // Relative paths in a stable order, grouped by their first folder.
    std::map<std::string, std::vector<std::string>> bundles;
    fs::recursive_directory_iterator it(folder, error);
    for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (!it->is_regular_file(error)) {
            continue;
        }
        std::string const relative = it->path().lexically_relative(folder).generic_string();
        if (isOwnName(it->path().filename().string())) {
            continue;  // the lock, or leftovers of an interrupted sync into this folder
        }
        // JSON text is Unicode: such a name could only be written mangled, and the sync could
        // not find the file by it.
        bool valid = true;
        std::string const shown = escapeInvalidUtf8(relative, valid);
        if (!valid) {
            throw ManifestError((fs::path(folder) / shown).string() +
                                ": the file name is not UTF-8; a manifest can only name files "
                                "whose names are");
        }
        size_t const slash = relative.find('/');
        bundles[slash == std::string::npos ? rootName : relative.substr(0, slash)].push_back(
            relative);
    }
    if (error) {
        throw ManifestError(folder + ": cannot list the folder: " + error.message());
    }

    QJsonArray bundleArray;
    for (auto& [name, paths] : bundles) {
        std::sort(paths.begin(), paths.end());
        QJsonArray fileArray;
        for (std::string const& relative : paths) {
            std::string const full = (fs::path(folder) / relative).string();
            QByteArray const remote = QByteArray::fromStdString(relative).toPercentEncoding("/");
            if (detail == FolderDetail::Paths) {
                // The short form: the local path is the remote one decoded, that is `relative`.
                fileArray.append(QString::fromLatin1(remote));
                continue;
            }
            QJsonObject entry{{"path", QString::fromLatin1(remote)},
                              {"size", static_cast<double>(fs::file_size(full, error))}};
            if (error) {
                throw ManifestError(full + ": " + error.message());
            }
            if (remote.toStdString() != relative) {
                entry.insert("localPath", QString::fromStdString(relative));
            }
            if (detail == FolderDetail::PathsSizesDigests) {
                std::string digest;
                std::string problem;
                if (!sha256OfFile(full, digest, problem)) {
                    throw ManifestError(problem);
                }
                entry.insert("sha256", QString::fromStdString(digest));
            }
            fileArray.append(entry);
        }
        bundleArray.append(
            QJsonObject{{"name", QString::fromStdString(name)}, {"files", fileArray}});
    }
    QJsonObject const manifest{{"baseUrl", QString::fromStdString(baseUrl)},
                               {"policy", policyName(policy)},
                               {"bundles", bundleArray}};
    return QJsonDocument(manifest).toJson(QJsonDocument::Indented).toStdString();
}

}  // namespace Tiskel::ResourceSync
