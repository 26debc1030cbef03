#include <cstdlib>
#include <filesystem>
#include <functional>
#include <regex>
#include <string>
#include <sys/wait.h>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Support/HttpTestServer.h"
#include "Support/TempDir.h"

namespace Tiskel::Test {
namespace {

using ::testing::HasSubstr;

// Runs a shell command line; its exit code, or -1 when it did not end normally.
int shell(std::string const& command) {
    int const status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The content of the file at `path`; empty when there is none.
std::string contents(std::string const& path) {
    return std::filesystem::exists(path) ? TempDir::read(path) : std::string();
}

// A signed manifest of one file on the loopback server, synced by resource-sync with
// --public-key; keys and signatures come from the real minisign tool.
class ResourceSyncSignature : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(shell("command -v minisign >/dev/null"), 0)
            << "the minisign tool is missing: scripts/deps.sh installs it";
        for (char const* name : {"key", "other"}) {
            ASSERT_EQ(shell("minisign -G -W -p " + work.file(std::string(name) + ".pub") + " -s " +
                            work.file(std::string(name) + ".sec") + " >/dev/null"),
                      0);
        }
        server.addFile("/site/a.txt", "alpha\n");
    }

    // A manifest listing `file`, written to m.json; returns its path.
    std::string manifest(std::string const& file = "a.txt") const {
        return work.write("m.json", R"({"baseUrl": ")" + server.url("/site") +
                                        R"(", "bundles": [{"files": [")" + file + "\"]}]}\n");
    }
    // Signs m.json with the secret key `key` ("key" or "other"); `flags` adds minisign options.
    void sign(std::string const& key, std::string const& flags = "") const {
        ASSERT_EQ(shell("minisign -S -s " + work.file(key + ".sec") + " -m " + work.file("m.json") +
                        " " + flags + " >/dev/null"),
                  0);
    }
    // The key id minisign wrote into the public key file's comment.
    std::string keyId(std::string const& key) const {
        std::string const text = TempDir::read(work.file(key + ".pub"));
        std::string const marker = "public key ";
        return text.substr(text.find(marker) + marker.size(), 16);
    }

    // Runs resource-sync sync with `args` (m.json into out/, with a report), standard input
    // from `input`; fills `out` and `err`.
    int sync(std::string const& args, std::string const& input = "/dev/null") {
        std::string command =
            "env -u http_proxy -u https_proxy -u all_proxy -u HTTP_PROXY "
            "-u HTTPS_PROXY -u ALL_PROXY " RDM_SYNC_PROGRAM " sync ";
        command += args + " --dir " + work.file("out") + " --report " + work.file("r.json") + " <" +
                   input + " >" + work.file("stdout") + " 2>" + work.file("stderr");
        int const code = shell(command);
        out = TempDir::read(work.file("stdout"));
        err = TempDir::read(work.file("stderr"));
        return code;
    }

    TempDir work;
    HttpTestServer server;
    std::string out;
    std::string err;
};

// Both kinds of signature let the sync go on and show their trusted comment; a signature that
// does not hold, or none, stops it before any folder, report or request.
TEST_F(ResourceSyncSignature, OnlyAManifestSignedByTheKeyIsSynced) {
    struct Case {
        char const* name;
        std::function<void()> prepare;  // writes m.json and its signature
        std::string args;               // {m} is m.json, {k} the public key file
        std::string message;            // the trusted comment on success, else on stderr
        int code;
    };
    std::string const keyText = [&] {
        std::string const text = TempDir::read(work.file("key.pub"));
        return text.substr(text.find('\n') + 1, 56);
    }();
    std::string const m = work.file("m.json");
    std::vector<Case> const cases = {
        {"prehashed",
         [&] {
             manifest();
             sign("key", "-t 'release 7'");
         },
         "{m} --public-key {k}", "release 7", 0},
        {"legacy, the key as text",
         [&] {
             manifest();
             sign("key", "-l -t legacy");
             // The legacy algorithm "Ed" begins the signature's base64 with "RW" ("ED": "RU").
             EXPECT_THAT(TempDir::read(m + ".minisig"), HasSubstr("\nRW"));
         },
         "{m} --public-key " + keyText, "legacy", 0},
        {"standard input",
         [&] {
             manifest();
             sign("key", "-t piped");
         },
         "- --public-key {k} --signature {m}.minisig", "piped", 0},
        // The same JSON, but not the bytes that were signed.
        {"one byte changed",
         [&] {
             manifest();
             sign("key");
             std::string text = TempDir::read(m);
             work.write("m.json", text.replace(text.size() - 1, 1, " "));
         },
         "{m} --public-key {k}", "signature: does not match the manifest", 2},
        {"signature of an earlier manifest",
         [&] {
             manifest("old/a.txt");
             sign("key");
             manifest();
         },
         "{m} --public-key {k}", "signature: does not match the manifest", 2},
        {"another key",
         [&] {
             manifest();
             sign("other");
         },
         "{m} --public-key {k}",
         "signature: made with another key (key id " + keyId("other") + ", expected " +
             keyId("key") + ")",
         2},
        {"trusted comment edited",
         [&] {
             manifest();
             sign("key", "-t 'release 7'");
             std::string text = TempDir::read(m + ".minisig");
             work.write("m.json.minisig", text.replace(text.find("release 7"), 9, "release 8"));
         },
         "{m} --public-key {k}", "signature: the trusted comment does not match its signature", 2},
        {"no signature", [&] { manifest(); }, "{m} --public-key {k}",
         "signature: no signature file " + m + ".minisig", 2},
        {"malformed signature",
         [&] {
             manifest();
             work.write("m.json.minisig", "untrusted comment: x\nRUQ=\n");
         },
         "{m} --public-key {k}", "signature: malformed signature file", 2},
        {"standard input without --signature",
         [&] {
             manifest();
             sign("key");
         },
         "- --public-key {k}", "a manifest from standard input needs --signature", 2},
        {"--signature without a key",
         [&] {
             manifest();
             sign("key");
         },
         "{m} --signature {m}.minisig", "--signature needs --public-key", 2},
    };
    for (Case const& row : cases) {
        SCOPED_TRACE(row.name);
        std::filesystem::remove_all(work.file("out"));
        std::filesystem::remove(work.file("r.json"));
        std::filesystem::remove(m + ".minisig");
        row.prepare();
        std::string args = std::regex_replace(row.args, std::regex("\\{m\\}"), m);
        args = std::regex_replace(args, std::regex("\\{k\\}"), work.file("key.pub"));
        size_t const requests = server.requestCount("/site/a.txt");
        int const code = sync(args, row.args[0] == '-' ? m : "/dev/null");
        EXPECT_EQ(code, row.code) << out << err;
        if (row.code == 0) {
            EXPECT_EQ(contents(work.file("out/a.txt")), "alpha\n");
            EXPECT_THAT(out, HasSubstr("trusted comment: " + row.message + "\n"));
            EXPECT_THAT(contents(work.file("r.json")),
                        HasSubstr("\"trustedComment\": \"" + row.message + "\""));
        } else {
            EXPECT_THAT(err, HasSubstr(row.message));
            EXPECT_FALSE(std::filesystem::exists(work.file("out")));
            EXPECT_FALSE(std::filesystem::exists(work.file("r.json")));
            EXPECT_EQ(server.requestCount("/site/a.txt"), requests);
        }
    }
}

}  // namespace
}  // namespace Tiskel::Test
