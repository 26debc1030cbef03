#pragma once

#include <vector>

#include "App/ResourceDownloadManager/IRemoteResource.h"

namespace Tiskel::Test {

// The state a bundle must have with children in `children`, computed the plain way: one pass
// over the children, progress summed left to right. With no children the bundle keeps
// `unchanged`; with one it mirrors the child.
App::IRemoteResource::State expectedAggregate(
    std::vector<App::IRemoteResource::State> const& children,
    App::IRemoteResource::State const& unchanged = {});

}  // namespace Tiskel::Test
