#pragma once

#include "App/ResourceDownloadManager/Export.h"
#include "App/ResourceDownloadManager/INetworkStateChecker.h"
#include "App/ResourceDownloadManager/IPostProcessor.h"
#include "App/ResourceDownloadManager/IValidator.h"
#include "Platform/Filesystem/ioPath.h"

// Small service implementations: a network-state checker a tester can switch offline with a
// marker file, and the do-nothing defaults the download manager installs for services the host
// leaves empty. None has mutable state; all may be called from several threads at once.
namespace Tiskel::App {

// Reports Offline while a file exists at the marker path, Online otherwise. The marker is looked
// up on every call, so creating or deleting it switches the state at once.
class RDM_EXPORT NetworkStateEmulator : public INetworkStateChecker {
  public:
    // An empty `markerPath` makes the emulator always Online without touching the filesystem.
    explicit NetworkStateEmulator(Tiskel::ioPath markerPath);

    State getState() const override;

  private:
    Tiskel::ioPath const markerPath;
};

// Always Online.
class RDM_EXPORT NetworkStateCheckerStub : public INetworkStateChecker {
  public:
    State getState() const override;
};

// Judges every file Valid.
class RDM_EXPORT ValidatorStub : public IValidator {
  public:
    Result validate(ResourceDescriptor const* descriptor) const override;
};

// Reports every file Processed without touching it.
class RDM_EXPORT PostProcessorStub : public IPostProcessor {
  public:
    Result process(ResourceDescriptor const* descriptor) const override;
};

}  // namespace Tiskel::App
