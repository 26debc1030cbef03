#include <algorithm>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "App/ResourceDownloadManager/EventTracer.h"
#include "App/ResourceDownloadManager/ResourceDescriptor.h"

#include "Support/LogCapture.h"

namespace Tiskel::App {
namespace {

using testing::ElementsAre;
using testing::IsEmpty;

constexpr char kUnit[] = "App/ResourceDownloadManager/EventTracer";

// The INFO messages the tracer wrote, in order.
std::vector<std::string> tracedLines(Tiskel::Test::LogCapture const& capture) {
    std::vector<std::string> texts;
    for (auto const& line : capture.lines()) {
        if (line.file == kUnit && line.severity == google::GLOG_INFO) {
            texts.push_back(line.text);
        }
    }
    return texts;
}

// Traces every named event once, each with the message "m".
void traceEveryEvent(IEventTracer const& tracer) {
    for (int event = IEventTracer::ExecScheduled; event <= IEventTracer::DownloadEnd; ++event) {
        tracer.trace(IEventTracer::Event(event), {nullptr, nullptr, nullptr, "m"});
    }
}

class EventTracerTest : public testing::Test {
  protected:
    EventTracerTest() {
        // Members of an array have rising addresses, so the first is the first of every bundle.
        descriptors[0].category = "img";
        descriptors[0].name = "logo.png";
        descriptors[1].category = "snd";
        descriptors[1].name = "click.wav";
        descriptors[2].category = "txt";
        descriptors[2].name = "readme.txt";
        bundleOfThree.descriptors = {&descriptors[2], &descriptors[0], &descriptors[1]};
        bundleOfOne.descriptors = {&descriptors[0]};
    }

    ResourceDescriptor descriptors[3];
    ResourceDescriptorBundle bundleOfThree;
    ResourceDescriptorBundle bundleOfOne;
    ResourceDescriptorBundle emptyBundle;
    IRemoteResource::State downloading{IRemoteResource::Downloading, IRemoteResource::NoError, 0.5};
    IRemoteResource::State failed{IRemoteResource::Error, IRemoteResource::InternetConnectionLost,
                                  0.0};
    Tiskel::Test::LogCapture capture;
};

TEST_F(EventTracerTest, FormatsEachPresentPartOfTheRecord) {
    EventTracer tracer(true);
    struct Case {
        IEventTracer::Event event;
        IEventTracer::TraceRecord record;
        char const* line;
    };
    std::vector<Case> const cases = {
        {IEventTracer::Download,
         {&descriptors[0], nullptr, nullptr, "files/logo.png"},
         "[img/logo.png] Download files/logo.png"},
        {IEventTracer::ExecScheduled,
         {&descriptors[1], nullptr, nullptr, ""},
         "[snd/click.wav] ExecScheduled "},
        {IEventTracer::Exec, {nullptr, nullptr, nullptr, "just text"}, "Exec just text"},
        {IEventTracer::StatusNotification,
         {nullptr, &bundleOfThree, &downloading, ""},
         "[G: img/logo.png, ..(2 more)] (Status: Downloading, err:NoError =50%) "
         "StatusNotification "},
        {IEventTracer::ProgressNotificationEnd,
         {nullptr, &bundleOfOne, nullptr, ""},
         "[G: img/logo.png, ..(0 more)] /ProgressNotification "},
        {IEventTracer::ExecEnd, {nullptr, &emptyBundle, nullptr, "x"}, "[INVALID GROUP] /Exec x"},
        {IEventTracer::StatusNotificationEnd,
         {&descriptors[2], nullptr, &failed, ""},
         "[txt/readme.txt] (Status: Error, err:InternetConnectionLost =0%) /StatusNotification "},
        {IEventTracer::DownloadEnd,
         {&descriptors[2], &bundleOfThree, &downloading, "a/b"},
         "[txt/readme.txt] [G: img/logo.png, ..(2 more)] (Status: Downloading, err:NoError =50%) "
         "/Download a/b"},
        // A value outside the enumeration has an empty name.
        {IEventTracer::Event(11), {&descriptors[0], nullptr, nullptr, "m"}, "[img/logo.png]  m"},
        {IEventTracer::Event(-1), {nullptr, nullptr, nullptr, ""}, " "},
    };

    std::vector<std::string> expected;
    for (auto const& c : cases) {
        tracer.trace(c.event, c.record);
        expected.push_back(c.line);
    }
    EXPECT_EQ(tracedLines(capture), expected);
}

TEST_F(EventTracerTest, PrintsEveryEventName) {
    traceEveryEvent(EventTracer(true));
    EXPECT_THAT(tracedLines(capture),
                ElementsAre("ExecScheduled m", "Exec m", "/Exec m", "ValidatorCheck m",
                            "RegisterValidator m", "StatusNotification m", "/StatusNotification m",
                            "ProgressNotification m", "/ProgressNotification m", "Download m",
                            "/Download m"));
}

TEST_F(EventTracerTest, TracesOnlySelectedEventsUnlessTracingAll) {
    traceEveryEvent(EventTracer(false));
    traceEveryEvent(EventTracerStub());
    EXPECT_THAT(tracedLines(capture), IsEmpty());

    traceEveryEvent(EventTracer(false, {IEventTracer::Download, IEventTracer::DownloadEnd}));
    EXPECT_THAT(tracedLines(capture), ElementsAre("Download m", "/Download m"));

    capture.clear();
    traceEveryEvent(EventTracer(true, {IEventTracer::Exec}));
    EXPECT_EQ(tracedLines(capture).size(), 11u);
}

// Sends the formatted lines to a vector instead of the log.
class RecordingTracer : public EventTracer {
  public:
    using EventTracer::EventTracer;
    void traceString(std::string const& line) const noexcept override { lines.push_back(line); }
    mutable std::vector<std::string> lines;
};

TEST_F(EventTracerTest, HandsEachLineToTraceString) {
    RecordingTracer tracer(false, {IEventTracer::Exec});
    tracer.trace(IEventTracer::Exec, {&descriptors[0], nullptr, nullptr, "run"});
    tracer.trace(IEventTracer::Download, {&descriptors[0], nullptr, nullptr, "skipped"});
    EXPECT_THAT(tracer.lines, ElementsAre("[img/logo.png] Exec run"));
    EXPECT_THAT(tracedLines(capture), IsEmpty());
}

TEST_F(EventTracerTest, LinesFromConcurrentCallersStayWhole) {
    constexpr int kThreads = 4;
    constexpr int kLinesPerThread = 200;
    EventTracer tracer(true);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            IEventTracer::TraceRecord const record{nullptr, &bundleOfThree, nullptr,
                                                   "thread " + std::to_string(t)};
            for (int i = 0; i < kLinesPerThread; ++i) {
                tracer.trace(IEventTracer::ProgressNotification, record);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }

    // Every line is whole: its own thread's text from start to end.
    std::vector<std::string> const lines = tracedLines(capture);
    ASSERT_EQ(lines.size(), size_t{kThreads * kLinesPerThread});
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(std::count(lines.begin(), lines.end(),
                             "[G: img/logo.png, ..(2 more)] ProgressNotification thread " +
                                 std::to_string(t)),
                  kLinesPerThread);
    }
}

}  // namespace
}  // namespace Tiskel::App
