#pragma once

#include <set>
#include <string>

#include "App/ResourceDownloadManager/Export.h"
#include "App/ResourceDownloadManager/IEventTracer.h"

namespace Tiskel::App {

// Writes the selected pipeline and notification events as one INFO log line each, tagged with
// the unit App/ResourceDownloadManager/EventTracer. A line reads
//   [category/name] [G: category/name, ..(N more)] (Status: ..., err:... =P%) Event message
// where each bracketed part appears only when the record carries it.
//
// Thread-safe: the selection is fixed at construction and each call formats into its own
// buffer, so calls from many threads at once never interleave their lines.
class RDM_EXPORT EventTracer : public IEventTracer {
  public:
    // Traces every event when `traceAll` is set, otherwise only the members of `events`.
    explicit EventTracer(bool traceAll, std::set<IEventTracer::Event> events = {});
    ~EventTracer() override;
    EventTracer(EventTracer const&) = delete;
    EventTracer& operator=(EventTracer const&) = delete;

    // Formats the record into one line and hands it to `traceString`, when the event is
    // selected. Reads the record's pointees without any lock; the caller keeps them alive.
    void trace(Event event, TraceRecord const& record) const noexcept override;
    // Writes `line` as one log message. A subclass may send the lines elsewhere.
    virtual void traceString(std::string const& line) const noexcept;

  private:
    bool const traceAll;
    std::set<IEventTracer::Event> const events;
};

// Records nothing; the default when the host supplies no tracer.
class RDM_EXPORT EventTracerStub final : public IEventTracer {
  public:
    void trace(Event event, TraceRecord const& record) const noexcept override;
};

}  // namespace Tiskel::App
