#include <gtest/gtest.h>

#include "Platform/Networking/Request.h"
#include "Platform/Networking/Url.h"

namespace Tiskel::Networking {
namespace {

TEST(Url, ParsesTheParts) {
    Url const url("HTTP://Example.com:8080/a/b.txt?x=1");
    ASSERT_TRUE(url.isValid());
    EXPECT_EQ(url.str(), "HTTP://Example.com:8080/a/b.txt?x=1");
    EXPECT_EQ(url.scheme(), "http");
    EXPECT_EQ(url.host(), "Example.com");
    EXPECT_EQ(url.port(), 8080);
    EXPECT_EQ(url.pathAndQuery(), "/a/b.txt?x=1");

    Url const defaults("https://[::1]");
    ASSERT_TRUE(defaults.isValid());
    EXPECT_EQ(defaults.host(), "::1");
    EXPECT_EQ(defaults.port(), 443);
    EXPECT_EQ(defaults.pathAndQuery(), "/");
}

TEST(Url, RefusesWhatIsNotAnAbsoluteUrl) {
    for (char const* text :
         {"", "example.com/file", "/file", "http://", "http:///file", "http:/host/file",
          "http://exa mple.com/", "nosuchscheme://host/file"}) {
        Url const url(text);
        EXPECT_FALSE(url.isValid()) << text;
        EXPECT_TRUE(url.host().empty()) << text;
        EXPECT_EQ(url.str(), text);
    }
}

TEST(CaseInsensitiveCompare, OneHeaderWhateverTheCase) {
    HeaderMap headers;
    headers["Content-Type"] = "a";
    headers["content-type"] = "b";
    headers["Accept"] = "c";
    ASSERT_EQ(headers.size(), 2u);
    EXPECT_EQ(headers.at("CONTENT-TYPE"), "b");
    EXPECT_EQ(headers.begin()->first, "Accept");
}

}  // namespace
}  // namespace Tiskel::Networking
