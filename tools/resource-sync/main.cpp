// resource-sync: keeps a folder in step with a manifest of remote files, on top of the
// ResourceDownloadManager library; and writes such a manifest for a folder.
//
// Exit codes: 0 every file is Available; 1 some file failed; 2 usage or manifest error (nothing
// touched on disk); 3 offline (every failure a lost connection); 4 another run holds the folder
// (with --no-wait); 130 / 143 on SIGINT / SIGTERM.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <glog/logging.h>

#include "Manifest.h"
#include "Report.h"
#include "SyncSession.h"
#include "TargetFolder.h"

namespace {

using namespace Tiskel::ResourceSync;

constexpr int kExitUsage = 2;
constexpr int kExitBusy = 4;

constexpr char kUsage[] =
    "usage:\n"
    "  resource-sync sync MANIFEST [--dir DIR] [--jobs N] [--from-dir SRC [--rate KIBPS]]\n"
    "                     [--offline-marker PATH] [--trace] [--watch SECONDS]\n"
    "                     [--give-up SECONDS] [--report FILE] [--quiet] [--no-wait]\n"
    "                     [--verify]\n"
    "  resource-sync manifest DIR --base-url URL [--policy POLICY] [--no-sha256]\n"
    "                         [--paths-only]\n"
    "\n"
    "sync      brings the files of MANIFEST into DIR (default: the manifest's \"target\",\n"
    "          else the current folder), fetching only what is missing or out of date\n"
    "  --jobs N              download threads (default: the library's choice)\n"
    "  --from-dir SRC        take the files from folder SRC instead of the web server\n"
    "  --rate KIBPS          with --from-dir: copy at this many KiB/s\n"
    "  --offline-marker PATH while a file exists at PATH the network counts as offline\n"
    "  --trace               log every download stage to stderr\n"
    "  --watch SECONDS       sync again every SECONDS until interrupted\n"
    "  --give-up SECONDS     stop waiting for retries after this long (default 60)\n"
    "  --report FILE         also write the summary as JSON to FILE\n"
    "  --quiet               print only errors and the summary\n"
    "  --netrc               take user names and passwords from ~/.netrc\n"
    "  --netrc-file FILE     ... from FILE\n"
    "  --verify              check every present file that has a sha256 against it\n"
    "                        (a file whose size differs from \"size\" is always fetched)\n"
    "  --no-wait             exit with 4 at once when another run syncs into DIR\n"
    "                        (by default the run waits for it)\n"
    "manifest  prints a manifest for the files below DIR (sizes and SHA-256 digests)\n"
    "  --policy POLICY       always, ifMissing, ifModified (default) or validate\n"
    "  --no-sha256           leave the digests out\n"
    "  --paths-only          list the files by their paths alone (no sizes, no digests):\n"
    "                        the quickest manifest to read, for very many files\n"
    "\n"
    "exit codes: 0 all files available, 1 some failed, 2 usage or manifest error,\n"
    "            3 offline, 4 another run holds the folder, 130/143 interrupted\n";

class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// "--name VALUE" and "--name=VALUE" options after a subcommand and its positional argument.
class Arguments {
  public:
    Arguments(int argc, char** argv, int first, std::vector<std::string> const& flags,
              std::vector<std::string> const& valued) {
        for (int i = first; i < argc; ++i) {
            std::string arg = argv[i];
            if (arg.rfind("--", 0) != 0) {
                positional.push_back(arg);
                continue;
            }
            std::string value;
            bool hasValue = false;
            if (size_t const equals = arg.find('='); equals != std::string::npos) {
                value = arg.substr(equals + 1);
                arg.resize(equals);
                hasValue = true;
            }
            if (std::find(flags.begin(), flags.end(), arg) != flags.end() && !hasValue) {
                options[arg] = "";
            } else if (std::find(valued.begin(), valued.end(), arg) != valued.end()) {
                if (!hasValue) {
                    if (i + 1 >= argc) {
                        throw UsageError(arg + " needs a value");
                    }
                    value = argv[++i];
                }
                options[arg] = value;
            } else {
                throw UsageError("unknown option " + arg);
            }
        }
    }

    bool has(std::string const& name) const { return options.count(name) != 0; }
    std::string get(std::string const& name) const {
        auto const it = options.find(name);
        return it == options.end() ? std::string() : it->second;
    }
    // The option as a whole number within [low, high]; `fallback` when absent.
    int number(std::string const& name, int low, int high, int fallback) const {
        if (!has(name)) {
            return fallback;
        }
        std::string const text = get(name);
        char* end = nullptr;
        errno = 0;
        long const value = std::strtol(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || errno != 0 || value < low || value > high) {
            throw UsageError(name + " needs a whole number from " + std::to_string(low) + " to " +
                             std::to_string(high) + ", not \"" + text + "\"");
        }
        return static_cast<int>(value);
    }

    std::vector<std::string> positional;

  private:
    std::map<std::string, std::string> options;
};

// Signals reach the event loop through a pipe: the handler only writes the signal's number.
int signalPipe[2] = {-1, -1};

void onSignal(int number) {
    int const saved = errno;
    unsigned char const byte = static_cast<unsigned char>(number);
    [[maybe_unused]] ssize_t const written = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

void installSignalHandlers() {
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::runtime_error(std::string("cannot create the signal pipe: ") +
                                 std::strerror(errno));
    }
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A reader that goes away (`| head`) must not kill the sync half-way through a rename.
    std::signal(SIGPIPE, SIG_IGN);
}

// The library logs through glog; the user sees its lines only with --trace. Why a file failed
// comes from the library's per-file events, not from its log.
void setUpLogging(char const* program, bool trace) {
    google::InitGoogleLogging(program);
    for (int severity = google::GLOG_INFO; severity < google::NUM_SEVERITIES; ++severity) {
        google::SetLogDestination(severity, "");
    }
    FLAGS_logtostderr = trace;
    FLAGS_minloglevel = trace ? google::GLOG_INFO : google::GLOG_FATAL;
    FLAGS_stderrthreshold = trace ? google::GLOG_INFO : google::GLOG_FATAL;
}

SyncOptions syncOptions(Arguments const& args) {
    if (args.positional.size() != 1) {
        throw UsageError(args.positional.empty() ? "sync needs a MANIFEST"
                                                 : "sync takes one MANIFEST");
    }
    SyncOptions options;
    options.manifestPath = args.positional[0];
    options.dir = args.get("--dir");
    options.jobs = static_cast<std::size_t>(args.number("--jobs", 1, 64, 0));
    options.fromDir = args.get("--from-dir");
    if (args.has("--rate") && options.fromDir.empty()) {
        throw UsageError("--rate applies only with --from-dir");
    }
    options.rateKiBps = args.number("--rate", 1, INT_MAX / 1024, 0);
    options.offlineMarker = args.get("--offline-marker");
    options.trace = args.has("--trace");
    options.watchSeconds = args.number("--watch", 1, 86400 * 365, 0);
    options.giveUpSeconds = args.number("--give-up", 0, 86400 * 365, 60);
    options.reportPath = args.get("--report");
    if (!options.reportPath.empty()) {
        if (std::string const problem = reportPathProblem(options.reportPath); !problem.empty()) {
            throw UsageError(problem);
        }
    }
    options.wait = !args.has("--no-wait");
    options.verify = args.has("--verify");
    options.netrcFile = args.get("--netrc-file");
    options.netrc = args.has("--netrc") || !options.netrcFile.empty();
    if (args.has("--quiet")) {
        options.display = DisplayMode::Quiet;
    } else if (::isatty(STDOUT_FILENO) == 1 && std::getenv("TERM") != nullptr &&
               std::strcmp(std::getenv("TERM"), "dumb") != 0) {
        options.display = DisplayMode::Terminal;
    }
    if (args.has("--dir") && options.dir.empty()) {
        throw UsageError("--dir needs a folder");
    }
    if (!options.fromDir.empty() && !std::filesystem::is_directory(options.fromDir)) {
        throw UsageError("--from-dir " + options.fromDir + " is not a folder");
    }
    return options;
}

// --dir; else the manifest's target, relative to the manifest's own folder; else here.
std::string targetFolder(SyncOptions const& options, Manifest const& manifest) {
    if (!options.dir.empty()) {
        return options.dir;
    }
    if (manifest.target.empty()) {
        return ".";
    }
    // The manifest's reader has made sure it is relative and stays below the manifest's folder.
    return (std::filesystem::path(options.manifestPath).parent_path() / manifest.target)
        .lexically_normal()
        .string();
}

int runSync(int argc, char** argv) {
    SyncOptions const options = syncOptions(
        Arguments(argc, argv, 2, {"--trace", "--quiet", "--no-wait", "--verify", "--netrc"},
                  {"--dir", "--jobs", "--from-dir", "--rate", "--offline-marker", "--watch",
                   "--give-up", "--report", "--netrc-file"}));
    Manifest manifest = loadManifest(options.manifestPath);
    std::string const target = targetFolder(options, manifest);
    // One run per folder, from here to the end of the process. Taken before the signal
    // handlers are installed, so that an interrupt ends a run that is still waiting for it.
    FolderLock lock(target, options.wait);
    if (!lock.previousRunEndedCleanly()) {
        removeLeftovers(target);
    }

    QCoreApplication application(argc, argv);
    // Qt adopts the user's locale; numbers in the output keep a decimal point.
    std::setlocale(LC_NUMERIC, "C");
    setUpLogging(argv[0], options.trace);
    installSignalHandlers();

    SyncSession session(options, std::move(manifest), target);
    QSocketNotifier notifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, [&session] {
        unsigned char byte = 0;
        while (::read(signalPipe[0], &byte, 1) == 1) {
            session.interrupt(byte);
        }
    });
    session.start();
    int const code = application.exec();
    // Every round ended with its temporaries removed or renamed into place.
    lock.markClean();
    // The run is over and reported. What is left in memory (the manager of the last round with a
    // resource and a subscription per file, the files' records) goes with the process: freeing
    // it piece by piece would take about as long as building it did.
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(code);
}

int runManifest(int argc, char** argv) {
    Arguments const args(argc, argv, 2, {"--no-sha256", "--paths-only"},
                         {"--base-url", "--policy"});
    if (args.positional.size() != 1) {
        throw UsageError("manifest needs one DIR");
    }
    if (!args.has("--base-url")) {
        throw UsageError("manifest needs --base-url URL");
    }
    Tiskel::App::ResourceDescriptor::UpdatePolicy policy =
        Tiskel::App::ResourceDescriptor::IfModified;
    if (args.has("--policy") && !parsePolicy(args.get("--policy"), policy)) {
        throw UsageError("unknown policy \"" + args.get("--policy") +
                         "\" (expected always, ifMissing, ifModified or validate)");
    }
    FolderDetail const detail = args.has("--paths-only")  ? FolderDetail::Paths
                                : args.has("--no-sha256") ? FolderDetail::PathsSizes
                                                          : FolderDetail::PathsSizesDigests;
    if (policy == Tiskel::App::ResourceDescriptor::Validate &&
        detail != FolderDetail::PathsSizesDigests) {
        throw UsageError("the validate policy needs the SHA-256 digests");
    }
    std::string const text =
        describeFolder(args.positional[0], args.get("--base-url"), policy, detail);
    std::fwrite(text.data(), 1, text.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string const command = argc > 1 ? argv[1] : "";
    try {
        if (command == "sync") {
            return runSync(argc, argv);
        }
        if (command == "manifest") {
            return runManifest(argc, argv);
        }
        if (command == "--help" || command == "-h" || command == "help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        throw UsageError(command.empty() ? "no command given" : "unknown command " + command);
    } catch (UsageError const& error) {
        std::fprintf(stderr, "resource-sync: %s\n\n%s", error.what(), kUsage);
        return kExitUsage;
    } catch (FolderBusy const& error) {
        std::fprintf(stderr, "resource-sync: %s\n", error.what());
        return kExitBusy;
    } catch (ManifestError const& error) {
        std::fprintf(stderr, "resource-sync: %s\n", error.what());
        return kExitUsage;
    } catch (std::exception const& error) {
        std::fprintf(stderr, "resource-sync: %s\n", error.what());
        return 1;
    }
}
