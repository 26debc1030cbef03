#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "App/ResourceDownloadManager/IRemoteResource.h"

namespace Tiskel::App {
namespace {

using State = IRemoteResource::State;

State stateOf(int32_t status, int32_t error, double progress) {
    return State{static_cast<IRemoteResource::DownloadStatus>(status),
                 static_cast<IRemoteResource::DownloadError>(error), progress};
}

std::string percentText(double progress) {
    std::string const line = stateOf(IRemoteResource::Downloading, 0, progress).toDebugString();
    std::string const prefix = "Status: Downloading, err:NoError =";
    EXPECT_EQ(line.compare(0, prefix.size(), prefix), 0) << line;
    EXPECT_EQ(line.back(), '%') << line;
    return line.substr(prefix.size(), line.size() - prefix.size() - 1);
}

TEST(RemoteResourceStateText, NamesEveryValueAndQuestionMarkOtherwise) {
    char const* const statuses[] = {"Waiting", "Downloading", "Available", "Error"};
    for (int32_t value = 0; value < 4; ++value) {
        EXPECT_EQ(
            IRemoteResource::statusToString(static_cast<IRemoteResource::DownloadStatus>(value)),
            statuses[value]);
    }
    char const* const errors[] = {"NoError", "GeneralError", "Cancelled", "Corrupted",
                                  "InternetConnectionLost"};
    for (int32_t value = 0; value < 5; ++value) {
        EXPECT_EQ(
            IRemoteResource::errorToString(static_cast<IRemoteResource::DownloadError>(value)),
            errors[value]);
    }
    for (int32_t value : {4, -1, std::numeric_limits<int32_t>::min()}) {
        EXPECT_EQ(
            IRemoteResource::statusToString(static_cast<IRemoteResource::DownloadStatus>(value)),
            "?");
    }
    for (int32_t value : {5, -1, std::numeric_limits<int32_t>::max()}) {
        EXPECT_EQ(
            IRemoteResource::errorToString(static_cast<IRemoteResource::DownloadError>(value)),
            "?");
    }
}

TEST(RemoteResourceStateText, DebugStringJoinsLiteralsWithoutExtraBlanks) {
    EXPECT_EQ(stateOf(1, 0, 0.5).toDebugString(), "Status: Downloading, err:NoError =50%");
    EXPECT_EQ(stateOf(3, 4, 0.0).toDebugString(), "Status: Error, err:InternetConnectionLost =0%");
    EXPECT_EQ(stateOf(2, 0, 1.0).toDebugString(), "Status: Available, err:NoError =100%");
    EXPECT_EQ(stateOf(-1, 5, 0.0).toDebugString(), "Status: ?, err:? =0%");
    EXPECT_EQ(State{}.toDebugString(), "Status: Waiting, err:NoError =0%");
}

TEST(RemoteResourceStateText, PercentageTruncatesTowardZero) {
    EXPECT_EQ(percentText(0.999), "99");
    EXPECT_EQ(percentText(0.29), "28");  // 0.29 * 100.0 is just below 29
    EXPECT_EQ(percentText(0.0), "0");
    EXPECT_EQ(percentText(-0.0), "0");
    EXPECT_EQ(percentText(0.07), "7");
    EXPECT_EQ(percentText(-0.015), "-1");
    EXPECT_EQ(percentText(2.5), "250");
}

TEST(RemoteResourceStateText, NonFiniteOrHugeProgressGivesZeroOrClamps) {
    EXPECT_EQ(percentText(std::nan("")), "0");
    EXPECT_EQ(percentText(std::numeric_limits<double>::infinity()), "2147483647");
    EXPECT_EQ(percentText(-std::numeric_limits<double>::infinity()), "-2147483648");
    EXPECT_EQ(percentText(1e12), "2147483647");
    EXPECT_EQ(percentText(-1e12), "-2147483648");
    EXPECT_EQ(percentText(21474836.4699), "2147483646");  // in range: truncated, not clamped
}

TEST(RemoteResourceNotificationParams, DefaultHearsNothingAndCopiesAreIndependent) {
    IRemoteResource::NotificationParams const defaults;
    EXPECT_FALSE(defaults.notifyProgress);
    EXPECT_TRUE(defaults.statuses.empty());
    EXPECT_EQ(defaults.progressGranularity, 0.0);

    IRemoteResource::NotificationParams source;
    source.notifyProgress = true;
    source.statuses = {IRemoteResource::Available, IRemoteResource::Error};
    source.progressGranularity = 0.25;

    IRemoteResource::NotificationParams const copy(source);
    IRemoteResource::NotificationParams assigned;
    assigned = source;
    source.statuses.insert(IRemoteResource::Waiting);
    source.statuses.erase(IRemoteResource::Error);

    IRemoteResource::NotificationParams const* const results[] = {&copy, &assigned};
    for (auto const* params : results) {
        EXPECT_TRUE(params->notifyProgress);
        EXPECT_EQ(params->statuses, (std::set<IRemoteResource::DownloadStatus>{
                                        IRemoteResource::Available, IRemoteResource::Error}));
        EXPECT_EQ(params->progressGranularity, 0.25);
    }
}

}  // namespace
}  // namespace Tiskel::App
