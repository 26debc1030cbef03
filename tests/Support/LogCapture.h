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
    LogCapture() { google::AddLogSink(this); }
    ~LogCapture() override { google::RemoveLogSink(this); }
    LogCapture(LogCapture const&) = delete;
    LogCapture& operator=(LogCapture const&) = delete;

    void send(google::LogSeverity severity, const char* fullFilename, const char* /*baseFilename*/,
              int /*line*/, const struct ::tm* /*tmTime*/, const char* message,
              size_t messageLength) override {
        std::lock_guard<std::mutex> lock(mutex);
        captured.push_back({severity, fullFilename, std::string(message, messageLength)});
    }

    std::vector<LogLine> lines() const {
        std::lock_guard<std::mutex> lock(mutex);
        return captured;
    }
    // Texts of the messages whose file is `file`, in arrival order.
    std::vector<std::string> textsFrom(std::string const& file) const {
        return textsWhere([&](LogLine const& line) { return line.file == file; });
    }
    // Texts of the ERROR messages, in arrival order.
    std::vector<std::string> errors() const {
        return textsWhere([](LogLine const& line) { return line.severity == google::GLOG_ERROR; });
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex);
        captured.clear();
    }

  private:
    template <class Keep>
    std::vector<std::string> textsWhere(Keep keep) const {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<std::string> texts;
        for (auto const& line : captured) {
            if (keep(line)) {
                texts.push_back(line.text);
            }
        }
        return texts;
    }

    mutable std::mutex mutex;
    std::vector<LogLine> captured;
};

}  // namespace Tiskel::Test
