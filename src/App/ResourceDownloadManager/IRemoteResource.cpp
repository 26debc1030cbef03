#include "App/ResourceDownloadManager/IRemoteResource.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include "App/ResourceDownloadManager/FileEvents.h"
#include "App/ResourceDownloadManager/IResourceDownloader.h"

namespace Tiskel::App {

namespace {

// The hundredfold of `progress` truncated toward zero. A value that is not a number gives 0;
// one outside the 32-bit range is clamped, so a stray progress never becomes undefined
// behaviour.
int32_t percentOf(double progress) noexcept {
    double const percent = progress * 100.0;
    if (std::isnan(percent)) {
        return 0;
    }
    if (percent >= static_cast<double>(std::numeric_limits<int32_t>::max())) {
        return std::numeric_limits<int32_t>::max();
    }
    if (percent <= static_cast<double>(std::numeric_limits<int32_t>::min())) {
        return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(percent);
}

}  // namespace

IRemoteResource::NotificationParams::NotificationParams(NotificationParams const& other) = default;

std::string IRemoteResource::statusToString(DownloadStatus status) noexcept {
    switch (status) {
        case Waiting:
            return "Waiting";
        case Downloading:
            return "Downloading";
        case Available:
            return "Available";
        case Error:
            return "Error";
    }
    return "?";
}

std::string IRemoteResource::errorToString(DownloadError error) noexcept {
    switch (error) {
        case NoError:
            return "NoError";
        case GeneralError:
            return "GeneralError";
        case Cancelled:
            return "Cancelled";
        case Corrupted:
            return "Corrupted";
        case InternetConnectionLost:
            return "InternetConnectionLost";
    }
    return "?";
}

std::string IRemoteResource::State::toDebugString() const noexcept {
    return "Status: " + statusToString(status) + ", err:" + errorToString(error) + " =" +
           std::to_string(percentOf(progress)) + "%";
}

void IRemoteResource::registerFileEventHandler(IFileEventHandler* /*handler*/,
                                               FileEventParams const& /*params*/) noexcept {}

void IRemoteResource::unregisterFileEventHandler(IFileEventHandler* /*handler*/) noexcept {}

IResourceDownloader::LastModified IResourceDownloader::checkLastModified(
    ResourceDescriptor const* descriptor) const {
    LastModified answer;
    answer.time = requestLastModified(descriptor);
    return answer;
}

char const* fileDecisionName(FileDecision decision) noexcept {
    switch (decision) {
        case FileDecision::Downloaded:
            return "Downloaded";
        case FileDecision::KeptPresent:
            return "KeptPresent";
        case FileDecision::KeptNotModified:
            return "KeptNotModified";
        case FileDecision::KeptNoServerTime:
            return "KeptNoServerTime";
        case FileDecision::KeptCheckFailed:
            return "KeptCheckFailed";
        case FileDecision::KeptValid:
            return "KeptValid";
        case FileDecision::KeptAvailable:
            return "KeptAvailable";
        case FileDecision::Failed:
            return "Failed";
    }
    return "?";
}

}  // namespace Tiskel::App
