#pragma once

#include <mutex>
#include <string>
#include <vector>

#include <glog/logging.h>

namespace Tiskel::Test {

// One captured glog message.
struct LogLine {
    google::LogSeverity severity;
    std::string file;  // the source unit the message was tagged with
    std::string text;  // the message text without glog's prefix
};

// Captures every glog message sent while it exists. Thread-safe.
class LogCapture : public google::LogSink {
  public:
    LogCapture();
    ~LogCapture() override;
    LogCapture(LogCapture const&) = delete;
    LogCapture& operator=(LogCapture const&) = delete;

    void send(google::LogSeverity severity, const char* fullFilename, const char* baseFilename,
              int line, const struct ::tm* tmTime, const char* message,
              size_t messageLength) override;

    std::vector<LogLine> lines() const;
    // Texts of the messages whose file is `file`, in arrival order.
    std::vector<std::string> textsFrom(std::string const& file) const;
    // Texts of the ERROR messages, in arrival order.
    std::vector<std::string> errors() const;
    void clear();

  private:
    mutable std::mutex mutex;
    std::vector<LogLine> captured;
};

}  // namespace Tiskel::Test
