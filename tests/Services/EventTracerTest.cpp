#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "App/ResourceDownloadManager/EventTracer.h"
#include "App/ResourceDownloadManager/ResourceDescriptor.h"

namespace Tiskel::App {
namespace {

using ::testing::ElementsAre;
using R = IRemoteResource;

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
    ResourceDescriptorBundle three{{&descriptors[2], &descriptors[0], &descriptors[1]}};
    ResourceDescriptorBundle one{{&descriptors[0]}}, empty;
    R::State const lost{R::Error, R::InternetConnectionLost, 0.5};
    RecordingTracer tracer(true);
    tracer.trace(IEventTracer::ProgressNotificationEnd, {nullptr, &one, nullptr, ""});
    tracer.trace(IEventTracer::ExecEnd, {nullptr, &empty, nullptr, "x"});
    tracer.trace(IEventTracer::DownloadEnd, {&descriptors[2], &three, &lost, "a/b"});
    tracer.trace(IEventTracer::Event(11), {&descriptors[0], nullptr, nullptr, "m"});
    EXPECT_THAT(tracer.lines,
                ElementsAre("[G: img/logo.png, ..(0 more)] /ProgressNotification ",
                            "[INVALID GROUP] /Exec x",
                            "[txt/readme.txt] [G: img/logo.png, ..(2 more)] (Status: Error, "
                            "err:InternetConnectionLost =50%) /Download a/b",
                            "[img/logo.png]  m"));
}

TEST(EventTracer, TracesOnlySelectedEventsUnlessTracingAll) {
    RecordingTracer none(false), some(false, {IEventTracer::Exec, IEventTracer::DownloadEnd});
    RecordingTracer all(true, {IEventTracer::Exec});
    for (auto* tracer : {&none, &some, &all}) {
        for (int event = IEventTracer::ExecScheduled; event <= IEventTracer::DownloadEnd; ++event) {
            tracer->trace(IEventTracer::Event(event), {nullptr, nullptr, nullptr, "m"});
        }
    }
    EXPECT_THAT(none.lines, ::testing::IsEmpty());
    EXPECT_THAT(some.lines, ElementsAre("Exec m", "/Download m"));
    EXPECT_THAT(all.lines, ElementsAre("ExecScheduled m", "Exec m", "/Exec m", "ValidatorCheck m",
                                       "RegisterValidator m", "StatusNotification m",
                                       "/StatusNotification m", "ProgressNotification m",
                                       "/ProgressNotification m", "Download m", "/Download m"));
}

}  // namespace
}  // namespace Tiskel::App
