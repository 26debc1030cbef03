#include "App/ResourceDownloadManager/EventTracer.h"

#include <utility>

#include <glog/logging.h>

#include "App/ResourceDownloadManager/ResourceDescriptor.h"

namespace Tiskel::App {

namespace {

constexpr char kLogUnit[] = "App/ResourceDownloadManager/EventTracer";

// How a resource is named in trace lines: "category/name".
std::string traceResourceId(ResourceDescriptor const* descriptor) {
    return descriptor->category + "/" + descriptor->name;
}

// A leading "/" marks the end of the stage the rest of the name begins. A value outside the
// enumeration has no name, so its line still shows the message.
char const* eventName(IEventTracer::Event event) noexcept {
    switch (event) {
        case IEventTracer::ExecScheduled:
            return "ExecScheduled";
        case IEventTracer::Exec:
            return "Exec";
        case IEventTracer::ExecEnd:
            return "/Exec";
        case IEventTracer::ValidatorCheck:
            return "ValidatorCheck";
        case IEventTracer::RegisterValidator:
            return "RegisterValidator";
        case IEventTracer::StatusNotification:
            return "StatusNotification";
        case IEventTracer::StatusNotificationEnd:
            return "/StatusNotification";
        case IEventTracer::ProgressNotification:
            return "ProgressNotification";
        case IEventTracer::ProgressNotificationEnd:
            return "/ProgressNotification";
        case IEventTracer::Download:
            return "Download";
        case IEventTracer::DownloadEnd:
            return "/Download";
    }
    return "";
}

}  // namespace

EventTracer::EventTracer(bool traceAll, std::set<IEventTracer::Event> events)
    : traceAll(traceAll), events(std::move(events)) {}

EventTracer::~EventTracer() = default;

void EventTracer::trace(Event event, TraceRecord const& record) const noexcept {
    if (!traceAll && events.count(event) == 0) {
        return;
    }

    std::string line;
    if (record.descriptor != nullptr) {
        line += "[" + traceResourceId(record.descriptor) + "] ";
    }
    if (record.bundle != nullptr) {
        auto const& descriptors = record.bundle->descriptors;
        if (descriptors.empty()) {
            line += "[INVALID GROUP] ";
        } else {
            // A bundle is named after its first member; the count keeps the line short.
            line += "[G: " + traceResourceId(*descriptors.begin()) + ", ..(" +
                    std::to_string(descriptors.size() - 1) + " more)] ";
        }
    }
    if (record.state != nullptr) {
        line += "(" + record.state->toDebugString() + ") ";
    }
    line += eventName(event);
    line += " ";
    line += record.message;

    traceString(line);
}

void EventTracer::traceString(std::string const& line) const noexcept {
    google::LogMessage(kLogUnit, __LINE__, google::GLOG_INFO).stream() << line;
}

void EventTracerStub::trace(Event /*event*/, TraceRecord const& /*record*/) const noexcept {}

}  // namespace Tiskel::App
