#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "App/ResourceDownloadManager/EventTracer.h"
#include "App/ResourceDownloadManager/ResourceDescriptor.h"

#include "Support/LogCapture.h"

namespace Tiskel::App {
namespace {

// Formats into a vector instead of the log.
struct RecordingTracer : EventTracer {
    using EventTracer::EventTracer;
    void traceString(std::string const& line) const noexcept override { lines.push_back(line); }
    mutable std::vector<std::string> lines;
};

TEST(EventTracer, FormatsEachPresentPartOfTheRecord) {
    // Members of an array have rising addresses, so the first is the first of every bundle.
    ResourceDescriptor descriptors[3];
    descriptors[0].category = "img";
    descriptors[0].name = "logo.png";
    descriptors[2].category = "txt";
    descriptors[2].name = "readme.txt";
    ResourceDescriptorBundle three, one, empty;
    three.descriptors = {&descriptors[2], &descriptors[0], &descriptors[1]};
    one.descriptors = {&descriptors[0]};
    IRemoteResource::State const lost{IRemoteResource::Error,
                                      IRemoteResource::InternetConnectionLost, 0.5};
    RecordingTracer tracer(true);
    tracer.trace(IEventTracer::Download, {&descriptors[0], nullptr, nullptr, "files/logo.png"});
    tracer.trace(IEventTracer::Exec, {nullptr, nullptr, nullptr, ""});
    tracer.trace(IEventTracer::StatusNotification, {nullptr, &three, &lost, "x"});
    tracer.trace(IEventTracer::ProgressNotificationEnd, {nullptr, &one, nullptr, ""});
    tracer.trace(IEventTracer::ExecEnd, {nullptr, &empty, nullptr, "x"});
    tracer.trace(IEventTracer::DownloadEnd, {&descriptors[2], &three, &lost, "a/b"});
    tracer.trace(IEventTracer::Event(11), {&descriptors[0], nullptr, nullptr, "m"});
    EXPECT_THAT(
        tracer.lines,
        ::testing::ElementsAre(
            "[img/logo.png] Download files/logo.png", "Exec ",
            "[G: img/logo.png, ..(2 more)] (Status: Error, err:InternetConnectionLost =50%) "
            "StatusNotification x",
            "[G: img/logo.png, ..(0 more)] /ProgressNotification ", "[INVALID GROUP] /Exec x",
            "[txt/readme.txt] [G: img/logo.png, ..(2 more)] (Status: Error, "
            "err:InternetConnectionLost =50%) /Download a/b",
            "[img/logo.png]  m"));
}

// Traces every named event once, each with the message "m".
std::vector<std::string> traceEveryEvent(RecordingTracer tracer) {
    for (int event = IEventTracer::ExecScheduled; event <= IEventTracer::DownloadEnd; ++event) {
        tracer.trace(IEventTracer::Event(event), {nullptr, nullptr, nullptr, "m"});
    }
    return tracer.lines;
}

TEST(EventTracer, TracesOnlySelectedEventsUnlessTracingAll) {
    EXPECT_THAT(traceEveryEvent(RecordingTracer(false)), ::testing::IsEmpty());
    EXPECT_THAT(
        traceEveryEvent(RecordingTracer(false, {IEventTracer::Exec, IEventTracer::DownloadEnd})),
        ::testing::ElementsAre("Exec m", "/Download m"));
    EXPECT_THAT(traceEveryEvent(RecordingTracer(true, {IEventTracer::Exec})),
                ::testing::ElementsAre("ExecScheduled m", "Exec m", "/Exec m", "ValidatorCheck m",
                                       "RegisterValidator m", "StatusNotification m",
                                       "/StatusNotification m", "ProgressNotification m",
                                       "/ProgressNotification m", "Download m", "/Download m"));
}

// The default sink is the log, tagged with the tracer's unit.
TEST(EventTracer, WritesToTheLogByDefault) {
    Tiskel::Test::LogCapture capture;
    EventTracer(true).trace(IEventTracer::Exec, {nullptr, nullptr, nullptr, "run"});
    EXPECT_THAT(capture.textsFrom("App/ResourceDownloadManager/EventTracer"),
                ::testing::ElementsAre("Exec run"));
}

}  // namespace
}  // namespace Tiskel::App
