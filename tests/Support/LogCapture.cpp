#include "Support/LogCapture.h"

namespace Tiskel::Test {

LogCapture::LogCapture() {
    google::AddLogSink(this);
}

LogCapture::~LogCapture() {
    google::RemoveLogSink(this);
}

void LogCapture::send(google::LogSeverity severity, const char* fullFilename,
                      const char* /*baseFilename*/, int /*line*/, const struct ::tm* /*tmTime*/,
                      const char* message, size_t messageLength) {
    std::lock_guard<std::mutex> lock(mutex);
    captured.push_back({severity, fullFilename, std::string(message, messageLength)});
}

std::vector<LogLine> LogCapture::lines() const {
    std::lock_guard<std::mutex> lock(mutex);
    return captured;
}

std::vector<std::string> LogCapture::textsFrom(std::string const& file) const {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> texts;
    for (auto const& line : captured) {
        if (line.file == file) {
            texts.push_back(line.text);
        }
    }
    return texts;
}

std::vector<std::string> LogCapture::errors() const {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> texts;
    for (auto const& line : captured) {
        if (line.severity == google::GLOG_ERROR) {
            texts.push_back(line.text);
        }
    }
    return texts;
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> lock(mutex);
    captured.clear();
}

}  // namespace Tiskel::Test
