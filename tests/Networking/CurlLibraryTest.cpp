// libcurl is loaded on the first request: what the loader says about libraries it cannot use,
// and that a client which has made no request has not loaded it.

#include <dlfcn.h>
#include <ostream>
#include <string>

#include <gmock/gmock.h>

#include "Platform/Networking/CurlLibrary.h"
#include "Platform/Networking/IHttpClient.h"

#include "Support/HttpTestServer.h"
#include "Support/Loaded.h"

namespace Tiskel::Test {
namespace {

using namespace Networking;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

struct LoadCase {
    char const* label;
    char const* library;
    char const* problemStart;  // "" when the library must load
    char const* problemDetail;
};

void PrintTo(LoadCase const& row, std::ostream* out) {
    *out << row.label;
}

class CurlLoadTest : public ::testing::TestWithParam<LoadCase> {};

TEST_P(CurlLoadTest, NamesTheLibraryAndWhatIsWrongWithIt) {
    LoadCase const& row = GetParam();
    Curl::Api api;
    std::string const problem = Curl::load(row.library, api);
    if (*row.problemStart == '\0') {
        ASSERT_THAT(problem, IsEmpty());
        ASSERT_NE(api.version_info, nullptr);
        EXPECT_GE(api.version_info(CURLVERSION_NOW)->version_num, Curl::kOldestVersion);
        EXPECT_NE(api.easy_setopt, nullptr);
        EXPECT_NE(api.free, nullptr);
        return;
    }
    EXPECT_THAT(problem, StartsWith(row.problemStart));
    EXPECT_THAT(problem, HasSubstr(row.problemDetail));
    EXPECT_EQ(api.global_init, nullptr) << "a failed load leaves the table untouched";
}

INSTANTIATE_TEST_SUITE_P(
    Libraries, CurlLoadTest,
    ::testing::Values(
        LoadCase{"system", Curl::kLibraryName, "", ""},
        LoadCase{"missing", "libno-such-curl.so.4",
                 "cannot load libno-such-curl.so.4: ", "No such file"},
        // A library that loads but is not libcurl: every function is named as missing.
        LoadCase{"notCurl", "libz.so.1", "libz.so.1 lacks curl_global_init, ", "curl_free"}),
    [](auto const& info) { return std::string(info.param.label); });

bool curlIsLoaded() {
    return Test::isLoadedInThisProcess(Curl::kLibraryName);
}

TEST(CurlOnFirstRequest, ACreatedClientLoadsLibcurlOnlyWhenItSendsARequest) {
    if (curlIsLoaded()) {
        GTEST_SKIP() << "an earlier test in this process loaded libcurl";
    }
    HttpTestServer server;
    server.addFile("/a.txt", "abc", 1600000000);
    std::unique_ptr<IHttpClient> client = createHttpClient(HttpClientDefault);
    EXPECT_FALSE(curlIsLoaded());

    Response const response = client->head(Request(Url(server.url("/a.txt")), {}, {}), {});
    EXPECT_EQ(response.error, Response::NoError) << response.errorText;
    EXPECT_EQ(response.getLastModified(), 1600000000);
    EXPECT_TRUE(curlIsLoaded());
}

}  // namespace
}  // namespace Tiskel::Test
