#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include "App/ResourceDownloadManager/IRemoteResource.h"

namespace Tiskel::App {
namespace {

std::string textOf(int32_t status, int32_t error, double progress) {
    return IRemoteResource::State{static_cast<IRemoteResource::DownloadStatus>(status),
                                  static_cast<IRemoteResource::DownloadError>(error), progress}
        .toDebugString();
}

// Unknown values print "?"; the percentage is truncated toward zero, NaN prints 0 and values
// beyond 32 bits clamp.
TEST(RemoteResourceStateText, NamesValuesAndTruncatesThePercentage) {
    EXPECT_EQ(textOf(0, 0, 0.999), "Status: Waiting, err:NoError =99%");
    EXPECT_EQ(textOf(1, 1, 0.29), "Status: Downloading, err:GeneralError =28%");  // 28.999...
    EXPECT_EQ(textOf(2, 2, -0.015), "Status: Available, err:Cancelled =-1%");
    EXPECT_EQ(textOf(3, 3, std::nan("")), "Status: Error, err:Corrupted =0%");
    EXPECT_EQ(textOf(4, 4, HUGE_VAL), "Status: ?, err:InternetConnectionLost =2147483647%");
    EXPECT_EQ(textOf(-1, 5, -HUGE_VAL), "Status: ?, err:? =-2147483648%");
    EXPECT_EQ(textOf(1, -1, 21474836.4699), "Status: Downloading, err:? =2147483646%");
}

}  // namespace
}  // namespace Tiskel::App
