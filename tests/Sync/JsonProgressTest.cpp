#include <cmath>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <QJsonDocument>
#include <QJsonObject>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Support/HttpTestServer.h"
#include "Support/TempDir.h"
#include "Sync/SyncProgram.h"

namespace Tiskel::Test {
namespace {

using ::testing::AllOf;
using ::testing::Ge;
using ::testing::HasSubstr;
using ::testing::Le;

// Every line of `out` as a JSON object with an "event" string and a "time" that never goes back.
std::vector<QJsonObject> parseLines(std::string const& out) {
    EXPECT_TRUE(out.empty() || out.back() == '\n') << "an unfinished last line: " << out;
    std::vector<QJsonObject> objects;
    std::istringstream stream(out);
    for (std::string line; std::getline(stream, line);) {
        QJsonDocument const document = QJsonDocument::fromJson(QByteArray::fromStdString(line));
        QJsonObject const object = document.object();
        EXPECT_TRUE(document.isObject() && object.value("event").isString() &&
                    object.value("time").isDouble())
            << line;
        EXPECT_GE(object.value("time").toDouble(),
                  objects.empty() ? 0.0 : objects.back().value("time").toDouble())
            << line;
        objects.push_back(object);
    }
    return objects;
}

// The fields `names` of `object` as compact JSON, its keys sorted.
std::string fields(QJsonObject const& object, std::vector<QString> const& names) {
    QJsonObject picked;
    for (QString const& name : names) {
        picked.insert(name, object.value(name));
    }
    return QJsonDocument(picked).toJson(QJsonDocument::Compact).toStdString();
}

// Each line's event by what it tells of: a file's by its path, a bundle's (its state) by the
// bundle's name in brackets, the run's own (start, total, summary) under "".
std::map<std::string, std::string> stories(std::vector<QJsonObject> const& lines) {
    std::map<std::string, std::string> story;
    for (QJsonObject const& line : lines) {
        bool const bundle = line.value("event") == "bundle";
        QString const key =
            bundle ? "[" + line.value("bundle").toString() + "]" : line.value("path").toString();
        story[key.toStdString()] +=
            line.value(bundle ? "state" : "event").toString().toStdString() + " ";
    }
    return story;
}

// A real run over HTTP: a file downloaded, one kept, one that fails with 404 (in a bundle of its
// own), and one slowed down by --rate so that its progress shows. The target folder's name is not
// UTF-8 and a local name holds a quote, a backslash and a tab: every line must still be strict
// JSON.
TEST(ResourceSyncJsonProgress, EveryLineIsJsonAndEachFileTellsItsStoryInOrder) {
    HttpTestServer server;
    TempDir work;
    server.addFile("/site/a.txt", "alpha\n");
    server.addFile("/site/kept.txt", "on the server\n");
    server.addFile("/site/big.bin", std::string(512 * 1024, 'b'));
    server.addStatus("/site/gone.txt", 404);
    std::string const odd = "we\"ird\\\tname.txt";
    work.write("m.json", R"({"baseUrl": ")" + server.url("/site") + R"(", "bundles": [
        {"name": "main", "files": [{"path": "a.txt", "localPath": "we\"ird\\\tname.txt"},
            {"path": "kept.txt", "policy": "ifMissing"}, "big.bin"]},
        {"name": "lost", "files": ["gone.txt"]}]})");
    work.write("out\xe9/kept.txt", "already here\n");
    Finished const sync =
        runToEnd(words("sync " + work.file("m.json") + " --dir " + work.file("out\xe9") +
                       " --progress json --rate 200 --give-up 3"));
    EXPECT_EQ(sync.code, 1) << sync.err;
    std::vector<QJsonObject> const lines = parseLines(sync.out);
    ASSERT_GE(lines.size(), 2u) << sync.out;

    EXPECT_EQ(fields(lines.front(), {"event", "files"}), R"({"event":"start","files":4})");
    EXPECT_TRUE(lines.front().value("target").toString().endsWith(QString::fromUtf8("/out\uFFFD")))
        << sync.out;
    EXPECT_EQ(
        fields(lines.back(), {"event", "result", "downloaded", "current", "failed", "exitCode"}),
        R"({"current":1,"downloaded":2,"event":"summary",)"
        R"("exitCode":1,"failed":1,"result":"failed"})");

    // Each file's events as one string of names, each bundle's states, the run's own lines.
    std::map<std::string, std::string> story = stories(lines);
    std::map<std::string, std::string> const expected = {
        {"", "start (total )+summary "},
        {"[main]", ".*available "},
        {"[lost]", ".*error "},
        {odd, "downloading (progress )*done "},
        {"kept.txt", "kept "},
        {"big.bin", "downloading (progress ){2,}done "},
        {"gone.txt", "(downloading failed (retrying )?)+"},
    };
    EXPECT_EQ(story.size(), expected.size());
    for (auto const& [key, pattern] : expected) {
        EXPECT_TRUE(std::regex_match(story[key], std::regex(pattern)))
            << key << ": " << story[key] << "\n"
            << sync.out;
    }
    // The first failure of gone.txt (a retry may be ended by the give-up instead), why kept.txt
    // was kept, and the times of each file's progress lines.
    bool first = true;
    std::map<std::string, std::vector<double>> progressTimes;
    for (QJsonObject const& line : lines) {
        std::string const event = line.value("event").toString().toStdString();
        std::string const path = line.value("path").toString().toStdString();
        if (path == "gone.txt" && event == "failed" && std::exchange(first, false)) {
            EXPECT_EQ(fields(line, {"kind", "httpStatus"}), R"({"httpStatus":404,"kind":"http"})");
            EXPECT_THAT(line.value("reason").toString().toStdString(), HasSubstr("HTTP 404"));
        }
        if (path == "kept.txt") {
            EXPECT_EQ(line.value("decision").toString(), "present");
        }
        if (event == "progress") {
            progressTimes[path].push_back(line.value("time").toDouble());
        }
    }
    // At most four progress lines of a file in any second (times in whole milliseconds).
    for (auto const& [path, times] : progressTimes) {
        for (std::size_t i = 4; i < times.size(); ++i) {
            EXPECT_GE(std::llround((times[i] - times[i - 4]) * 1000), 1000) << path;
        }
    }
    EXPECT_EQ(TempDir::read(work.file("out\xe9/" + odd)), "alpha\n");
}

// A file the server asks to come back for later tells of the pause before its retry; --quiet
// leaves out the lines that only tell how far a run is (a transfer of a second would have
// some). (An unknown mode is refused in the command-line test.)
TEST(ResourceSyncJsonProgress, RetryPausesAreToldAndQuietKeepsTheOutcomes) {
    HttpTestServer server;
    TempDir work;
    server.addFlakyFile("/site/busy.txt", "ready\n", 1, 503, "3");
    server.addFile("/site/big.bin", std::string(64 * 1024, 'b'));
    work.write("m.json", R"({"baseUrl": ")" + server.url("/site") + R"(", "bundles": [
        {"name": "busy", "files": ["busy.txt"]}, {"name": "big", "files": ["big.bin"]}]})");
    Finished const quiet = runToEnd(words("sync " + work.file("m.json") + " --dir " +
                                          work.file("out") + " --rate 64 --progress json -q"));
    EXPECT_EQ(quiet.code, 0) << quiet.err;
    std::vector<QJsonObject> const lines = parseLines(quiet.out);
    std::map<std::string, std::string> story = stories(lines);
    EXPECT_EQ(story[""], "start summary ");
    for (QJsonObject const& line : lines) {
        if (line.value("event") == "retrying") {
            EXPECT_THAT(line.value("in").toInt(), AllOf(Ge(1), Le(3)));
        }
    }
    EXPECT_EQ(story["busy.txt"], "downloading failed retrying downloading done ") << quiet.out;
    EXPECT_EQ(story["big.bin"], "downloading done ") << quiet.out;
}

}  // namespace
}  // namespace Tiskel::Test
