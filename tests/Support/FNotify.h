#pragma once

#include <functional>
#include <set>
#include <utility>

#include "App/ResourceDownloadManager/CallbackEventHandler.h"
#include "App/ResourceDownloadManager/IRemoteResource.h"

namespace Tiskel::Test {

// What a subscriber asks to hear: the states whose status is in `statuses`, and with `progress`
// each rise of at least `granularity` while downloading.
inline App::IRemoteResource::NotificationParams notifyOn(
    std::set<App::IRemoteResource::DownloadStatus> statuses, bool progress = false,
    double granularity = 0.0) {
    App::IRemoteResource::NotificationParams result;
    result.statuses = std::move(statuses);
    result.notifyProgress = progress;
    result.progressGranularity = granularity;
    return result;
}

// Gives `handler` its callback and the statuses it hears of; registering is left to the test.
inline void listen(App::RemoteResourceEventHandlerCallback& handler,
                   std::set<App::IRemoteResource::DownloadStatus> statuses,
                   std::function<void(App::IRemoteResource::State)> callback) {
    handler.setCallback(std::move(callback));
    handler.setNotificationParams(notifyOn(std::move(statuses)));
}

}  // namespace Tiskel::Test
