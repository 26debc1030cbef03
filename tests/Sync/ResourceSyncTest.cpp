#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <regex>
#include <set>
#include <signal.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include <QByteArray>
#include <QCryptographicHash>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Program.h"
#include "Support/HttpTestServer.h"
#include "Support/TempDir.h"
#include "Support/Wait.h"

namespace Tiskel::Test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

std::string const kProgram = RDM_SYNC_PROGRAM;

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

// Files the sync left behind while working: none may survive a run.
std::vector<std::string> leftovers(std::string const& folder) {
    std::vector<std::string> found;
    std::error_code error;
    for (auto const& entry : fs::recursive_directory_iterator(folder, error)) {
        std::string const name = entry.path().string();
        if (name.find(".resource-sync-") != std::string::npos) {
            found.push_back(name);
        }
    }
    return found;
}

int64_t now() {
    return static_cast<int64_t>(std::time(nullptr));
}

TEST(ResourceSyncManifest, EveryProblemIsReportedWithExitTwoAndNothingWritten) {
    std::string const sha = std::string(64, 'a');
    struct Case {
        std::string manifest;  // empty: the manifest file does not exist
        std::vector<std::string> extraArgs;
        char const* message;
    };
    std::vector<Case> const cases = {
        {"", {}, "cannot read the manifest: No such file or directory"},
        {"{\"baseUrl\": \"http://h/\",\n  \"bundles\": [ }", {}, "m.json:2:16: JSON syntax error"},
        {"[]", {}, "the manifest must be a JSON object"},
        {R"({"bundles": []})", {}, "baseUrl: missing"},
        {R"({"baseUrl": "htp:/x", "bundles": []})", {}, "baseUrl: \"htp:/x\" must start with"},
        {R"({"baseUrl": "http://h/", "bundles": [{"files": []}, {"files": [{"path": "a",
            "sha256": 12}]}]})",
         {},
         "bundles[1].files[0].sha256: expected a string of 64 hexadecimal digits"},
        {R"({"baseUrl": "http://h/", "bundles": [{"files": [{"path": "a", "policy": "weekly"}]}]})",
         {},
         "bundles[0].files[0].policy: unknown policy \"weekly\""},
        {R"({"baseUrl": "http://h/", "bundles": [{"files": [{"path": "a", "mtime": 1}]}]})",
         {},
         "bundles[0].files[0].mtime: unknown field"},
        // An unknown field beside every usual one, and one that comes before a missing path.
        {R"({"baseUrl": "http://h/", "bundles": [{"files": [{"path": "a", "size": 1,
            "sha256": ")" +
             sha + R"(", "mtime": 1}]}]})",
         {},
         "bundles[0].files[0].mtime: unknown field"},
        {R"({"baseUrl": "http://h/", "bundles": [{"files": [{"mtime": 1}]}]})",
         {},
         "bundles[0].files[0].mtime: unknown field"},
        {R"({"baseUrl": "http://h/", "bundles": [{"files": [{"path": 7}]}]})",
         {},
         "bundles[0].files[0].path: expected a string"},
        {R"({"baseUrl": "http://h/", "bundles": [{"files": [{"path": "a", "localPath": "a/../../x"}]}]})",
         {},
         "bundles[0].files[0].localPath: \"a/../../x\" escapes the target folder"},
        {R"({"baseUrl": "http://h/", "bundles": [{"files": [{"path": "../x"}]}]})",
         {},
         "bundles[0].files[0].path: must not use \"..\""},
        {R"({"baseUrl": "http://h/", "bundles": [{"files": [{"path": "a", "localPath": "/etc/x"}]}]})",
         {},
         "bundles[0].files[0].localPath: \"/etc/x\" escapes the target folder"},
        {R"({"baseUrl": "http://h/", "bundles": [{"files": [{"path": "a"},
            {"path": "b", "localPath": "./a"}]}]})",
         {},
         "bundles[0].files[1]: local path \"a\" is also the local path of "
         "bundles[0].files[0]"},
        {R"({"baseUrl": "http://h/", "bundles": [{"files": ["x", "a"]},
            {"files": [{"path": "b", "localPath": "a"}]}]})",
         {},
         "bundles[1].files[0]: local path \"a\" is also the local path of "
         "bundles[0].files[1]"},
        {R"({"baseUrl": "http://h/", "bundles": [{"files": [{"path": "a"}, {"path": "a/b"}]}]})",
         {},
         "needs \"a\" as a folder"},
        {R"({"baseUrl": "http://h/", "bundles": [{"files": [{"path": "x.resource-sync-part"}]}]})",
         {},
         "is a name the sync uses for its own files"},
        {R"({"baseUrl": "http://h/", "bundles": [{"files": ["d/x.resource-sync-42.new"]}]})",
         {},
         "is a name the sync uses for its own files"},
        {R"({"baseUrl": "http://h/", "bundles": [{"files": [".resource-sync.lock"]}]})",
         {},
         "is a name the sync uses for its own files"},
        {R"({"baseUrl": "http://h/", "target": "a/../../x", "bundles": []})",
         {},
         "target: \"a/../../x\" leads out of the manifest's folder"},
        {R"({"baseUrl": "http://h/", "target": "/tmp/x", "bundles": []})",
         {},
         "target: \"/tmp/x\" must be relative"},
        {R"({"baseUrl": "http://h/", "bundles": [{"files": [{"path": "a", "policy": "validate"}]}]})",
         {},
         "sha256: missing: the validate policy"},
        {R"({"baseUrl": "http://h/", "bundles": []})", {"--jobs", "0"}, "--jobs needs"},
        {R"({"baseUrl": "http://h/", "bundles": []})", {"--rate", "0"}, "--rate needs a whole"},
        {R"({"baseUrl": "http://h/", "bundles": []})", {"--colour"}, "unknown option --colour"},
        {R"({"baseUrl": "http://h/", "bundles": []})", {"-x"}, "unknown option -x"},
        {R"({"baseUrl": "http://h/", "bundles": []})", {"-j", "0"}, "--jobs needs a whole"},
        {R"({"baseUrl": "http://h/", "bundles": []})", {"--quiet=yes"}, "--quiet takes no value"},
    };
    for (Case const& test : cases) {
        TempDir dir;
        std::string const manifest =
            test.manifest.empty() ? dir.file("m.json") : dir.write("m.json", test.manifest);
        std::vector<std::string> args = {"sync", manifest, "--dir", dir.file("target")};
        args.insert(args.end(), test.extraArgs.begin(), test.extraArgs.end());
        Finished const run = runToEnd(kProgram, args);
        EXPECT_EQ(run.code, 2) << test.message;
        EXPECT_THAT(run.err, HasSubstr(test.message));
        EXPECT_FALSE(fs::exists(dir.file("target"))) << test.message;
    }
}

TEST(ResourceSyncManifest, EveryFieldOfAFileIsReadAndANonAsciiLocalPathIsKept) {
    TempDir work;
    work.write("site/a.txt", "alpha\n");
    work.write("m.json", R"({"baseUrl": "http://example.invalid/", "bundles": [{"files": [
        {"path": "a.txt", "localPath": "Grüße/ä.txt", "policy": "always", "size": 6,
         "sha256": ")" + sha256("alpha\n") +
                             R"("}]}]})");
    Finished const run = runToEnd(kProgram, {"sync", work.file("m.json"), "--dir", work.file("out"),
                                             "--from-dir", work.file("site")});
    ASSERT_EQ(run.code, 0) << run.out << run.err;
    EXPECT_EQ(TempDir::read(work.file("out/Grüße/ä.txt")), "alpha\n");
    EXPECT_THAT(run.out, HasSubstr("downloaded Grüße/ä.txt (6 B)"));
}

TEST(ResourceSyncManifest, PathsOnlyListsEachFileByItsPathAndSyncsTheSame) {
    TempDir work;
    work.write("site/top.txt", "top\n");
    work.write("site/sub/one.bin", binaryBody(5000));
    work.write("site/sub/deeper/two.txt", "two\n");
    Finished const written =
        runToEnd(kProgram, {"manifest", work.file("site"), "--base-url", "http://h.invalid/",
                            "--policy", "ifMissing", "--paths-only"});
    ASSERT_EQ(written.code, 0) << written.err;
    EXPECT_THAT(written.out, HasSubstr("\"sub/deeper/two.txt\""));
    EXPECT_THAT(written.out, HasSubstr("\"policy\": \"ifMissing\""));
    EXPECT_THAT(written.out, Not(HasSubstr("\"size\"")));
    EXPECT_THAT(written.out, Not(HasSubstr("\"path\"")));
    work.write("m.json", written.out);

    Finished const run = runToEnd(kProgram, {"sync", work.file("m.json"), "--dir", work.file("out"),
                                             "--from-dir", work.file("site")});
    ASSERT_EQ(run.code, 0) << run.out << run.err;
    EXPECT_THAT(run.out, HasSubstr("Synced: 3 files, 3 downloaded"));
    EXPECT_EQ(TempDir::read(work.file("out/sub/one.bin")), binaryBody(5000));
    EXPECT_EQ(TempDir::read(work.file("out/sub/deeper/two.txt")), "two\n");

    Finished const refused =
        runToEnd(kProgram, {"manifest", work.file("site"), "--base-url", "http://h.invalid/",
                            "--policy", "validate", "--paths-only"});
    EXPECT_EQ(refused.code, 2);
    EXPECT_THAT(refused.err, HasSubstr("the validate policy needs the SHA-256 digests"));
}

// The command line as people type it: help and the version on standard output with exit 0, the
// short forms, "-" for a manifest on standard input, and a file name no manifest can hold.
TEST(ResourceSyncCommandLine, HelpVersionShortFormsStandardInputAndNamesThatAreNotUtf8) {
    struct Case {
        std::vector<std::string> args;  // {m}, {out}, {site} and {bad} name the work folder's
        std::string input;              // standard input; {manifest}: the manifest's text
        int code;
        std::string out;  // found in standard output
        std::string err;  // found in standard error
        bool synced;      // {out}/a.txt was fetched
    };
    std::string const version = RDM_PROJECT_VERSION;
    std::vector<Case> const cases = {
        {{"--version"}, "", 0, "resource-sync " + version + "\n", "", false},
        {{"sync", "--help"}, "", 0, "usage: resource-sync sync MANIFEST", "", false},
        {{"manifest", "-h"}, "", 0, "usage: resource-sync manifest DIR", "", false},
        {{"help", "sync"}, "", 0, "-q, --quiet", "", false},
        {{"sync", "{m}", "-q", "-j", "2", "-d", "{out}", "--from-dir", "{site}"},
         "",
         0,
         "Synced: 1 files",
         "",
         true},
        {{"sync", "{m}", "-qj1", "-d{out}", "--from-dir", "{site}"}, "", 0, "Synced", "", true},
        {{"sync", "-", "-d", "{out}", "--from-dir", "{site}"},
         "{manifest}",
         0,
         "downloaded a.txt",
         "",
         true},
        {{"sync", "-", "-d", "{out}"},
         "[]",
         2,
         "",
         "stdin: the manifest must be a JSON object",
         false},
        {{"manifest", "{bad}", "--base-url", "http://h.invalid/"},
         "",
         2,
         "",
         "bad/caf\\xe9.txt: the file name is not UTF-8",
         false},
    };
    for (Case const& test : cases) {
        TempDir work;
        std::string const manifest =
            R"({"baseUrl": "http://h.invalid/", "bundles": [{"files": ["a.txt"]}]})";
        work.write("m.json", manifest);
        work.write("site/a.txt", "alpha\n");
        work.write("bad/caf\xe9.txt", "a Latin-1 name");
        auto expand = [&work](std::string text) {
            for (auto const& [key, value] : {std::pair{"{m}", work.file("m.json")},
                                             {"{out}", work.file("out")},
                                             {"{site}", work.file("site")},
                                             {"{bad}", work.file("bad")}}) {
                if (size_t const at = text.find(key); at != std::string::npos) {
                    text.replace(at, std::string(key).size(), value);
                }
            }
            return text;
        };
        std::vector<std::string> args;
        for (std::string const& arg : test.args) {
            args.push_back(expand(arg));
        }
        std::string const input =
            work.write("input", test.input == "{manifest}" ? manifest : test.input);
        Finished const run = runToEnd(kProgram, args, input);
        SCOPED_TRACE(test.args.front() + " " + (test.args.size() > 1 ? test.args[1] : ""));
        EXPECT_EQ(run.code, test.code) << run.out << run.err;
        EXPECT_THAT(run.out, HasSubstr(test.out));
        EXPECT_THAT(run.err, HasSubstr(test.err));
        if (test.args.size() > 2 && test.args[2].rfind("-q", 0) == 0) {
            EXPECT_THAT(run.out, Not(HasSubstr("downloading")));
        }
        EXPECT_EQ(fs::exists(work.file("out/a.txt")), test.synced);
    }
}

// Every option a command's help lists is offered by the bash completion and described in the
// manual page, and the completion offers no other: an option added to one and not the others
// fails here.
TEST(ResourceSyncCommandLine, CompletionAndManualPageKnowTheOptionsOfTheHelp) {
    std::string const manual = TempDir::read(RDM_SYNC_MANUAL);
    std::regex const option(R"((^|[\s,(])(--?[a-z][a-z0-9-]*))");
    for (std::string const command : {"sync", "manifest"}) {
        Finished const help = runToEnd(kProgram, {command, "--help"});
        ASSERT_EQ(help.code, 0) << help.err;
        std::set<std::string> listed;
        for (std::sregex_iterator it(help.out.begin(), help.out.end(), option), end; it != end;
             ++it) {
            listed.insert((*it)[2]);
        }
        ASSERT_GT(listed.size(), 4u) << help.out;

        std::string const script = std::string("source ") + RDM_SYNC_COMPLETION +
                                   "; COMP_WORDS=(resource-sync " + command +
                                   " x -); COMP_CWORD=3; _resource_sync; "
                                   "printf '%s\\n' \"${COMPREPLY[@]}\"";
        Finished const completion = runToEnd("/bin/bash", {"-c", script});
        ASSERT_EQ(completion.code, 0) << completion.err;
        std::set<std::string> offered;
        std::istringstream lines(completion.out);
        for (std::string line; std::getline(lines, line);) {
            offered.insert(line);
        }
        EXPECT_EQ(offered, listed) << command;

        for (std::string const& name : listed) {
            // troff writes each dash of an option as "\-".
            std::string escaped;
            for (char c : name) {
                escaped += c == '-' ? std::string("\\-") : std::string(1, c);
            }
            EXPECT_THAT(manual, HasSubstr(escaped)) << command << " " << name;
        }
    }
}

// A small site on the loopback server, synced into a temporary folder.
class ResourceSyncHttp : public ::testing::Test {
  protected:
    void SetUp() override {
        server.addFile("/site/a.txt", "alpha v1\n", now() - 1000);
        server.addFile("/site/sub/b.bin", binaryBody(300 * 1024));
        server.addFile("/site/c.txt", "gamma\n");
    }

    std::string manifest(std::string const& files, std::string const& initFiles = "") {
        return work.write("m.json", R"({"baseUrl": ")" + server.url("/site") +
                                        R"(", "bundles": [{"name": "first", "init": true, )"
                                        R"("files": [)" +
                                        initFiles + R"(]}, {"name": "rest", "files": [)" + files +
                                        "]}]}");
    }

    std::string siteManifest() {
        return manifest(R"({"path": "sub/b.bin", "policy": "ifMissing"},
                           {"path": "c.txt", "policy": "validate", "sha256": ")" +
                            sha256("gamma\n") + "\"}",
                        R"({"path": "a.txt"})");
    }

    Finished sync(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"sync", work.file("m.json"), "--dir", target()};
        args.insert(args.end(), extra.begin(), extra.end());
        return runToEnd(kProgram, args);
    }

    std::string target() const { return work.file("out"); }
    std::string local(std::string const& path) const { return TempDir::read(target() + path); }

    HttpTestServer server;
    TempDir work;
};

TEST_F(ResourceSyncHttp, KeepsTheFolderInStepAndFetchesOnlyWhatChanged) {
    siteManifest();
    Finished const first = sync();
    ASSERT_EQ(first.code, 0) << first.out << first.err;
    EXPECT_EQ(local("/a.txt"), "alpha v1\n");
    EXPECT_EQ(local("/sub/b.bin"), binaryBody(300 * 1024));
    EXPECT_EQ(local("/c.txt"), "gamma\n");
    EXPECT_TRUE(leftovers(target()).empty());
    // Through a pipe: one plain line per change, nothing redrawn.
    EXPECT_THAT(first.out, HasSubstr("downloaded sub/b.bin (300.0 KiB)"));
    EXPECT_THAT(first.out, HasSubstr("[first] Available, 1/1 files settled"));
    EXPECT_THAT(first.out, HasSubstr("Synced: 3 files, 3 downloaded"));
    EXPECT_THAT(first.out, Not(HasSubstr("\x1b[")));
    // The init bundle is served before any other bundle starts.
    EXPECT_LT(first.out.find("[first] Available"), first.out.find("downloading sub/b.bin"));

    size_t const requestsA = server.requestCount("/site/a.txt");
    size_t const requestsB = server.requestCount("/site/sub/b.bin");
    size_t const requestsC = server.requestCount("/site/c.txt");
    Finished const second = sync();
    ASSERT_EQ(second.code, 0) << second.out << second.err;
    EXPECT_THAT(second.out, HasSubstr("0 downloaded (0 B), 3 already current"));
    // ifModified asks for the time only; ifMissing and a matching digest ask nothing.
    EXPECT_EQ(server.requestCount("/site/a.txt"), requestsA + 1);
    EXPECT_EQ(server.requestCount("/site/sub/b.bin"), requestsB);
    EXPECT_EQ(server.requestCount("/site/c.txt"), requestsC);

    // A newer file on the server, and a local file that no longer matches its digest.
    server.addFile("/site/a.txt", "alpha v2, longer\n", now() + 100);
    work.write("out/c.txt", "gamma, edited locally\n");
    Finished const third = sync();
    ASSERT_EQ(third.code, 0) << third.out << third.err;
    EXPECT_EQ(local("/a.txt"), "alpha v2, longer\n");
    EXPECT_EQ(local("/c.txt"), "gamma\n");
    EXPECT_THAT(third.out, HasSubstr("2 downloaded (23 B), 1 already current"));
}

TEST_F(ResourceSyncHttp, FailuresNameTheirReasonAndKeepTheOldFile) {
    server.addFile("/site/tampered.bin", "what the server has now");
    server.addStatus("/site/gone.txt", 404);
    manifest(R"({"path": "tampered.bin", "policy": "always", "sha256": ")" +
             sha256("what the manifest promised") + R"("},
                {"path": "gone.txt"},
                {"path": "c.txt", "localPath": "blocked/c.txt"},
                {"path": "a.txt"})");
    work.write("out/tampered.bin", "the good old file");
    work.write("out/blocked", "a file where a folder must go");

    Finished const run = sync({"--report", work.file("report.json"), "--quiet"});
    EXPECT_EQ(run.code, 1) << run.out << run.err;
    for (char const* line : {"tampered.bin: Corrupted: SHA-256 mismatch: expected ",
                             "gone.txt: GeneralError: HTTP 404 from http://",
                             "blocked/c.txt: GeneralError: cannot create the folder ",
                             "Failed: 4 files, 1 downloaded (9 B), 0 already current, 3 failed"}) {
        EXPECT_THAT(run.out, HasSubstr(line));
    }
    EXPECT_THAT(run.out, Not(HasSubstr("downloading")));  // --quiet
    EXPECT_EQ(local("/tampered.bin"), "the good old file");
    EXPECT_EQ(local("/a.txt"), "alpha v1\n");
    EXPECT_TRUE(leftovers(target()).empty());
    std::string const report = TempDir::read(work.file("report.json"));
    EXPECT_THAT(report, HasSubstr(R"("error": "Corrupted")"));
    EXPECT_THAT(report, HasSubstr(R"("exitCode": 1)"));
}

// An ifModified file whose check failed keeps its old copy but is not "already current": it is
// counted on its own, named with the reason, and fails the run (3 when nothing could be reached).
TEST_F(ResourceSyncHttp, AFileWhoseCheckFailedIsNotCheckedAndFailsTheRun) {
    manifest(R"({"path": "a.txt"})");
    ASSERT_EQ(sync().code, 0);
    server.addStatus("/site/a.txt", 500);
    Finished const answered = sync({"--report", work.file("report.json")});
    EXPECT_EQ(answered.code, 1) << answered.out << answered.err;
    EXPECT_THAT(answered.out, HasSubstr("0 already current, 0 failed, 1 not checked"));
    EXPECT_THAT(answered.out, HasSubstr("a.txt: not checked: HTTP 500"));
    EXPECT_THAT(TempDir::read(work.file("report.json")), HasSubstr(R"("notChecked": 1)"));
    EXPECT_EQ(local("/a.txt"), "alpha v1\n");

    work.write("m.json", R"({"baseUrl": "http://127.0.0.1:)" + std::to_string(freeLoopbackPort()) +
                             R"(/", "bundles": [{"files": [{"path": "a.txt"}]}]})");
    Finished const unreachable = sync();
    EXPECT_EQ(unreachable.code, 3) << unreachable.out << unreachable.err;
    EXPECT_THAT(unreachable.out, HasSubstr("a.txt: not checked: "));
    EXPECT_EQ(local("/a.txt"), "alpha v1\n");
}

TEST_F(ResourceSyncHttp, SignalDuringATransferLeavesNoTemporaryFileAndTheOldFile) {
    std::pair<int, int> const cases[] = {{SIGINT, 130}, {SIGTERM, 143}};
    for (auto [number, expected] : cases) {
        server.addFault("/site/slow.bin", binaryBody(1024 * 1024), HttpTestServer::Fault::Stall,
                        64 * 1024);
        manifest(R"({"path": "slow.bin", "policy": "always"})");
        work.write("out/slow.bin", "old");
        Program program(kProgram, {"sync", work.file("m.json"), "--dir", target()});
        ASSERT_TRUE(
            waitUntil([&] { return server.stalledNow() > 0 && !leftovers(target()).empty(); }));
        program.signal(number);
        ASSERT_TRUE(program.wait());
        EXPECT_EQ(program.exitCode(), expected) << program.out() << program.err();
        EXPECT_THAT(program.out(), HasSubstr("Interrupted"));
        EXPECT_EQ(local("/slow.bin"), "old");
        EXPECT_TRUE(leftovers(target()).empty());
    }
}

TEST_F(ResourceSyncHttp, OneRunPerFolderTheNextWaitsOrLeavesWithFour) {
    server.addFault("/site/slow.bin", binaryBody(1024 * 1024), HttpTestServer::Fault::Stall,
                    64 * 1024);
    manifest(R"({"path": "slow.bin", "policy": "always"})");
    Program first(kProgram, {"sync", work.file("m.json"), "--dir", target()});
    ASSERT_TRUE(waitUntil([&] { return server.stalledNow() > 0; }));

    Finished const busy = sync({"--no-wait"});
    EXPECT_EQ(busy.code, 4) << busy.out << busy.err;
    EXPECT_THAT(busy.err, HasSubstr("another resource-sync is running in " + target() + " (pid "));

    Program second(kProgram, {"sync", work.file("m.json"), "--dir", target()});
    std::string const waiting = "waiting for another resource-sync in " + target() + " (pid ";
    ASSERT_TRUE(waitUntil([&] { return second.err().find(waiting) != std::string::npos; }));
    // The first run ends without its file; the second then takes the folder and fetches it whole.
    server.addFile("/site/slow.bin", binaryBody(1024 * 1024));
    first.signal(SIGTERM);
    ASSERT_TRUE(first.wait());
    ASSERT_TRUE(second.wait());
    EXPECT_EQ(second.exitCode(), 0) << second.out() << second.err();
    EXPECT_EQ(local("/slow.bin"), binaryBody(1024 * 1024));
    EXPECT_EQ(second.err().find(waiting), second.err().rfind(waiting)) << "printed once";
    EXPECT_TRUE(leftovers(target()).empty());
}

TEST_F(ResourceSyncHttp, LeftoversOfDeadRunsGoAndNothingIsWrittenThroughALinkOutOfTheTarget) {
    siteManifest();
    // No lock file says the last run ended cleanly: the leftovers of runs that are gone are
    // removed; a temporary of a live process (this test) is not.
    std::string const old = work.write("out/c.txt.resource-sync-part", "an old version's");
    std::string const live =
        work.write("out/a.txt.resource-sync-" + std::to_string(::getpid()) + ".part", "live");
    std::string const elsewhere = work.file("elsewhere");
    fs::create_directories(elsewhere);
    fs::create_directory_symlink(elsewhere, target() + "/sub");

    Finished const run = sync();
    EXPECT_EQ(run.code, 1) << run.out << run.err;
    EXPECT_THAT(run.out, HasSubstr("sub/b.bin leads outside " + target() + " through the symlink " +
                                   target() + "/sub"));
    EXPECT_TRUE(fs::is_empty(elsewhere));
    EXPECT_EQ(local("/a.txt"), "alpha v1\n");
    EXPECT_EQ(local("/c.txt"), "gamma\n");
    EXPECT_FALSE(fs::exists(old));
    EXPECT_TRUE(fs::exists(live));
}

// A present file of another size than the manifest's is damaged and fetched again under every
// policy; with --verify so is one whose digest does not match.
TEST_F(ResourceSyncHttp, DamagedFilesAreRepairedBySizeAndWithVerifyByDigest) {
    manifest(R"({"path": "sub/b.bin", "policy": "ifMissing", "size": 307200, "sha256": ")" +
             sha256(binaryBody(300 * 1024)) + R"("}, {"path": "a.txt", "size": 9})");
    ASSERT_EQ(sync().code, 0);
    fs::resize_file(target() + "/sub/b.bin", 1000);
    fs::resize_file(target() + "/a.txt", 3);  // the server's copy is older: only the size tells
    Finished const repaired = sync();
    EXPECT_EQ(repaired.code, 0) << repaired.out << repaired.err;
    EXPECT_THAT(repaired.out, HasSubstr("repaired sub/b.bin (300.0 KiB)"));
    EXPECT_THAT(repaired.out, HasSubstr("2 downloaded (300.0 KiB), 0 already current, 0 failed, "
                                        "2 repaired"));
    EXPECT_EQ(local("/a.txt"), "alpha v1\n");

    std::string same = binaryBody(300 * 1024);
    same[0] = static_cast<char>(same[0] ^ 1);
    work.write("out/sub/b.bin", same);
    EXPECT_THAT(sync().out, HasSubstr("2 already current"));
    Finished const verified = sync({"--verify"});
    EXPECT_THAT(verified.out, HasSubstr("1 repaired"));
    EXPECT_EQ(local("/sub/b.bin"), binaryBody(300 * 1024));
}

// --rate holds a run to the rate: over HTTP the running transfers share it, and a copy from a
// folder keeps to it also where a step of its pacing is smaller than its usual piece.
TEST_F(ResourceSyncHttp, RateHoldsForHttpTransfersTogetherAndForSlowLocalCopies) {
    std::string files;
    for (int i = 0; i < 4; ++i) {
        std::string const name = "r" + std::to_string(i) + ".bin";
        server.addFile("/site/" + name, binaryBody(64 * 1024));
        work.write("site/" + name, binaryBody(64 * 1024));
        files +=
            std::string(i > 0 ? ", " : "") + R"({"path": ")" + name + R"(", "policy": "always"})";
    }
    manifest(files);
    struct Case {
        std::vector<std::string> extra;
        double atLeastSeconds;
    };
    // 256 KiB at 128 KiB/s: 2 s. Were each transfer given the whole rate, the four would end
    // in 0.5 s; whole 128 KiB pieces of the local copy would cross one 50 ms step per file and
    // end in 0.2 s.
    Case const cases[] = {
        {{"--rate", "128", "--jobs", "4"}, 1.5},
        {{"--rate", "128", "--jobs", "1", "--from-dir", work.file("site")}, 1.5},
    };
    for (Case const& test : cases) {
        auto const start = std::chrono::steady_clock::now();
        Finished const run = sync(test.extra);
        double const seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ASSERT_EQ(run.code, 0) << run.out << run.err;
        EXPECT_THAT(run.out, HasSubstr("4 downloaded (256.0 KiB)"));
        // Only a lower bound: a busy machine makes the run slower, never faster.
        EXPECT_GE(seconds, test.atLeastSeconds) << test.extra.back();
        EXPECT_EQ(local("/r3.bin"), binaryBody(64 * 1024));
    }
}

TEST_F(ResourceSyncHttp, WatchFetchesAFileChangedWhileItRuns) {
    siteManifest();
    Program program(kProgram, {"sync", work.file("m.json"), "--dir", target(), "--watch", "1"});
    ASSERT_TRUE(waitUntil(
        [&] { return fs::exists(target() + "/c.txt") && local("/a.txt") == "alpha v1\n"; }));
    server.addFile("/site/a.txt", "alpha v2\n", now() + 100);
    EXPECT_TRUE(waitUntil([&] { return local("/a.txt") == "alpha v2\n"; }));
    program.signal(SIGTERM);
    ASSERT_TRUE(program.wait());
    EXPECT_EQ(program.exitCode(), 143);
}

TEST_F(ResourceSyncHttp, OfflineEndsWithExitThreeWithoutWaitingForRetries) {
    siteManifest();
    std::string const marker = work.write("offline", "");
    auto const start = std::chrono::steady_clock::now();
    Finished const run = sync({"--offline-marker", marker, "--give-up", "600"});
    EXPECT_EQ(run.code, 3) << run.out << run.err;
    EXPECT_THAT(run.out, HasSubstr("a.txt: InternetConnectionLost"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
}

TEST(ResourceSyncDeadServer, GivesUpOnRetriesAfterTheGiveUpTime) {
    TempDir work;
    std::string const base = "http://127.0.0.1:" + std::to_string(freeLoopbackPort());
    work.write("m.json",
               R"({"baseUrl": ")" + base + R"(", "bundles": [{"files": [{"path": "x"}]}]})");
    // Plain lines wake the main thread with every change; --quiet only once the failures may
    // end the round.
    for (std::vector<std::string> const& display :
         std::vector<std::vector<std::string>>{{}, {"--quiet"}}) {
        std::vector<std::string> args = {"sync",           work.file("m.json"), "--dir",
                                         work.file("out"), "--give-up",         "1"};
        args.insert(args.end(), display.begin(), display.end());
        Finished const run = runToEnd(kProgram, args);
        EXPECT_EQ(run.code, 3) << display.size() << run.out << run.err;
        EXPECT_THAT(run.out, HasSubstr("Offline (gave up waiting for retries)"));
        EXPECT_THAT(run.out, HasSubstr("x: InternetConnectionLost: "));
    }
}

// The terminal display as a person sees it: the program runs in a tmux pane and the test reads
// the final screen.
TEST(ResourceSyncTerminal, ShowsABarPerBundleAndTheSummary) {
    TempDir work;
    work.write("site/music/one.bin", binaryBody(1024 * 1024));
    work.write("site/music/two.bin", binaryBody(1024 * 1024 + 1));
    work.write("site/docs/three.txt", std::string(512 * 1024, 't'));
    Finished const written = runToEnd(
        kProgram, {"manifest", work.file("site"), "--base-url", "http://example.invalid/"});
    ASSERT_EQ(written.code, 0) << written.err;
    work.write("m.json", written.out);

    std::string const socket = "rdm-sync-" + std::to_string(::getpid());
    std::string const command = kProgram + " sync " + work.file("m.json") + " --dir " +
                                work.file("out") + " --from-dir " + work.file("site") +
                                " --rate 2560 --jobs 1; echo $? > " + work.file("exit") + "; cat";
    std::string const tmux = "tmux -L " + socket + " -f /dev/null ";
    ASSERT_EQ(std::system((tmux + "new-session -d -x 100 -y 20 '" + command + "'").c_str()), 0);
    bool const ended = waitUntil([&] { return fs::exists(work.file("exit")); });
    std::string const screenFile = work.file("screen");
    std::system((tmux + "capture-pane -p > " + screenFile).c_str());
    std::system((tmux + "kill-server").c_str());
    ASSERT_TRUE(ended);
    EXPECT_EQ(TempDir::read(work.file("exit")), "0\n");

    std::string const screen = TempDir::read(screenFile);
    EXPECT_THAT(
        screen,
        HasSubstr("docs  [##############################] 100%  512.0 KiB / 512.0 KiB  1/1 files"));
    EXPECT_THAT(
        screen,
        HasSubstr("music [##############################] 100%  2.0 MiB / 2.0 MiB  2/2 files"));
    EXPECT_THAT(screen,
                HasSubstr("total [##############################] 100%  2.5 MiB / 2.5 MiB"));
    EXPECT_THAT(screen, HasSubstr("Synced: 3 files, 3 downloaded (2.5 MiB), 0 already current"));
    EXPECT_EQ(TempDir::read(work.file("out/music/two.bin")), binaryBody(1024 * 1024 + 1));
}

}  // namespace
}  // namespace Tiskel::Test
