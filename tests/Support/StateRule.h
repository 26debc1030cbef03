#pragma once

#include <set>
#include <vector>

#include "App/ResourceDownloadManager/IRemoteResource.h"

namespace Tiskel::Test {

// The state a bundle must have with children in `children`, computed the plain way: one pass
// over the children, progress summed left to right. With no children the bundle keeps
// `unchanged`; with one it mirrors the child.
inline App::IRemoteResource::State expectedAggregate(
    std::vector<App::IRemoteResource::State> const& children,
    App::IRemoteResource::State const& unchanged = {}) {
    using App::IRemoteResource;
    if (children.empty()) {
        return unchanged;
    }
    if (children.size() == 1) {
        return children.front();
    }
    std::set<IRemoteResource::DownloadStatus> statuses;
    std::set<IRemoteResource::DownloadError> errors;
    double sum = 0.0;
    for (auto const& child : children) {
        statuses.insert(child.status);
        errors.insert(child.error);
        sum += child.progress;
    }
    auto const has = [](auto const& set, auto value) { return set.count(value) != 0; };
    IRemoteResource::State result;
    result.progress = sum / static_cast<double>(children.size());
    if (statuses == std::set{IRemoteResource::Available}) {
        result.status = IRemoteResource::Available;
    } else if (has(statuses, IRemoteResource::Error)) {
        result.status = IRemoteResource::Error;
    } else if (has(statuses, IRemoteResource::Downloading) ||
               has(statuses, IRemoteResource::Available)) {
        result.status = IRemoteResource::Downloading;
    } else {
        result.status = IRemoteResource::Waiting;
    }
    result.error = IRemoteResource::GeneralError;
    if (errors == std::set{IRemoteResource::NoError}) {
        result.error = IRemoteResource::NoError;
    } else {
        for (auto error : {IRemoteResource::Cancelled, IRemoteResource::InternetConnectionLost,
                           IRemoteResource::Corrupted}) {
            if (has(errors, error)) {
                result.error = error;
                break;
            }
        }
    }
    return result;
}

}  // namespace Tiskel::Test
