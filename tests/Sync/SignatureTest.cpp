#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <sys/wait.h>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Support/HttpTestServer.h"
#include "Support/TempDir.h"
#include "Sync/SyncProgram.h"

namespace Tiskel::Test {
namespace {

using ::testing::HasSubstr;

// Runs a shell command line; its exit code, or -1 when it did not end normally.
int shell(std::string const& command) {
    int const status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Both kinds of signature (made by the real minisign tool) let the sync go on and show their
// trusted comment in the summary and the report; a signature that does not hold, or none, stops
// the run before any folder, report or request.
TEST(ResourceSyncSignature, OnlyAManifestSignedByTheKeyIsSynced) {
    ASSERT_EQ(shell("command -v minisign >/dev/null"), 0)
        << "the minisign tool is missing: scripts/deps.sh installs it";
    TempDir work;
    for (std::string const key : {"key", "other"}) {
        ASSERT_EQ(shell("minisign -G -W -p " + work.file(key + ".pub") + " -s " +
                        work.file(key + ".sec") + " >/dev/null"),
                  0);
    }
    // The key's base64 line, and the key ids minisign wrote into the key files' comments.
    std::string const keyFile = TempDir::read(work.file("key.pub"));
    std::string const keyText = keyFile.substr(keyFile.find('\n') + 1, 56);
    // minisign writes the key id in its key file's comment without leading zeros; the messages
    // give all sixteen digits.
    auto const keyId = [&](std::string const& key) {
        std::string const text = TempDir::read(work.file(key + ".pub"));
        std::size_t const start = text.find("public key ") + 11;
        std::string const id = text.substr(start, text.find('\n', start) - start);
        return std::string(16 - std::min<std::size_t>(id.size(), 16), '0') + id;
    };
    HttpTestServer server;
    server.addFile("/site/a.txt", "alpha\n");
    std::string const m = work.file("m.json");
    auto const manifest = [&](std::string const& file) {
        work.write("m.json", R"({"baseUrl": ")" + server.url("/site") +
                                 R"(", "bundles": [{"files": [")" + file + "\"]}]}\n");
    };

    struct Case {
        std::string signer;   // the key that signs m.json; empty: no signature is made
        std::string flags;    // minisign's options
        std::string args;     // {m}: m.json, {k}: key.pub
        std::string message;  // the trusted comment on success, else on stderr
        int code;
        // What is done to the manifest or its signature (after signing).
        enum { Nothing, ChangeAByte, SignAnEarlierManifest, EditTheComment } then = Nothing;
    };
    std::vector<Case> const cases = {
        // Prehashed; legacy, with the key as text; the manifest on standard input.
        {"key", "-t 'release 7'", "{m} --public-key {k}", "release 7", 0},
        {"key", "-l -t legacy", "{m} --public-key " + keyText, "legacy", 0},
        {"key", "-t piped", "- --public-key {k} --signature {m}.minisig", "piped", 0},
        // One byte changed; the signature of an earlier manifest.
        {"key", "", "{m} --public-key {k}", "signature: does not match the manifest", 2,
         Case::ChangeAByte},
        {"key", "", "{m} --public-key {k}", "signature: does not match the manifest", 2,
         Case::SignAnEarlierManifest},
        {"other", "", "{m} --public-key {k}",
         "signature: made with another key (key id " + keyId("other") + ", expected " +
             keyId("key") + ")",
         2},
        {"key", "-t 'release 7'", "{m} --public-key {k}",
         "signature: the trusted comment does not match its signature", 2, Case::EditTheComment},
        {"", "", "{m} --public-key {k}", "signature: no signature file " + m + ".minisig", 2},
        // Endless, or just too large for a signature: refused, not read into memory.
        {"", "", "{m} --public-key {k} --signature /dev/zero",
         "signature: cannot read /dev/zero: File too large", 2},
        {"key", "", "- --public-key {k}", "a manifest from standard input needs --signature", 2},
        {"key", "", "{m} --signature {m}.minisig", "--signature needs --public-key", 2},
    };
    for (Case const& row : cases) {
        SCOPED_TRACE("row " + std::to_string(&row - cases.data()));
        std::filesystem::remove_all(work.file("out"));
        std::filesystem::remove(work.file("r.json"));
        std::filesystem::remove(m + ".minisig");
        manifest(row.then == Case::SignAnEarlierManifest ? "old/a.txt" : "a.txt");
        if (!row.signer.empty()) {
            ASSERT_EQ(shell("minisign -S -s " + work.file(row.signer + ".sec") + " -m " + m + " " +
                            row.flags + " >/dev/null"),
                      0);
        }
        manifest("a.txt");
        if (row.then == Case::ChangeAByte) {
            work.write("m.json", TempDir::read(m) + " ");  // the same JSON, not the signed bytes
        } else if (row.then == Case::EditTheComment) {
            std::string const signature = TempDir::read(m + ".minisig");
            work.write("m.json.minisig",
                       std::regex_replace(signature, std::regex("release 7"), "release 8"));
        }
        std::string const args =
            std::regex_replace(std::regex_replace(row.args, std::regex("\\{m\\}"), m),
                               std::regex("\\{k\\}"), work.file("key.pub"));
        auto const [code, out, err] = runToEnd(words("sync " + args + " --dir " + work.file("out") +
                                                     " --report " + work.file("r.json")),
                                               kProgram, row.args[0] == '-' ? m : "/dev/null");
        EXPECT_EQ(code, row.code) << out << err;
        if (row.code == 0) {
            EXPECT_EQ(TempDir::read(work.file("out/a.txt")), "alpha\n");
            EXPECT_THAT(out, HasSubstr("trusted comment: " + row.message + "\n"));
            EXPECT_THAT(TempDir::read(work.file("r.json")),
                        HasSubstr("\"trustedComment\": \"" + row.message + "\""));
        } else {
            EXPECT_THAT(err, HasSubstr(row.message));
            EXPECT_FALSE(std::filesystem::exists(work.file("out")));
            EXPECT_FALSE(std::filesystem::exists(work.file("r.json")));
        }
    }
}

}  // namespace
}  // namespace Tiskel::Test
