#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <regex>
#include <set>
#include <signal.h>
#include <string>
#include <unistd.h>
#include <vector>

#include <QByteArray>
#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Support/HttpTestServer.h"
#include "Support/TempDir.h"
#include "Support/Wait.h"
#include "Sync/SyncProgram.h"

namespace Tiskel::Test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

std::string sha256(std::string const& data) {
    return QCryptographicHash::hash(QByteArray::fromStdString(data), QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}

// Every byte value, so that a text-mode or truncating copy shows.
std::string binaryBody(size_t size) {
    std::string body(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        body[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
    }
    return body;
}

// Files the sync left behind while working: none may survive a run. The temporary files that
// tests plant in the name of this (live) process are not counted.
std::vector<std::string> leftovers(std::string const& folder) {
    std::string const planted = ".resource-sync-" + std::to_string(::getpid()) + ".";
    std::vector<std::string> found;
    std::error_code error;
    for (auto const& entry : fs::recursive_directory_iterator(folder, error)) {
        std::string const name = entry.path().string();
        if (name.find(".resource-sync-") != std::string::npos &&
            name.find(planted) == std::string::npos) {
            found.push_back(name);
        }
    }
    return found;
}

// A URL on 127.0.0.1 where nothing listens.
std::string unreachableUrl() {
    return "http://127.0.0.1:" + std::to_string(freeLoopbackPort());
}

// The screen of a tmux pane `columns` wide running the shell command `command`, once it shows
// `until`, or when it stood still for the quiet window (a failure then). The pane runs on a
// tmux server of its own, named after this process and `columns`, killed before returning.
std::string screenOf(std::string const& command, int columns, std::string const& until) {
    std::string const tmux = "tmux -L rdm-sync-" + std::to_string(::getpid()) + "-" +
                             std::to_string(columns) + " -f /dev/null ";
    std::string const start =
        tmux + "new-session -d -x " + std::to_string(columns) + " -y 20 '" + command + "'";
    EXPECT_EQ(std::system(start.c_str()), 0);
    TempDir shot;
    auto const look = [&] {
        std::system((tmux + "capture-pane -p > " + shot.file("screen")).c_str());
        return TempDir::read(shot.file("screen"));
    };
    std::string screen;
    EXPECT_TRUE(waitUntil([&] { return (screen = look()).find(until) != std::string::npos; },
                          whileMoving(look)))
        << screen;
    std::system((tmux + "kill-server").c_str());
    return screen;
}

// The command line as people type it: help and the version on standard output with exit 0, the
// short forms, "-" for a manifest on standard input, a file name no manifest can hold, a
// paths-only manifest for the validate policy (which needs the digests), and options that are
// wrong (exit 2, and nothing written). Each problem of a manifest is named on stderr with exit 2
// before anything is written.
TEST(ResourceSyncCommandLine, HelpVersionShortFormsStandardInputAndEveryManifestProblem) {
    struct Case {
        char const* args;   // the words of the command line; {w} stands for the work folder
        std::string input;  // standard input
        int code;
        std::string text;  // found in standard output when the code is 0, else in standard error
    };
    std::string const manifest =
        R"({"baseUrl": "http://h.invalid/", "bundles": [{"files": ["a.txt"]}]})";
    std::vector<Case> cases = {
        {"--version", "", 0, "resource-sync " RDM_PROJECT_VERSION "\n"},
        {"sync --help", "", 0, "usage: resource-sync sync MANIFEST"},
        {"manifest -h", "", 0, "usage: resource-sync manifest DIR"},
        {"help sync", "", 0, "-q, --quiet"},
        {"sync {w}/m.json -qj1 -d{w}/out --from-dir {w}/site", "", 0, "Synced: 1 files"},
        {"sync - -d {w}/out --from-dir {w}/site", manifest, 0, "downloaded a.txt"},
        {"sync - -d {w}/out", "[]", 2, "stdin: the manifest must be a JSON object"},
        {"sync {w}/none.json -d {w}/out", "", 2,
         "cannot read the manifest: No such file or directory"},
        {"sync {w}/m.json -d {w}/out --rate 0", "", 2, "--rate needs a whole"},
        {"sync {w}/m.json -d {w}/out --progress xml", "", 2,
         "--progress needs bar, lines or json, not \"xml\""},
        {"sync {w}/m.json -d {w}/out -j 0", "", 2, "--jobs needs a whole"},
        {"sync {w}/m.json -d {w}/out --quiet=yes", "", 2, "--quiet takes no value"},
        {"sync {w}/m.json -d {w}/out --colour", "", 2, "unknown option --colour"},
        {"sync {w}/m.json -d {w}/out -x", "", 2, "unknown option -x"},
        {"sync {w}/m.json -d {w}/out --report /nonexistent-folder/r.json", "", 2,
         "--report /nonexistent-folder/r.json: the folder /nonexistent-folder does not exist"},
        {"manifest {w}/site --base-url http://h.invalid/ --policy validate --paths-only", "", 2,
         "the validate policy needs the SHA-256 digests"},
        {"manifest {w}/bad --base-url http://h.invalid/", "", 2,
         "bad/caf\\xe9.txt: the file name is not UTF-8"},
    };
    // A manifest of one bundle holding `files`.
    auto const files = [](std::string const& list) {
        return R"({"baseUrl": "http://h/", "bundles": [{"files": [)" + list + "]}]}";
    };
    // Each problem of a manifest (read from the file {w}/input) and its message.
    std::vector<std::pair<std::string, char const*>> const problems = {
        {"{\"baseUrl\": \"http://h/\",\n  \"bundles\": [ }", "input:2:16: JSON syntax error"},
        {R"({"bundles": []})", "baseUrl: missing"},
        {R"({"baseUrl": "htp:/x", "bundles": []})", "baseUrl: \"htp:/x\" must start with"},
        {R"({"baseUrl": "http://h/", "bundles": [{"files": []}, {"files": [{"path": "a",
            "sha256": 12}]}]})",
         "bundles[1].files[0].sha256: expected a string of 64 hexadecimal digits"},
        {files(R"({"path": "a", "policy": "weekly"})"),
         "bundles[0].files[0].policy: unknown policy \"weekly\""},
        // An unknown field beside every usual one, and one that comes before a missing path.
        {files(R"({"path": "a", "size": 1, "sha256": ")" + std::string(64, 'a') +
               R"(", "mtime": 1})"),
         "bundles[0].files[0].mtime: unknown field"},
        {files(R"({"mtime": 1})"), "bundles[0].files[0].mtime: unknown field"},
        {files(R"({"path": 7})"), "bundles[0].files[0].path: expected a string"},
        {files(R"({"path": "a", "localPath": "a/../../x"})"),
         "bundles[0].files[0].localPath: \"a/../../x\" escapes the target folder"},
        {files(R"({"path": "../x"})"), "bundles[0].files[0].path: must not use \"..\""},
        {files(R"({"path": "a", "localPath": "/etc/x"})"),
         "bundles[0].files[0].localPath: \"/etc/x\" escapes the target folder"},
        {files(R"({"path": "a"}, {"path": "b", "localPath": "./a"})"),
         "bundles[0].files[1]: local path \"a\" is also the local path of bundles[0].files[0]"},
        {R"({"baseUrl": "http://h/", "bundles": [{"files": ["x", "a"]},
            {"files": [{"path": "b", "localPath": "a"}]}]})",
         "bundles[1].files[0]: local path \"a\" is also the local path of bundles[0].files[1]"},
        {files(R"({"path": "a"}, {"path": "a/b"})"), "needs \"a\" as a folder"},
        {R"({"baseUrl": "http://h/", "bundles": [{"files": ["a/b"]}, {"files": ["a"]}]})",
         "bundles[1].files[0]: local path \"a\" is a folder of bundles[0].files[0]"},
        {files(R"({"path": "x.resource-sync-part"})"), "is a name the sync uses for its own files"},
        {files(R"("d/x.resource-sync-42.new")"), "is a name the sync uses for its own files"},
        {files(R"(".resource-sync.lock")"), "is a name the sync uses for its own files"},
        {R"({"baseUrl": "http://h/", "target": "a/../../x", "bundles": []})",
         "target: \"a/../../x\" leads out of the manifest's folder"},
        {R"({"baseUrl": "http://h/", "target": "/tmp/x", "bundles": []})",
         "target: \"/tmp/x\" must be relative"},
        {files(R"({"path": "a", "policy": "validate"})"), "sha256: missing: the validate policy"},
        {R"({"baseUrl": "http://h/", "mirrors": "http://m/", "bundles": []})",
         "input: mirrors: expected an array of URLs"},
        {R"({"baseUrl": "http://h/", "mirrors": ["http://m/", "ftp://m/"], "bundles": []})",
         "input: mirrors[1]: \"ftp://m/\" must start with http:// or https://"},
        {R"({"baseUrl": "http://h/", "mirrors": ["http://m/?a=1"], "bundles": []})",
         "mirrors[0]: \"http://m/?a=1\" must not have a query"},
        {R"({"baseUrl": "http://h/", "mirrors": ["http://m/", "http://m"], "bundles": []})",
         "mirrors[1]: \"http://m\" is listed twice"},
        {R"({"baseUrl": "http://h/", "bundles": [{"mirrors": ["http://h"], "files": []}]})",
         "bundles[0].mirrors[0]: \"http://h\" is the base URL"},
    };
    for (auto const& [text, message] : problems) {
        cases.push_back({"sync {w}/input -d {w}/out", text, 2, message});
    }
    for (Case const& test : cases) {
        TempDir work;
        work.write("m.json", manifest);
        work.write("site/a.txt", "alpha\n");
        work.write("bad/caf\xe9.txt", "a Latin-1 name");
        Finished const run =
            runToEnd(words(std::regex_replace(test.args, std::regex("\\{w\\}"), work.path())),
                     kProgram, work.write("input", test.input));
        SCOPED_TRACE(test.args);
        EXPECT_EQ(run.code, test.code) << run.out << run.err;
        EXPECT_THAT(test.code == 0 ? run.out : run.err, HasSubstr(test.text));
        EXPECT_EQ(run.out.empty(), test.code != 0) << run.out;
        // --quiet prints no line of a file's progress.
        EXPECT_TRUE(!std::strstr(test.args, " -q") || run.out.find("downloading") == run.out.npos);
    }
}

// Every option a command's help lists is offered by the bash completion and described in the
// manual page, and the completion offers no other: an option added to one and not the others
// fails here.
TEST(ResourceSyncCommandLine, CompletionAndManualPageKnowTheOptionsOfTheHelp) {
    std::string const manual = TempDir::read(RDM_SYNC_MANUAL);
    std::regex const option(R"((^|[\s,(])(--?[a-z][a-z0-9-]*))");
    for (std::string const command : {"sync", "manifest"}) {
        Finished const help = runToEnd({command, "--help"});
        std::set<std::string> const listed(
            std::sregex_token_iterator(help.out.begin(), help.out.end(), option, 2), {});
        ASSERT_GT(listed.size(), 4u) << help.out;

        std::string const script = std::string("source ") + RDM_SYNC_COMPLETION +
                                   "; COMP_WORDS=(resource-sync " + command +
                                   " x -); COMP_CWORD=3; _resource_sync; "
                                   "printf '%s\\n' \"${COMPREPLY[@]}\"";
        std::vector<std::string> const offered = words(runToEnd({"-c", script}, "/bin/bash").out);
        EXPECT_EQ(std::set<std::string>(offered.begin(), offered.end()), listed) << command;

        for (std::string const& name : listed) {
            // troff writes each dash of an option as "\-".
            EXPECT_THAT(manual, HasSubstr(std::regex_replace(name, std::regex("-"), "\\-")))
                << command << " " << name;
        }
    }
}

// A small site on the loopback server, synced into a temporary folder.
class ResourceSyncHttp : public ::testing::Test {
  protected:
    void SetUp() override {
        server.addFile("/site/a.txt", "alpha v1\n", std::time(nullptr) - 1000);
        server.addFile("/site/sub/b.bin", binaryBody(300 * 1024));
        server.addFile("/site/c.txt", "gamma\n");
    }

    // Writes m.json: an init bundle "first" of `initFiles` and a bundle "rest" of `files` below
    // `base` (the site when empty); `top` adds top-level fields ("name": value, ).
    std::string manifest(std::string const& files, std::string const& initFiles = "",
                         std::string const& base = "", std::string const& top = "") {
        return work.write(
            "m.json", R"({"baseUrl": ")" + (base.empty() ? server.url("/site") : base) + "\", " +
                          top + R"("bundles": [{"name": "first", "init": true, "files": [)" +
                          initFiles + R"(]}, {"name": "rest", "files": [)" + files + "]}]}");
    }
    // `files` below `base`, with `mirror` as its mirror.
    std::string mirrored(std::string const& base, std::string const& mirror,
                         std::string const& files) {
        return manifest(files, "", base, R"("mirrors": [")" + mirror + "\"], ");
    }

    std::string siteManifest() {
        return manifest(R"({"path": "sub/b.bin", "policy": "ifMissing"},
                           {"path": "c.txt", "policy": "validate", "sha256": ")" +
                            sha256("gamma\n") + "\"}",
                        R"({"path": "a.txt"})");
    }

    // The command line of a sync of m.json into target().
    std::vector<std::string> syncArgs(std::vector<std::string> const& extra = {}) const {
        std::vector<std::string> args = {"sync", work.file("m.json"), "--dir", target()};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    // Runs a sync to its end and expects `code`; no run leaves a file of its work behind, and
    // one that ends with every file available not even its lock file.
    Finished sync(std::vector<std::string> const& extra = {}, int code = 0) {
        Finished run = runToEnd(syncArgs(extra));
        EXPECT_EQ(run.code, code) << run.out << run.err;
        EXPECT_THAT(leftovers(target()), testing::IsEmpty());
        if (code == 0) {
            EXPECT_FALSE(fs::exists(target() + "/.resource-sync.lock"));
        }
        return run;
    }

    // Writes m.json as the manifest command makes it of the folder site/ with `options`;
    // returns its text.
    std::string manifestOfSite(std::vector<std::string> options = {}) {
        options.insert(options.begin(),
                       {"manifest", work.file("site"), "--base-url", "http://h.invalid/"});
        Finished const written = runToEnd(options);
        EXPECT_EQ(written.code, 0) << written.err;
        work.write("m.json", written.out);
        return written.out;
    }
    std::vector<std::string> fromSite() const { return {"--from-dir", work.file("site")}; }
    // How often the server was asked for a.txt, sub/b.bin and c.txt.
    std::vector<size_t> requests() const {
        return {server.requestCount("/site/a.txt"), server.requestCount("/site/sub/b.bin"),
                server.requestCount("/site/c.txt")};
    }
    // Makes `ends` a pipe of one page, filled, so that a program's first write to it blocks
    // until it is read; returns how much it holds.
    static int fillPipe(int (&ends)[2]) {
        EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
        int const filled = ::fcntl(ends[1], F_SETPIPE_SZ, 4096);
        EXPECT_EQ(::write(ends[1], std::string(filled, '.').data(), filled), filled);
        return filled;
    }
    std::string target() const { return work.file("out"); }
    std::string local(std::string const& path) const { return TempDir::read(target() + path); }

    HttpTestServer server;
    TempDir work;
};

// A paths-only manifest lists each file by its path and syncs the same; every field of a file
// given as an object is read, and a non-ASCII local path is kept.
TEST_F(ResourceSyncHttp, PathsOnlyAndEveryFieldOfAFileAreRead) {
    work.write("site/top.txt", "top\n");
    work.write("site/sub/one.bin", binaryBody(5000));
    work.write("site/sub/deeper/two.txt", "two\n");
    std::string const written = manifestOfSite({"--policy", "ifMissing", "--paths-only"});
    EXPECT_THAT(written,
                AllOf(HasSubstr("\"sub/deeper/two.txt\""), HasSubstr("\"policy\": \"ifMissing\""),
                      Not(HasSubstr("\"size\"")), Not(HasSubstr("\"path\""))));
    EXPECT_THAT(sync(fromSite()).out, HasSubstr("Synced: 3 files, 3 downloaded"));
    EXPECT_EQ(local("/sub/deeper/two.txt"), "two\n");

    work.write("m.json", R"({"baseUrl": "http://example.invalid/", "bundles": [{"files": [
        {"path": "top.txt", "localPath": "Grüße/ä.txt", "policy": "always", "size": 4,
         "sha256": ")" + sha256("top\n") +
                             R"("}]}]})");
    EXPECT_THAT(sync(fromSite()).out, HasSubstr("downloaded Grüße/ä.txt (4 B)"));
    EXPECT_EQ(local("/Grüße/ä.txt"), "top\n");
}

TEST_F(ResourceSyncHttp, KeepsTheFolderInStepAndFetchesOnlyWhatChanged) {
    siteManifest();
    // (What the files hold, and the line of each download: the failure, repair, mirror and
    // paths-only tests; c.txt here has to match its digest, and the watch test reads back a
    // file fetched again.)
    Finished const first = sync();
    // Through a pipe, one plain line per change: the init bundle is served before any other
    // bundle starts.
    EXPECT_LT(first.out.find("[first] Available, 1/1 files settled"),
              first.out.find("downloading sub/b.bin"));

    // ifModified asks for the time only; ifMissing and a matching digest ask nothing. A report
    // that cannot be written (a folder stands where it goes) fails a run that otherwise succeeded.
    std::vector<size_t> const before = requests();
    fs::create_directories(work.file("taken"));
    Finished const second = sync({"--report", work.file("taken")}, 1);
    EXPECT_THAT(second.out, HasSubstr("Synced: 3 files, 0 downloaded (0 B), 3 already current"));
    EXPECT_THAT(second.err, HasSubstr(work.file("taken")));
    EXPECT_EQ(requests(), (std::vector<size_t>{before[0] + 1, before[1], before[2]}));

    // A newer file on the server, and a local file that no longer matches its digest.
    server.addFile("/site/a.txt", "alpha v2, longer\n", std::time(nullptr) + 100);
    work.write("out/c.txt", "gamma, edited locally\n");
    EXPECT_THAT(sync().out, HasSubstr("2 downloaded (23 B), 1 already current"));
}

TEST_F(ResourceSyncHttp, FailuresNameTheirReasonAndKeepTheOldFile) {
    server.addFile("/site/tampered.bin", "what the server has now");
    server.addStatus("/site/gone.txt", 404);
    std::string const tampered = R"({"path": "tampered.bin", "policy": "always", "sha256": ")" +
                                 sha256("what the manifest promised") + R"("})";
    manifest(tampered + R"(, {"path": "gone.txt"},
                {"path": "c.txt", "localPath": "blocked/c.txt"}, {"path": "a.txt"})");
    work.write("out/tampered.bin", "the good old file");
    work.write("out/blocked", "a file where a folder must go");

    Finished const run = sync({"--report", work.file("report.json"), "--quiet"}, 1);
    for (char const* line : {"tampered.bin: Corrupted: SHA-256 mismatch: expected ",
                             "gone.txt: GeneralError: HTTP 404 Not Found from http://",
                             "blocked/c.txt: GeneralError: cannot create the folder ",
                             "Failed: 4 files, 1 downloaded (9 B), 0 already current, 3 failed"}) {
        EXPECT_THAT(run.out, HasSubstr(line));
    }
    EXPECT_EQ(local("/tampered.bin"), "the good old file");
    EXPECT_EQ(local("/a.txt"), "alpha v1\n");
    // The downloaded file is not current.
    EXPECT_THAT(TempDir::read(work.file("report.json")),
                AllOf(HasSubstr(R"("error": "Corrupted")"), HasSubstr(R"("exitCode": 1)"),
                      HasSubstr(R"("current": 0)")));

    // A corrupt file beside one that cannot be reached is not "offline", nor is a server that
    // answered and then broke off (a give-up long enough for its quick retries to end).
    server.addRedirect("/site/away.txt", unreachableUrl() + "/away.txt");
    manifest(tampered + R"(, "away.txt")");
    EXPECT_THAT(sync({"--give-up", "1", "--quiet"}, 1).out,
                HasSubstr("away.txt: InternetConnectionLost"));
    server.addFault("/site/short.bin", binaryBody(1024 * 1024), HttpTestServer::Fault::ShortBody,
                    64 * 1024);
    manifest(R"("away.txt", "short.bin")");
    EXPECT_THAT(sync({"--give-up", "3", "--quiet"}, 1).out,
                AllOf(HasSubstr("short.bin: InternetConnectionLost: transfer failed: "),
                      HasSubstr("Failed (gave up waiting for retries)")));
}

// A file that fails on the base URL comes from the mirror before any retry pause, the report
// names the mirror for it, and the base URL is tried last for the next file.
TEST_F(ResourceSyncHttp, MirrorsAFailedSourceHandsTheFileToTheNextAndIsTriedLastFromThenOn) {
    // How the base URL fails: an error status (500), a corrupt body (200) or no server (0).
    for (int const status : {500, 0, 200}) {
        SCOPED_TRACE(status);
        HttpTestServer first;
        for (std::string const name : {"/site/a.txt", "/site/c.txt"}) {
            status == 500 ? first.addStatus(name, 500) : first.addFile(name, "damaged\n");
        }
        std::string const base = status != 0 ? first.url("/site") : unreachableUrl() + "/site";
        mirrored(base, server.url("/site"),
                 R"({"path": "a.txt", "sha256": ")" + sha256("alpha v1\n") +
                     R"("}, {"path": "c.txt", "sha256": ")" + sha256("gamma\n") + "\"}");
        fs::remove_all(target());
        std::vector<size_t> const before = requests();
        // One download at a time: the second file starts after the first one's failover.
        Finished const run = sync({"-j", "1", "--report", work.file("report.json")});
        EXPECT_THAT(run.out, HasSubstr("downloaded a.txt (9 B) from " + server.url("/site/a.txt")));
        EXPECT_EQ(requests(), (std::vector<size_t>{before[0] + 1, before[1], before[2] + 1}));
        if (status != 0) {
            EXPECT_EQ(first.requestCount("/site/a.txt") + first.requestCount("/site/c.txt"), 1u);
        }
        QJsonArray const sources = QJsonDocument::fromJson(QByteArray::fromStdString(
            TempDir::read(work.file("report.json"))))["sources"]
                                       .toArray();
        EXPECT_EQ(QJsonDocument(sources).toJson(QJsonDocument::Compact).toStdString(),
                  R"([{"files":[],"url":")" + base + R"("},{"files":["a.txt","c.txt"],"url":")" +
                      server.url("/site") + R"("}])");
    }
}

// A file no source has fails with every source's reason; one source that answered makes the run
// failed, not offline. A download that the run cancels does not go on to the mirror.
TEST_F(ResourceSyncHttp, MirrorsEverySourceFailingOrACancelEndsTheWalk) {
    server.addStatus("/site/gone.txt", 404);
    std::string const away = unreachableUrl();
    std::string const wrong = R"({"path": "a.txt", "policy": "always", "sha256": ")" +
                              sha256("what the manifest promised") + R"("})";
    mirrored(server.url("/site"), away, R"("gone.txt", )" + wrong);
    work.write("out/a.txt", "the good old file");
    // A wrong file from every source that answered is Corrupted, as without mirrors.
    EXPECT_THAT(sync({"--give-up", "3", "--quiet"}, 1).out,
                AllOf(HasSubstr("gone.txt: GeneralError: HTTP 404 Not Found from " +
                                server.url("/site/gone.txt") + "; "),
                      HasSubstr("from " + away + "/gone.txt\n"),
                      HasSubstr("a.txt: Corrupted: SHA-256 mismatch: expected ")));
    EXPECT_EQ(local("/a.txt"), "the good old file");

    HttpTestServer first;
    first.addFault("/site/slow.bin", binaryBody(1024 * 1024), HttpTestServer::Fault::Stall,
                   64 * 1024);
    server.addFile("/site/slow.bin", binaryBody(1024 * 1024));
    mirrored(first.url("/site"), server.url("/site"), R"("slow.bin")");
    // The give-up cancels the stalled transfer: the file fails as stalled, and the mirror is
    // never asked.
    EXPECT_THAT(sync({"--give-up", "1", "--quiet"}, 1).out,
                AllOf(HasSubstr("slow.bin: Cancelled: stalled: no data for "),
                      HasSubstr("Failed (gave up waiting for retries)")));
    EXPECT_EQ(server.requestCount("/site/slow.bin"), 0u);
}

// One run at a time in a folder: the next leaves with exit 4 or waits for it, also when the run
// it waits for ends cleanly and removes the lock file meanwhile. A signal during a transfer ends
// a run with the old file and no temporary file of its own.
TEST_F(ResourceSyncHttp, OneRunPerFolderTheNextWaitsOrLeavesWithFourASignalKeepsTheOldFile) {
    // The first run holds the folder until its output, a full pipe, is read.
    manifest(R"("a.txt")");
    int pipe[2];
    fillPipe(pipe);
    Program first(syncArgs(), kProgram, "/dev/null", pipe[1]);
    ::close(pipe[1]);
    ASSERT_TRUE(waitUntil([&] { return fs::exists(target() + "/a.txt"); }, first.moving()));

    // The second run, of slow.bin, waits; once the first has ended it takes the folder, and its
    // transfer stalls until Ctrl-C.
    server.addFault("/site/slow.bin", binaryBody(1024 * 1024), HttpTestServer::Fault::Stall,
                    64 * 1024);
    manifest(R"({"path": "slow.bin", "policy": "always"})");
    work.write("out/slow.bin", "old");
    Program second(syncArgs());
    std::string const waiting = "waiting for another resource-sync in " + target() + " (pid ";
    ASSERT_TRUE(waitUntil([&] { return second.err().find(waiting) != std::string::npos; }));
    runToEnd({}, "/bin/cat", "/proc/self/fd/" + std::to_string(pipe[0]));
    ::close(pipe[0]);
    EXPECT_EQ(first.wait(), 0);
    ASSERT_TRUE(waitUntil([&] { return server.stalledNow() > 0 && !leftovers(target()).empty(); },
                          second.moving()));

    // (The second run's temporary file is there meanwhile.)
    Finished const busy = runToEnd(syncArgs({"--no-wait"}));
    EXPECT_EQ(busy.code, 4) << busy.out << busy.err;
    EXPECT_THAT(busy.err, HasSubstr("another resource-sync is running in " + target() + " (pid "));

    second.signal(SIGINT);
    EXPECT_EQ(second.wait(), 130) << second.out() << second.err();
    EXPECT_THAT(second.out(), HasSubstr("Interrupted"));
    EXPECT_EQ(second.err().find(waiting), second.err().rfind(waiting)) << "printed once";
    EXPECT_EQ(local("/slow.bin"), "old");
    EXPECT_TRUE(leftovers(target()).empty());
}

// A present file of another size than the manifest's is damaged and fetched again under every
// policy; with --verify so is one whose digest does not match.
TEST_F(ResourceSyncHttp, DamagedFilesAreRepairedBySizeAndWithVerifyByDigest) {
    manifest(R"({"path": "sub/b.bin", "policy": "ifMissing", "size": 307200, "sha256": ")" +
             sha256(binaryBody(300 * 1024)) + R"("}, {"path": "a.txt", "size": 9})");
    sync();
    fs::resize_file(target() + "/sub/b.bin", 1000);
    fs::resize_file(target() + "/a.txt", 3);  // the server's copy is older: only the size tells
    EXPECT_THAT(
        sync().out,
        AllOf(HasSubstr("repaired sub/b.bin (300.0 KiB)"),
              HasSubstr("2 downloaded (300.0 KiB), 0 already current, 0 failed, 2 repaired")));
    EXPECT_EQ(local("/a.txt"), "alpha v1\n");

    // The same size, another first byte.
    work.write("out/sub/b.bin", "x" + binaryBody(300 * 1024).substr(1));
    EXPECT_THAT(sync().out, HasSubstr("2 already current"));
    EXPECT_THAT(sync({"--verify"}).out, HasSubstr("1 repaired"));
    EXPECT_EQ(local("/sub/b.bin"), binaryBody(300 * 1024));
}

// A password never reaches the lines, the trace or the report; with a netrc file it need not be
// in the manifest at all.
TEST_F(ResourceSyncHttp, NoPasswordInAnyOutputAndNetrcSuppliesIt) {
    server.addProtectedFile("/site/private.txt", "private\n", "reader", "s3cret");
    std::string const withPassword = "http://reader:s3cret@" + server.baseUrl().substr(7);
    manifest(R"("private.txt", "gone.txt")", "", withPassword + "/site");
    Finished const run = sync({"--trace", "--report", work.file("r.json")}, 1);
    EXPECT_EQ(local("/private.txt"), "private\n");
    EXPECT_THAT(run.out, HasSubstr("http://***@127.0.0.1:"));
    EXPECT_THAT(run.out + run.err + TempDir::read(work.file("r.json")), Not(HasSubstr("s3cret")));

    fs::remove(target() + "/private.txt");
    manifest(R"("private.txt")");
    sync({}, 1);  // 401 without credentials
    sync({"--netrc-file", work.write("netrc", "machine 127.0.0.1 login reader password s3cret\n")});
}

// --rate holds a run to the rate, and the running transfers share it.
TEST_F(ResourceSyncHttp, RateHoldsForTheTransfersTogether) {
    for (std::string const name : {"r0.bin", "r1.bin", "r2.bin", "r3.bin"}) {
        server.addFile("/site/" + name, binaryBody(64 * 1024));
    }
    manifest(R"("r0.bin", "r1.bin", "r2.bin", "r3.bin")");
    // 256 KiB at 128 KiB/s: 2 s. Were each transfer given the whole rate, the four would end
    // in 0.5 s.
    auto const start = std::chrono::steady_clock::now();
    EXPECT_THAT(sync({"--rate", "128", "-j4"}).out, HasSubstr("4 downloaded (256.0 KiB)"));
    // Only a lower bound: a busy machine makes the run slower, never faster.
    std::chrono::duration<double> const seconds = std::chrono::steady_clock::now() - start;
    EXPECT_GE(seconds.count(), 1.5);
}

// --dry-run tells what a run would fetch, and why, and what --delete would remove, and writes
// nothing, not even the folder or its lock. --delete then removes what no entry names once every
// file is available: never the sync's own files, never what a link points to, and nothing
// after a run with failures. The leftovers of dead runs go, and nothing is written through a
// link out of the target.
TEST_F(ResourceSyncHttp, DryRunAndDeleteTouchOnlyWhatTheyShould) {
    siteManifest();
    EXPECT_THAT(sync({"--dry-run"}).out,
                AllOf(HasSubstr("would download sub/b.bin (missing)"),
                      HasSubstr("Dry run: 3 files, 3 would be downloaded")));
    EXPECT_FALSE(fs::exists(target()));

    sync();
    work.write("out/c.txt", "gamma, edited locally\n");
    work.write("out/stale.txt", "old");
    work.write("out/sub/old.bin", "old");
    std::string const live =
        work.write("out/a.txt.resource-sync-" + std::to_string(::getpid()) + ".part", "live");
    std::string const outside = work.write("outside.txt", "keep");
    fs::create_symlink(outside, target() + "/link");
    EXPECT_THAT(sync({"--dry-run", "--delete"}).out,
                AllOf(HasSubstr("would download c.txt (does not match its sha256)"),
                      HasSubstr("would delete stale.txt"), Not(HasSubstr("downloading"))));
    EXPECT_EQ(local("/c.txt"), "gamma, edited locally\n");
    EXPECT_TRUE(fs::exists(target() + "/stale.txt"));

    // After a run that was killed (its lock file stays, naming it), the leftovers of runs that
    // are gone are removed; a temporary of a live process (this test) is not.
    std::string const old = work.write("out/c.txt.resource-sync-part", "an old version's");
    work.write("out/.resource-sync.lock", "1 running\n");
    EXPECT_THAT(sync({"--delete"}).out, AllOf(HasSubstr("deleted sub/old.bin"),
                                              HasSubstr("0 failed, 1 repaired, 3 deleted")));
    EXPECT_FALSE(fs::exists(old));
    EXPECT_FALSE(fs::exists(target() + "/stale.txt"));
    EXPECT_FALSE(fs::is_symlink(target() + "/link"));
    EXPECT_EQ(TempDir::read(outside), "keep");
    EXPECT_TRUE(fs::exists(live));
    EXPECT_EQ(local("/c.txt"), "gamma\n");

    // A link out of the target fails the run, and nothing is written through it; a run with
    // failures deletes nothing.
    work.write("out/stale.txt", "old");
    std::string const elsewhere = work.file("elsewhere");
    fs::create_directories(elsewhere);
    fs::remove_all(target() + "/sub");
    fs::create_directory_symlink(elsewhere, target() + "/sub");
    EXPECT_THAT(sync({"--delete", "--give-up", "1"}, 1).out,
                HasSubstr("sub/b.bin leads outside " + target() + " through the symlink " +
                          target() + "/sub"));
    EXPECT_TRUE(fs::is_empty(elsewhere));
    EXPECT_TRUE(fs::exists(target() + "/stale.txt"));
}

// On a terminal a file that waits for its retry shows why it failed and when it is tried
// again; through a pipe a long download gets a line with its bytes and rate every 10 s.
TEST_F(ResourceSyncHttp, AWaitingOrLongFileIsShownWhileItLasts) {
    server.addRedirect("/site/away.txt", unreachableUrl() + "/away.txt");
    manifest(R"("away.txt")");
    std::string const screen =
        screenOf(kProgram + " sync " + work.file("m.json") + " --dir " + target() + " --give-up 60",
                 100, ", retrying in ");
    EXPECT_THAT(screen, HasSubstr("failed away.txt: "));

    // 1.1 MiB at 100 KiB/s: about 11 s, so one progress line.
    work.write("site/long.bin", binaryBody(1100 * 1024));
    manifest(R"({"path": "long.bin", "policy": "always"})");
    EXPECT_THAT(sync({"--rate", "100", "--from-dir", work.file("site")}).out,
                testing::ContainsRegex("long.bin: [0-9.]+ [KM]iB, [0-9.]+ KiB/s"));
}

// A failure line says the error of its moment, even when a retry has succeeded by the time it
// is printed. The program's output goes into a pipe the test has filled, so its main thread
// stays blocked in its first line while the file fails once and its retry succeeds (the trace
// on standard error tells when); only then is the pipe read.
TEST_F(ResourceSyncHttp, AFailureLineKeepsItsErrorAfterASuccessfulRetry) {
    server.addFlakyFile("/site/f.txt", "f\n", 1, 500);
    manifest(R"({"path": "f.txt", "policy": "always"})");
    int pipe[2];
    int const filled = fillPipe(pipe);
    Program program(syncArgs({"--trace"}), kProgram, "/dev/null", pipe[1]);
    ::close(pipe[1]);
    EXPECT_TRUE(waitUntil(
        [&] {
            return program.err().find("Available, err:NoError =100%) /Exec") != std::string::npos;
        },
        program.moving()));
    // cat empties the pipe (its standard input) until the program has ended.
    Finished const drained = runToEnd({}, "/bin/cat", "/proc/self/fd/" + std::to_string(pipe[0]));
    ::close(pipe[0]);
    EXPECT_EQ(program.wait(), 0);
    EXPECT_THAT(drained.out.substr(filled), HasSubstr("failed f.txt: GeneralError: HTTP 500"));
    EXPECT_EQ(local("/f.txt"), "f\n");
}

TEST_F(ResourceSyncHttp, WatchFetchesAFileChangedWhileItRuns) {
    siteManifest();
    Program program(syncArgs({"--watch", "1"}));
    ASSERT_TRUE(waitUntil(
        [&] { return fs::exists(target() + "/c.txt") && local("/a.txt") == "alpha v1\n"; },
        program.moving()));
    server.addFile("/site/a.txt", "alpha v2\n", std::time(nullptr) + 100);
    EXPECT_TRUE(waitUntil([&] { return local("/a.txt") == "alpha v2\n"; }, program.moving()));
    program.signal(SIGTERM);
    EXPECT_EQ(program.wait(), 143);
}

// Offline ends the run at once with exit 3; so does a host that cannot be reached once
// --give-up has passed. An ifModified file whose check failed keeps its old copy but is not
// "already current": it is counted on its own, named with the reason, and fails the run (with
// 3 when nothing could be reached).
TEST_F(ResourceSyncHttp, OfflineUnreachableOrUncheckedFailsTheRun) {
    siteManifest();
    // (A run that waited for the give-up would be killed as standing still, and fail.)
    EXPECT_THAT(sync({"--offline-marker", work.write("offline", ""), "--give-up", "600"}, 3).out,
                HasSubstr("a.txt: InternetConnectionLost"));

    sync();
    server.addStatus("/site/a.txt", 500);
    EXPECT_THAT(sync({"--report", work.file("report.json")}, 1).out,
                AllOf(HasSubstr("2 already current, 0 failed, 1 not checked"),
                      HasSubstr("a.txt: not checked: HTTP 500")));
    EXPECT_THAT(TempDir::read(work.file("report.json")), HasSubstr(R"("notChecked": 1)"));

    // Unreachable: a present file cannot be checked (which is not retried), a missing one
    // cannot be fetched (which is, until the give-up).
    manifest(R"("a.txt")", "", unreachableUrl());
    EXPECT_THAT(sync({}, 3).out, HasSubstr("a.txt: not checked: "));
    EXPECT_EQ(local("/a.txt"), "alpha v1\n");
    manifest(R"("x")", "", unreachableUrl());
    // Plain lines wake the main thread with every change; --quiet only once the failures may
    // end the round.
    for (char const* display : {"--trace", "--quiet"}) {
        EXPECT_THAT(sync({"--give-up", "1", display}, 3).out,
                    AllOf(HasSubstr("Offline (gave up waiting for retries)"),
                          HasSubstr("x: InternetConnectionLost: ")));
    }
}

// A download cut off by Ctrl-C keeps its part; the next run takes it over and asks only for the
// rest, and the whole file still has to match its digest.
TEST_F(ResourceSyncHttp, AnInterruptedDownloadGoesOnInTheNextRun) {
    std::string const whole = binaryBody(3 * 1024 * 1024);
    size_t const cut = 2 * 1024 * 1024;
    int64_t const serverTime = 1700000000;
    server.addFault("/site/big.bin", whole, HttpTestServer::Fault::Stall, cut, serverTime);
    manifest(R"({"path": "big.bin", "sha256": ")" + sha256(whole) + "\"}");
    {
        Program first({"sync", work.file("m.json"), "--dir", target()});
        auto const partArrived = [&] {
            std::vector<std::string> const parts = leftovers(target());
            std::error_code error;
            return parts.size() == 2 &&
                   fs::file_size(parts[0], error) + fs::file_size(parts[1], error) > cut;
        };
        ASSERT_TRUE(waitUntil(partArrived, first.moving()));
        first.signal(SIGINT);
        EXPECT_EQ(first.wait(), 130) << first.out() << first.err();
    }
    server.addFile("/site/big.bin", whole, serverTime);
    sync();
    EXPECT_EQ(server.lastHeader("/site/big.bin", "Range"), "bytes=" + std::to_string(cut) + "-");
}

// Each file's data reaches the disk before it is renamed into place, and the rename before the
// run ends (seen in the system calls); --no-fsync skips both.
TEST_F(ResourceSyncHttp, FilesReachTheDiskBeforeTheirRenameUnlessAskedNotTo) {
    manifest(R"("a.txt")");
    for (bool const flush : {true, false}) {
        fs::remove_all(target());
        // LeakSanitizer cannot stop the threads of a traced process; leaks are looked for in
        // every other run of the program.
        Finished const run = runToEnd(
            words("-f -y -E ASAN_OPTIONS=detect_leaks=0 -e trace=fdatasync,fsync,rename,renameat,"
                  "renameat2 -o " +
                  work.file("calls") + " " + kProgram + " sync " + work.file("m.json") + " --dir " +
                  target() + (flush ? "" : " --no-fsync")),
            "/usr/bin/strace");
        ASSERT_EQ(run.code, 0) << run.out << run.err;
        std::string const calls = TempDir::read(work.file("calls"));
        size_t const data = calls.find("a.txt.resource-sync-");
        size_t const renamed = calls.find("\", \"" + target() + "/a.txt\"");
        size_t const folder = calls.find("fsync(", renamed);
        ASSERT_NE(renamed, std::string::npos) << calls;
        EXPECT_EQ(calls.rfind("fdatasync(", data) != std::string::npos && data < renamed, flush)
            << calls;
        EXPECT_EQ(folder != std::string::npos &&
                      calls.find("<" + target() + ">", folder) != std::string::npos,
                  flush)
            << calls;
    }
}

// A server with a private CA is refused until --cacert, or a variable that curl or OpenSSL
// read, names it.
TEST_F(ResourceSyncHttp, APrivateCaIsTrustedThroughCacertOrTheEnvironment) {
    HttpTestServer tls(HttpTestServer::Scheme::HttpsSelfSigned);
    tls.addFile("/site/a.txt", "over TLS\n");
    manifest(R"("a.txt")", "", tls.url("/site"));
    EXPECT_THAT(sync({}, 1).out, HasSubstr("certificate"));
    sync({"--cacert", tls.certificateFile()});
    for (std::string const variable : {"CURL_CA_BUNDLE", "SSL_CERT_FILE"}) {
        fs::remove_all(target());
        std::vector<std::string> args = syncArgs();
        // (CURL_CA_BUNDLE comes first; this machine may set both.)
        args.insert(args.begin(),
                    {"-u", "CURL_CA_BUNDLE", variable + "=" + tls.certificateFile(), kProgram});
        EXPECT_EQ(runToEnd(args, "/usr/bin/env").code, 0) << variable;
    }
}

// The terminal display as a person sees it: the program runs in a tmux pane and the test reads
// the final screen.
TEST_F(ResourceSyncHttp, TerminalShowsABarPerBundleAndTheSummary) {
    work.write("site/music/one.bin", binaryBody(1024 * 1024));
    work.write("site/music/two.bin", binaryBody(1024 * 1024 + 1));
    work.write("site/docs/three.txt", std::string(512 * 1024, 't'));
    work.write("site/a-bundle-with-a-name-too-long-to-show/four.txt", "four");
    manifestOfSite();

    // The final screen of a run in a tmux pane `columns` wide.
    auto const finalScreen = [&](int columns) {
        fs::remove_all(target());
        std::string const screen = screenOf(kProgram + " sync " + work.file("m.json") + " --dir " +
                                                target() + " --from-dir " + work.file("site") +
                                                " --rate 2560 --jobs 1; echo exit $?; cat",
                                            columns, "exit ");
        EXPECT_THAT(screen, HasSubstr("exit 0\n"));
        return screen;
    };

    std::string const screen = finalScreen(100);
    std::string const full = "[##############################] 100%  ";
    EXPECT_THAT(screen, HasSubstr("music                " + full + "2.0 MiB / 2.0 MiB  2/2 files"));
    EXPECT_THAT(screen, HasSubstr("total                " + full + "2.5 MiB / 2.5 MiB  "));
    EXPECT_THAT(screen, HasSubstr("a-bundle-~ng-to-show " + full));
    EXPECT_THAT(screen, HasSubstr("Synced: 4 files, 4 downloaded (2.5 MiB), 0 already current"));
    // A narrow terminal shortens the names and the bars, never a number.
    std::string const narrow = finalScreen(60);
    EXPECT_THAT(narrow, HasSubstr("] 100%  512.0 KiB / 512.0 KiB  1/1 files\n"));
    EXPECT_THAT(narrow, testing::ContainsRegex(
                            "total.*\\] 100%  2\\.5 MiB / 2\\.5 MiB  [0-9.]+ [KMG]?i?B/s"));
}

}  // namespace
}  // namespace Tiskel::Test
