#include <algorithm>
#include <filesystem>
#include <map>
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
    std::string const rootName = fs::absolute(folder).lexically_normal().filename().string();

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
