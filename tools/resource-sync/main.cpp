// resource-sync: keeps a folder in step with a manifest of remote files, on top of the
// ResourceDownloadManager library; and writes such a manifest for a folder.
//
// Exit codes: 0 every file is Available; 1 some file failed; 2 usage or manifest error (nothing
// touched on disk); 3 offline (every failure a lost connection); 4 another run holds the folder
// (with --no-wait); 130 / 143 on SIGINT / SIGTERM.
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
#include <optional>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QStringList>
#include <glog/logging.h>

#include "Manifest.h"
#include "Report.h"
#include "Signature.h"
#include "SyncSession.h"
#include "TargetFolder.h"

namespace {

using namespace Tiskel::ResourceSync;

constexpr int kExitUsage = 2;
constexpr int kExitBusy = 4;

constexpr char kSyncUsage[] =
    "usage: resource-sync sync MANIFEST [options]\n"
    "\n"
    "Brings the files of MANIFEST into DIR (default: the manifest's \"target\", else the\n"
    "current folder), fetching only what is missing or out of date. MANIFEST \"-\" reads the\n"
    "manifest from standard input (its \"target\" is then taken from the current folder).\n"
    "\n"
    "  -d, --dir DIR           sync into DIR\n"
    "  -j, --jobs N            download threads, 1 to 64 (default: the library's choice)\n"
    "  --from-dir SRC          take the files from folder SRC instead of the web server\n"
    "  --rate KIBPS            download at most KIBPS KiB/s in all, shared among the\n"
    "                          running transfers (default: no limit); with --from-dir,\n"
    "                          each copy runs at KIBPS KiB/s\n"
    "  --offline-marker PATH   while a file exists at PATH the network counts as offline\n"
    "  --trace                 log every download stage to stderr\n"
    "  --watch SECONDS         sync again every SECONDS until interrupted\n"
    "  --give-up SECONDS       stop waiting for retries after this long (default 60)\n"
    "  --report FILE           also write the summary as JSON to FILE\n"
    "  -q, --quiet             print only errors and the summary\n"
    "  --progress MODE         how progress shows on standard output: bar (live bars; the\n"
    "                          default on a terminal), lines (a line per change; the\n"
    "                          default otherwise) or json (one JSON object per line, for\n"
    "                          programs, and no other output there); with --quiet, json\n"
    "                          leaves out its progress and total lines\n"
    "  --netrc                 take user names and passwords from ~/.netrc\n"
    "  --netrc-file FILE       take user names and passwords from FILE\n"
    "  --cacert FILE           trust the certificate authorities in FILE (PEM) for HTTPS\n"
    "                          instead of the system's (default: CURL_CA_BUNDLE or\n"
    "                          SSL_CERT_FILE when set; SSL_CERT_DIR names a folder)\n"
    "  --public-key KEY        use the manifest only if it carries a good minisign\n"
    "                          signature by KEY (a public key file, or the key's base64\n"
    "                          text); a bad or missing signature: exit 2, nothing written\n"
    "  --signature FILE        the signature (default: MANIFEST.minisig; needed for \"-\")\n"
    "  --no-fsync              do not wait for each file to reach the disk before it\n"
    "                          counts (faster; a power cut may then leave a file short)\n"
    "  --verify                check every present file that has a sha256 against it\n"
    "                          (a file whose size differs from \"size\" is always fetched)\n"
    "  --delete                after a run in which every file became available, remove\n"
    "                          the files below DIR that no entry names (not the sync's\n"
    "                          own lock and temporary files; folders stay)\n"
    "  --dry-run               print what would be downloaded (and why) and deleted;\n"
    "                          write nothing\n"
    "  --no-wait               exit with 4 at once when another run syncs into DIR\n"
    "                          (by default the run waits for it)\n"
    "  -h, --help              print this help and exit\n";

constexpr char kManifestUsage[] =
    "usage: resource-sync manifest DIR --base-url URL [options]\n"
    "\n"
    "Prints a manifest for the files below DIR (sizes and SHA-256 digests). File names must\n"
    "be UTF-8, as JSON text is.\n"
    "\n"
    "  --base-url URL          the web address the files will be served from\n"
    "  --policy POLICY         always, ifMissing, ifModified (default) or validate\n"
    "  --no-sha256             leave the digests out\n"
    "  --paths-only            list the files by their paths alone (no sizes, no digests):\n"
    "                          the quickest manifest to read, for very many files\n"
    "  -h, --help              print this help and exit\n";

constexpr char kExitCodes[] =
    "exit codes: 0 all files available, 1 some failed, 2 usage or manifest error,\n"
    "            3 offline, 4 another run holds the folder, 130/143 interrupted\n";

std::string generalUsage() {
    return std::string(
               "usage:\n"
               "  resource-sync sync MANIFEST [options]     keep a folder in step\n"
               "  resource-sync manifest DIR --base-url URL [options]\n"
               "                                            write a manifest for a folder\n"
               "  resource-sync help [sync | manifest]      print a command's options\n"
               "  resource-sync --version                   print the version\n"
               "\n") +
           kSyncUsage + "\n" + kManifestUsage + "\n" + kExitCodes;
}

class UsageError : public std::runtime_error {
  public:
    // `usage` is the help to print after the message: the command's own, or the general one.
    UsageError(std::string const& message, std::string usage)
        : std::runtime_error(message), usage(std::move(usage)) {}
    std::string usage;
};

// One command's options, parsed by QCommandLineParser: "--name VALUE", "--name=VALUE", the short
// forms "-n VALUE", "-nVALUE" and grouped flags ("-qj4"), "--" before arguments that start with
// a dash; "-" alone is an argument. Arguments pass through Latin-1, which maps every byte to one
// character and back, so that a file name that is not UTF-8 reaches the program unchanged.
class CommandLine {
  public:
    struct Option {
        char shortName;         // '\0' when there is none
        char const* name;       // the long name, without the dashes
        char const* valueName;  // nullptr for a flag
    };

    // Parses argv[first..] for the command whose help is `usage`. Throws UsageError for an
    // unknown option, a missing value, or a value given to a flag; not when --help is among
    // the arguments, which the caller asks with has("help") first.
    CommandLine(int argc, char** argv, int first, std::vector<Option> const& options,
                std::string usage)
        : usage(std::move(usage)) {
        for (Option const& option : options) {
            QStringList names;
            if (option.shortName != '\0') {
                names << QString(QLatin1Char(option.shortName));
            }
            names << QString::fromLatin1(option.name);
            QCommandLineOption parsed(names);
            if (option.valueName != nullptr) {
                parsed.setValueName(QString::fromLatin1(option.valueName));
            }
            parser.addOption(parsed);
        }
        parser.addOption(QCommandLineOption(QStringList{"h", "help"}));
        // parse() takes the first item for the program's name.
        QStringList arguments{QString::fromLatin1(argv[0])};
        for (int i = first; i < argc; ++i) {
            arguments << QString::fromLatin1(argv[i]);
        }
        parsed = parser.parse(arguments);
        for (QString const& argument : parser.positionalArguments()) {
            positional.push_back(argument.toLatin1().toStdString());
        }
    }

    // Throws the UsageError for what the parser refused, if anything did.
    void requireValid() const {
        if (parsed) {
            return;
        }
        QStringList const unknown = parser.unknownOptionNames();
        if (!unknown.isEmpty()) {
            std::string const name = unknown.front().toLatin1().toStdString();
            fail("unknown option " + std::string(name.size() == 1 ? "-" : "--") + name);
        }
        // Qt's texts name the option between quotes: "Missing value after '--jobs'.",
        // "Unexpected value after '--quiet'.".
        std::string const text = parser.errorText().toLatin1().toStdString();
        size_t const open = text.find('\'');
        size_t const close = text.rfind('\'');
        std::string const option =
            open != close ? text.substr(open + 1, close - open - 1) : std::string();
        if (text.rfind("Missing value", 0) == 0 && !option.empty()) {
            fail(option + " needs a value");
        }
        if (text.rfind("Unexpected value", 0) == 0 && !option.empty()) {
            fail(option + " takes no value");
        }
        fail(text);
    }

    bool has(char const* name) const { return parser.isSet(QString::fromLatin1(name)); }
    std::string get(char const* name) const {
        return parser.value(QString::fromLatin1(name)).toLatin1().toStdString();
    }
    // The option as a whole number within [low, high]; `fallback` when absent.
    int number(char const* name, int low, int high, int fallback) const {
        if (!has(name)) {
            return fallback;
        }
        std::string const text = get(name);
        char* end = nullptr;
        errno = 0;
        long const value = std::strtol(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || errno != 0 || value < low || value > high) {
            fail(std::string("--") + name + " needs a whole number from " + std::to_string(low) +
                 " to " + std::to_string(high) + ", not \"" + text + "\"");
        }
        return static_cast<int>(value);
    }

    [[noreturn]] void fail(std::string const& message) const { throw UsageError(message, usage); }

    std::vector<std::string> positional;
    std::string const usage;

  private:
    QCommandLineParser parser;
    bool parsed = false;
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

std::vector<CommandLine::Option> const kSyncOptions = {
    {'d', "dir", "DIR"},
    {'j', "jobs", "N"},
    {'\0', "from-dir", "SRC"},
    {'\0', "rate", "KIBPS"},
    {'\0', "offline-marker", "PATH"},
    {'\0', "trace", nullptr},
    {'\0', "watch", "SECONDS"},
    {'\0', "give-up", "SECONDS"},
    {'\0', "report", "FILE"},
    {'q', "quiet", nullptr},
    {'\0', "progress", "MODE"},
    {'\0', "no-wait", nullptr},
    {'\0', "verify", nullptr},
    {'\0', "delete", nullptr},
    {'\0', "dry-run", nullptr},
    {'\0', "netrc", nullptr},
    {'\0', "netrc-file", "FILE"},
    {'\0', "cacert", "FILE"},
    {'\0', "public-key", "KEY"},
    {'\0', "signature", "FILE"},
    {'\0', "no-fsync", nullptr},
};

std::vector<CommandLine::Option> const kManifestOptions = {
    {'\0', "base-url", "URL"},
    {'\0', "policy", "POLICY"},
    {'\0', "no-sha256", nullptr},
    {'\0', "paths-only", nullptr},
};

SyncOptions syncOptions(CommandLine const& args) {
    args.requireValid();
    if (args.positional.size() != 1) {
        args.fail(args.positional.empty() ? "sync needs a MANIFEST" : "sync takes one MANIFEST");
    }
    SyncOptions options;
    options.manifestPath = args.positional[0];
    options.publicKey = args.get("public-key");
    options.signaturePath = args.get("signature");
    if (args.has("signature") && !args.has("public-key")) {
        args.fail("--signature needs --public-key KEY to check it with");
    }
    if (args.has("public-key") && options.manifestPath == "-" && !args.has("signature")) {
        args.fail("a manifest from standard input needs --signature FILE with --public-key");
    }
    if (args.has("public-key") && options.publicKey.empty()) {
        args.fail("--public-key needs a key");
    }
    if (options.signaturePath.empty() && args.has("public-key")) {
        options.signaturePath = options.manifestPath + ".minisig";
    }
    options.dir = args.get("dir");
    options.jobs = static_cast<std::size_t>(args.number("jobs", 1, 64, 0));
    options.fromDir = args.get("from-dir");
    options.rateKiBps = args.number("rate", 1, INT_MAX / 1024, 0);
    options.offlineMarker = args.get("offline-marker");
    options.trace = args.has("trace");
    options.watchSeconds = args.number("watch", 1, 86400 * 365, 0);
    options.giveUpSeconds = args.number("give-up", 0, 86400 * 365, 60);
    options.reportPath = args.get("report");
    if (!options.reportPath.empty()) {
        if (std::string const problem = reportPathProblem(options.reportPath); !problem.empty()) {
            args.fail(problem);
        }
    }
    options.wait = !args.has("no-wait");
    options.verify = args.has("verify");
    options.deleteUnlisted = args.has("delete");
    options.dryRun = args.has("dry-run");
    options.netrcFile = args.get("netrc-file");
    options.netrc = args.has("netrc") || !options.netrcFile.empty();
    options.syncToDisk = !args.has("no-fsync");
    options.caFile = args.get("cacert");
    if (args.has("cacert") && !std::filesystem::is_regular_file(options.caFile)) {
        args.fail("--cacert " + options.caFile + " is not a file");
    }
    std::string const progress = args.get("progress");
    if (args.has("progress") && progress != "bar" && progress != "lines" && progress != "json") {
        args.fail("--progress needs bar, lines or json, not \"" + progress + "\"");
    }
    options.json = progress == "json";
    options.jsonOutcomesOnly = options.json && args.has("quiet");
    if (args.has("quiet") || options.json) {
        options.display = DisplayMode::Quiet;
    } else if (progress == "bar" ||
               (progress.empty() && ::isatty(STDOUT_FILENO) == 1 &&
                std::getenv("TERM") != nullptr && std::strcmp(std::getenv("TERM"), "dumb") != 0)) {
        options.display = DisplayMode::Terminal;
    }
    if (args.has("dir") && options.dir.empty()) {
        args.fail("--dir needs a folder");
    }
    if (!options.fromDir.empty() && !std::filesystem::is_directory(options.fromDir)) {
        args.fail("--from-dir " + options.fromDir + " is not a folder");
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
    CommandLine const args(argc, argv, 2, kSyncOptions, kSyncUsage);
    if (args.has("help")) {
        std::printf("%s\n%s", kSyncUsage, kExitCodes);
        return 0;
    }
    SyncOptions options = syncOptions(args);
    // Verified and parsed from the same bytes, read once: a manifest that changes meanwhile
    // cannot slip past the signature. The text goes once parsed.
    Manifest manifest = [&options] {
        std::string const text = readManifest(options.manifestPath);
        if (!options.publicKey.empty()) {
            options.trustedComment =
                verifySignatureFile(text, options.signaturePath, loadPublicKey(options.publicKey));
        }
        return parseManifest(text, manifestName(options.manifestPath));
    }();
    std::string const target = targetFolder(options, manifest);
    // One run per folder, from here to the end of the process. Taken before the signal
    // handlers are installed, so that an interrupt ends a run that is still waiting for it.
    // A dry run writes nothing, the lock file included: it only reads.
    std::optional<FolderLock> lock;
    if (!options.dryRun) {
        lock.emplace(target, options.wait);
        if (!lock->previousRunEndedCleanly()) {
            removeLeftovers(target);
        }
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
    // Every round ended with its temporaries removed or renamed into place, unless a file failed
    // and kept a part for resuming: the next run then looks for leftovers and takes the parts
    // over.
    if (lock && code == 0) {
        lock->endCleanly();
    }
    // The run is over and reported. What is left in memory (the manager of the last round with a
    // resource and a subscription per file, the files' records) goes with the process: freeing
    // it piece by piece would take about as long as building it did.
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(code);
}

int runManifest(int argc, char** argv) {
    CommandLine const args(argc, argv, 2, kManifestOptions, kManifestUsage);
    if (args.has("help")) {
        std::fputs(kManifestUsage, stdout);
        return 0;
    }
    args.requireValid();
    if (args.positional.size() != 1) {
        args.fail("manifest needs one DIR");
    }
    if (!args.has("base-url")) {
        args.fail("manifest needs --base-url URL");
    }
    Tiskel::App::ResourceDescriptor::UpdatePolicy policy =
        Tiskel::App::ResourceDescriptor::IfModified;
    if (args.has("policy") && !parsePolicy(args.get("policy"), policy)) {
        args.fail("unknown policy \"" + args.get("policy") +
                  "\" (expected always, ifMissing, ifModified or validate)");
    }
    FolderDetail const detail = args.has("paths-only")  ? FolderDetail::Paths
                                : args.has("no-sha256") ? FolderDetail::PathsSizes
                                                        : FolderDetail::PathsSizesDigests;
    if (policy == Tiskel::App::ResourceDescriptor::Validate &&
        detail != FolderDetail::PathsSizesDigests) {
        args.fail("the validate policy needs the SHA-256 digests");
    }
    std::string const text =
        describeFolder(args.positional[0], args.get("base-url"), policy, detail);
    std::fwrite(text.data(), 1, text.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

// "help", "help sync", "help manifest".
int runHelp(int argc, char** argv) {
    std::string const topic = argc > 2 ? argv[2] : "";
    if (argc > 3 || (!topic.empty() && topic != "sync" && topic != "manifest")) {
        throw UsageError("help takes sync, manifest or nothing", generalUsage());
    }
    std::string const text = topic == "sync"       ? std::string(kSyncUsage) + "\n" + kExitCodes
                             : topic == "manifest" ? std::string(kManifestUsage)
                                                   : generalUsage();
    std::fputs(text.c_str(), stdout);
    return 0;
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
            return runHelp(argc, argv);
        }
        if (command == "--version" && argc == 2) {
            std::printf("resource-sync %s\n", RDM_VERSION);
            return 0;
        }
        throw UsageError(command.empty() ? "no command given" : "unknown command " + command,
                         generalUsage());
    } catch (UsageError const& error) {
        std::fprintf(stderr, "resource-sync: %s\n\n%s", error.what(), error.usage.c_str());
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
