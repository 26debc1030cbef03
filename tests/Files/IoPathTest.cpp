#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "Platform/Filesystem/ioPath.h"

namespace Tiskel {
namespace {

TEST(IoPathTest, JoinsWithOneSlash) {
    struct Case {
        char const* left;
        char const* right;
        char const* joined;
    };
    for (Case const& c : std::vector<Case>{{"a", "b", "a/b"},
                                           {"a/", "b", "a/b"},
                                           {"", "b", "b"},
                                           {"a", "", "a/"},
                                           {"a/", "", "a/"},
                                           {"", "", ""},
                                           {"/", "x/y", "/x/y"},
                                           {"a/b", "c/d.part", "a/b/c/d.part"}}) {
        ioPath const left(c.left);
        ioPath const joined = left / ioPath(c.right);
        EXPECT_EQ(joined.string(), c.joined) << c.left << " / " << c.right;
        EXPECT_STREQ(joined.c_str(), c.joined);
        EXPECT_EQ(joined.empty(), std::string(c.joined).empty());
        // The operands are left as they were, whatever the result shares with them.
        EXPECT_EQ(left.view(), c.left);
    }
}

// Paths built apart from the same text are equal; a copy shares the text.
TEST(IoPathTest, ComparesByText) {
    std::string const text = "/some/folder/file.bin";
    ioPath const built(text);
    EXPECT_EQ(built, ioPath(text.c_str()));
    EXPECT_EQ(ioPath(built).c_str(), built.c_str()) << "a copy shares its text";
    EXPECT_NE(built, ioPath("/some/folder/file.bi"));
    EXPECT_NE(built, ioPath("/some/folder/file.bin2"));
    EXPECT_NE(built, ioPath());
}

TEST(IoPathTest, CopiesLiveOnTheirOwn) {
    ioPath original("/a/long/enough/path/to/leave/any/inline/buffer");
    ioPath copy = original;
    ioPath moved = std::move(copy);
    EXPECT_TRUE(copy.empty());  // NOLINT(bugprone-use-after-move): a moved-from path is empty
    original = ioPath("/other");
    EXPECT_EQ(moved.string(), "/a/long/enough/path/to/leave/any/inline/buffer");
    EXPECT_EQ(original.string(), "/other");

    // Assigning a path its own text, directly or through a copy, keeps the text.
    ioPath& alias = moved;
    moved = alias;
    moved = ioPath(moved);
    EXPECT_EQ(moved.view(), "/a/long/enough/path/to/leave/any/inline/buffer");

    // The text outlives the path it was made for while a copy holds it.
    char const* text = nullptr;
    ioPath survivor;
    {
        ioPath const scoped("/scoped/path");
        survivor = scoped;
        text = scoped.c_str();
    }
    EXPECT_EQ(survivor.c_str(), text);
    EXPECT_STREQ(text, "/scoped/path");
}

TEST(IoPathTest, CopiesOnManyThreadsAtOnce) {
    ioPath const shared("/shared/by/every/thread");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&shared] {
            for (int i = 0; i < 10000; ++i) {
                ioPath copy = shared;
                ioPath other = copy;
                copy = ioPath();
                ASSERT_EQ(other, shared);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(shared.string(), "/shared/by/every/thread");
}

}  // namespace
}  // namespace Tiskel
