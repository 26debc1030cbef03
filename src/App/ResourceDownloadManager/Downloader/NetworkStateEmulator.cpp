#include "App/ResourceDownloadManager/Downloader/NetworkStateEmulator.h"

#include <utility>

#include "App/ResourceDownloadManager/FileUtils.h"

namespace Tiskel::App {

NetworkStateEmulator::NetworkStateEmulator(ioPath markerPath) : markerPath(std::move(markerPath)) {}

INetworkStateChecker::State NetworkStateEmulator::getState() const {
    if (markerPath.empty()) {
        return Online;
    }
    // fileExists answers false on any filesystem error, so an unreadable location counts as
    // "no marker" and never takes the application offline by accident.
    return fileExists(markerPath) ? Offline : Online;
}

INetworkStateChecker::State NetworkStateCheckerStub::getState() const {
    return Online;
}

IValidator::Result ValidatorStub::validate(ResourceDescriptor const* /*descriptor*/) const {
    return Valid;
}

IPostProcessor::Result PostProcessorStub::process(ResourceDescriptor const* /*descriptor*/) const {
    return Processed;
}

}  // namespace Tiskel::App
