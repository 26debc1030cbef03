#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "App/ResourceDownloadManager/Downloader/NetworkStateEmulator.h"
#include "App/ResourceDownloadManager/ResourceDescriptor.h"

#include "Support/LogCapture.h"
#include "Support/TempDir.h"

namespace Tiskel::App {
namespace {

using Test::LogCapture;
using Test::TempDir;

TEST(NetworkStateEmulator, FollowsTheMarkerFileOnEveryCall) {
    TempDir dir;
    EXPECT_EQ(NetworkStateEmulator(ioPath()).getState(), INetworkStateChecker::Online);
    NetworkStateEmulator emulator(dir.ioFile("offline"));
    EXPECT_EQ(emulator.getState(), INetworkStateChecker::Online);

    dir.write("offline", "");
    EXPECT_EQ(emulator.getState(), INetworkStateChecker::Offline);

    std::filesystem::remove(dir.file("offline"));
    EXPECT_EQ(emulator.getState(), INetworkStateChecker::Online);
}

TEST(NetworkStateEmulator, UnreadableMarkerCountsAsAbsentWithoutLogging) {
    TempDir dir;
    std::string const loop = dir.file("offline");
    std::filesystem::create_symlink(loop, loop);
    LogCapture log;

    NetworkStateEmulator emulator(loop);
    EXPECT_EQ(emulator.getState(), INetworkStateChecker::Online);
    EXPECT_TRUE(log.lines().empty());
}

TEST(ServiceStubs, AnswerTheHarmlessDefault) {
    ResourceDescriptor descriptor;
    EXPECT_EQ(NetworkStateCheckerStub().getState(), INetworkStateChecker::Online);
    EXPECT_EQ(ValidatorStub().validate(&descriptor), IValidator::Valid);
    EXPECT_EQ(ValidatorStub().validate(nullptr), IValidator::Valid);
    EXPECT_EQ(PostProcessorStub().process(&descriptor), IPostProcessor::Processed);
    EXPECT_EQ(PostProcessorStub().process(nullptr), IPostProcessor::Processed);
}

}  // namespace
}  // namespace Tiskel::App
