#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "SyncState.h"

// The end of a round: what happened to every file, as text for the user and as JSON for tools.
namespace Tiskel::ResourceSync {

// How a round ended, in the order of precedence of the exit codes.
enum class Outcome {
    Synced,       // every file Available: exit 0
    Failed,       // some file failed or could not be checked: exit 1
    Offline,      // no connection could be made for any of them: exit 3
    Interrupted,  // SIGINT or SIGTERM: exit 128 + signal
};

// "synced", "failed", "offline" or "interrupted", as reports name the outcome.
char const* outcomeName(Outcome outcome);

struct FailedFile {
    std::string path;        // local, below the target folder
    std::string remotePath;  // as in the manifest
    std::string bundle;
    std::string status;  // "Error", or where an interrupted file stood
    std::string error;   // the library's DownloadError name
    std::string reason;  // HTTP or filesystem reason; may be empty
};

// A file left as it was because asking the server whether it changed failed.
struct UncheckedFile {
    std::string path;
    std::string remotePath;
    std::string bundle;
    std::string reason;
};

// One source of a manifest with mirrors, and the files downloaded from it.
struct SourceFiles {
    std::string url;  // its base URL, any user name and password masked
    std::vector<std::string> files;
};

struct Summary {
    Outcome outcome = Outcome::Synced;
    int exitCode = 0;
    bool gaveUp = false;  // ended by --give-up while retries were pending
    std::string target;   // absolute path of the target folder
    SyncCounts counts;
    double seconds = 0;
    std::vector<FailedFile> failures;  // every file that did not end Available
    std::vector<UncheckedFile> unchecked;
    std::vector<std::string> deleted;  // with --delete: files removed as no entry names them
    // With mirrors: every source (Catalogue::sources()), with the files of this round it served.
    std::vector<SourceFiles> sources;
    bool dryRun = false;                        // nothing was fetched or deleted: "would be"
    std::optional<std::string> trustedComment;  // of the manifest's verified signature
};

// Reads the round's outcome from `state`. `signal` is the interrupting signal, or 0.
Summary summarise(SyncState const& state, std::string const& target, double seconds, int signal,
                  bool gaveUp);

// The summary lines: counts, bytes and time; each failed file with its error and reason; where
// the files are. With `all` false only the first few failures are listed.
void printSummary(Summary const& summary, std::FILE* out);

// Why a report could not be written to `path` (its folder is missing or not writable), or
// empty; asked before a run starts, so that a run does not end with nowhere to put its report.
std::string reportPathProblem(std::string const& path);

// Writes the summary as a JSON document to `path`, replacing it atomically. False, with
// `problem` set, when the file cannot be written.
bool writeReport(Summary const& summary, std::string const& path, std::string& problem);

}  // namespace Tiskel::ResourceSync
