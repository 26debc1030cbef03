#include "App/ResourceDownloadManager/FileUtils.h"

#include <string>

#include <boost/exception/get_error_info.hpp>
#include <glog/logging.h>

#include "Platform/Core/DataFile.h"
#include "Platform/Core/Exception.h"

namespace Tiskel::App {

namespace {

// Every message of this unit is tagged with the unit's name rather than the source file's, so
// that hosts can filter file-level failures of the library by one stable name.
constexpr char kUnit[] = "App/ResourceDownloadManager/FileUtils";

// Logs why a stream factory failed. Called from inside a catch block; rethrows to tell the
// platform's own exception apart from anything else.
void logOpenFailure(char const* prefix, ioPath const& path) {
    try {
        throw;
    } catch (Tiskel::Exception const& error) {
        std::string const* details = boost::get_error_info<Tiskel::ErrorDetails>(error);
        google::LogMessage(kUnit, __LINE__, google::GLOG_ERROR).stream()
            << prefix << path << ", errno=" << (details != nullptr ? *details : std::string("?"));
    } catch (...) {
        google::LogMessage(kUnit, __LINE__, google::GLOG_ERROR).stream()
            << prefix << path << " (unknown exception)";
    }
}

}  // namespace

boost::intrusive_ptr<Core::IDataInput> openInputNoexcept(ioPath const& path) noexcept {
    try {
        return Core::DataInputFile::Create(path);
    } catch (...) {
        logOpenFailure("failed to create file for reading=", path);
    }
    return nullptr;
}

boost::intrusive_ptr<Core::IDataOutput> openOutputNoexcept(ioPath const& path) noexcept {
    try {
        return Core::DataOutputFile::Create(path);
    } catch (...) {
        logOpenFailure("failed to create file for writing=", path);
    }
    return nullptr;
}

bool readWholeFileToBuffer(ioPath const& path, std::vector<uint8_t>& buffer) {
    boost::intrusive_ptr<Core::IDataInput> input = openInputNoexcept(path);
    if (!input) {
        return false;  // the open already logged why
    }
    buffer.resize(input->size());
    uint64_t const count = input->read(buffer.data(), buffer.size());
    input.reset();  // close before returning, so the caller may remove or rename the file
    return count == buffer.size();
}

bool removeFile(ioPath const& path) noexcept {
    try {
        if (!path.exists()) {
            return true;
        }
        return path.remove();
    } catch (...) {
        google::LogMessage(kUnit, __LINE__, google::GLOG_ERROR).stream()
            << "Failed to remove file=" << path;
    }
    return false;
}

bool fileExists(ioPath const& path) noexcept {
    try {
        return path.exists();
    } catch (...) {
        return false;
    }
}

int64_t fileLastModifiedTime(ioPath const& path) {
    return path.last_write_time();
}

TemporaryFile::TemporaryFile(ioPath const& tmpPath, ioPath const& destPath) noexcept
    : tmpPath(tmpPath), destPath(destPath), ready(removeFile(tmpPath)) {}

TemporaryFile::~TemporaryFile() noexcept {
    // After a successful move nothing is left here; otherwise this drops a partial download.
    removeFile(tmpPath);
}

bool TemporaryFile::moveToDest() const noexcept {
    if (ioPath::rename(tmpPath, destPath)) {
        return true;
    }
    google::LogMessage(kUnit, __LINE__, google::GLOG_ERROR).stream()
        << "Failed to rename: " << tmpPath << " -> " << destPath;
    return false;
}

}  // namespace Tiskel::App
