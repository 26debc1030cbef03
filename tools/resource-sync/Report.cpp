#include "Report.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QSaveFile>

#include "Platform/Networking/Url.h"

#include "Display.h"

namespace Tiskel::ResourceSync {

char const* outcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::Synced:
            return "synced";
        case Outcome::Failed:
            return "failed";
        case Outcome::Offline:
            return "offline";
        case Outcome::Interrupted:
            return "interrupted";
    }
    return "?";
}

namespace {

QString text(std::string const& value) {
    return QString::fromStdString(value);
}

}  // namespace

Summary summarise(SyncState const& state, std::string const& target, double seconds, int signal,
                  bool gaveUp) {
    Summary summary;
    summary.target = target;
    summary.seconds = seconds;
    summary.gaveUp = gaveUp;
    summary.counts = state.counts();
    Catalogue const& files = state.catalogue();
    if (files.hasMirrors()) {
        for (std::string const& url : files.sources()) {
            summary.sources.push_back({Networking::maskCredentials(url), {}});
        }
    }
    state.inspect([&] {
        for (std::size_t i = 0; i < files.size(); ++i) {
            FileRound const& file = state.file(i);
            GroupInfo const& group = files.groups()[files.info(i).group];
            std::string const& bundle = group.name;
            std::string const& remotePath = files.descriptor(i).remotePath;
            if (file.status == IRemoteResource::Available) {
                if (file.source > 0 &&
                    file.decision == static_cast<uint8_t>(App::FileDecision::Downloaded)) {
                    summary.sources[group.sources[file.source - 1u]].files.emplace_back(
                        files.relativePath(i));
                }
                if (file.decision == static_cast<uint8_t>(App::FileDecision::KeptCheckFailed)) {
                    summary.unchecked.push_back(
                        {std::string(files.relativePath(i)), remotePath, bundle, state.reason(i)});
                }
                continue;
            }
            bool const failed = file.status == IRemoteResource::Error;
            summary.failures.push_back(
                {std::string(files.relativePath(i)), remotePath, bundle,
                 IRemoteResource::statusToString(file.status),
                 failed ? IRemoteResource::errorToString(file.error) : "Unfinished",
                 state.reason(i)});
        }
    });
    SyncCounts const& counts = summary.counts;
    if (signal != 0) {
        summary.outcome = Outcome::Interrupted;
        summary.exitCode = 128 + signal;
    } else if (summary.failures.empty() && summary.unchecked.empty()) {
        summary.outcome = Outcome::Synced;
        summary.exitCode = 0;
    } else if (summary.failures.size() + summary.unchecked.size() == counts.unreachable) {
        summary.outcome = Outcome::Offline;
        summary.exitCode = 3;
    } else {
        summary.outcome = Outcome::Failed;
        summary.exitCode = 1;
    }
    return summary;
}

void printSummary(Summary const& summary, std::FILE* out) {
    SyncCounts const& counts = summary.counts;
    static constexpr char const* kHeadlines[] = {"Synced", "Failed", "Offline", "Interrupted"};
    std::string text = summary.dryRun && summary.outcome == Outcome::Synced
                           ? std::string("Dry run")
                           : std::string(kHeadlines[static_cast<int>(summary.outcome)]);
    char const* const would = summary.dryRun ? " would be" : "";
    if (summary.gaveUp) {
        text += " (gave up waiting for retries)";
    }
    char time[32];
    std::snprintf(time, sizeof time, "%.2f s", summary.seconds);
    text += ": " + std::to_string(counts.files) + " files, " + std::to_string(counts.fetched) +
            would + " downloaded (" + formatBytes(counts.fetchedBytes) + "), " +
            std::to_string(counts.current()) + " already current, " +
            std::to_string(counts.failed) + " failed";
    if (counts.notChecked > 0) {
        text += ", " + std::to_string(counts.notChecked) + " not checked";
    }
    if (counts.repaired > 0) {
        text += ", " + std::to_string(counts.repaired) + would + " repaired";
    }
    if (!summary.deleted.empty()) {
        text += ", " + std::to_string(summary.deleted.size()) + would + " deleted";
    }
    if (std::size_t const unfinished = counts.files - counts.settled; unfinished > 0) {
        text += ", " + std::to_string(unfinished) + " unfinished";
    }
    text += " in " + std::string(time) + "\n";
    for (FailedFile const& failure : summary.failures) {
        text += "  " + failure.path + ": " + failure.error +
                (failure.reason.empty() ? "" : ": " + failure.reason) + "\n";
    }
    for (UncheckedFile const& file : summary.unchecked) {
        text += "  " + file.path + ": not checked: " + file.reason + "\n";
    }
    if (summary.trustedComment) {
        text += "Signature verified, trusted comment: " + *summary.trustedComment + "\n";
    }
    text += "Files are in " + summary.target + "\n";
    std::fputs(text.c_str(), out);
    std::fflush(out);
}

std::string reportPathProblem(std::string const& path) {
    std::filesystem::path const parent = std::filesystem::path(path).parent_path();
    std::string const folder = parent.empty() ? "." : parent.string();
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error)) {
        return "--report " + path + ": the folder " + folder + " does not exist";
    }
    // The report is written to a temporary file beside it and renamed: the folder must take
    // new files.
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        return "--report " + path + ": the folder " + folder + " is not writable (" +
               std::strerror(errno) + ")";
    }
    return {};
}

bool writeReport(Summary const& summary, std::string const& path, std::string& problem) {
    SyncCounts const& counts = summary.counts;
    QJsonArray failures;
    for (FailedFile const& failure : summary.failures) {
        failures.append(QJsonObject{{"path", text(failure.path)},
                                    {"remotePath", text(failure.remotePath)},
                                    {"bundle", text(failure.bundle)},
                                    {"status", text(failure.status)},
                                    {"error", text(failure.error)},
                                    {"reason", text(failure.reason)}});
    }
    QJsonArray unchecked;
    for (UncheckedFile const& file : summary.unchecked) {
        unchecked.append(QJsonObject{{"path", text(file.path)},
                                     {"remotePath", text(file.remotePath)},
                                     {"bundle", text(file.bundle)},
                                     {"reason", text(file.reason)}});
    }
    QJsonArray sources;
    for (SourceFiles const& source : summary.sources) {
        QJsonArray served;
        for (std::string const& path : source.files) {
            served.append(text(path));
        }
        sources.append(QJsonObject{{"url", text(source.url)}, {"files", served}});
    }
    QJsonObject report{
        {"result", outcomeName(summary.outcome)},
        {"exitCode", summary.exitCode},
        {"gaveUp", summary.gaveUp},
        {"target", text(summary.target)},
        {"files", static_cast<double>(counts.files)},
        {"downloaded", static_cast<double>(counts.fetched)},
        {"current", static_cast<double>(counts.current())},
        {"failed", static_cast<double>(counts.failed)},
        {"notChecked", static_cast<double>(counts.notChecked)},
        {"repaired", static_cast<double>(counts.repaired)},
        {"deleted", static_cast<double>(summary.deleted.size())},
        {"dryRun", summary.dryRun},
        {"unfinished", static_cast<double>(counts.files - counts.settled)},
        {"bytes", static_cast<double>(counts.fetchedBytes)},
        {"seconds", summary.seconds},
        {"failures", failures},
        {"unchecked", unchecked},
        // null when the manifest's signature was not checked
        {"trustedComment",
         summary.trustedComment ? QJsonValue(text(*summary.trustedComment)) : QJsonValue()},
    };
    if (!summary.sources.empty()) {
        report.insert("sources", sources);
    }
    QSaveFile file(text(path));
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(report).toJson()) < 0 ||
        !file.commit()) {
        problem = "cannot write the report " + path + ": " + file.errorString().toStdString();
        return false;
    }
    return true;
}

}  // namespace Tiskel::ResourceSync
