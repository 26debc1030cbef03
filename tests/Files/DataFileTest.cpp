#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include <boost/exception/get_error_info.hpp>
#include <gtest/gtest.h>

#include "Platform/Core/DataFile.h"
#include "Platform/Core/Exception.h"

#include "Support/TempDir.h"

namespace Tiskel::Core {
namespace {

using Test::TempDir;

// The detail text `create(path)` throws, or "no exception".
template <class Factory>
std::string failureDetails(Factory create, std::string const& path) {
    try {
        create(ioPath(path));
    } catch (Exception const& error) {
        std::string const* details = boost::get_error_info<ErrorDetails>(error);
        return details != nullptr ? *details : "<none>";
    }
    return "no exception";
}

// The open flags of every descriptor of this process that refers to `file`.
std::vector<long> openFlagsOf(std::string const& file) {
    std::string const target = std::filesystem::canonical(file).string();
    std::vector<long> flags;
    for (auto const& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (std::filesystem::read_symlink(entry.path(), error).string() != target) {
            continue;
        }
        std::ifstream info("/proc/self/fdinfo/" + entry.path().filename().string());
        std::string key, value;
        while (info >> key >> value) {
            if (key == "flags:") {
                flags.push_back(std::stol(value, nullptr, 8));
            }
        }
    }
    return flags;
}

TEST(DataFile, FactoriesFailWithTheSystemsReason) {
    TempDir dir;
    auto input = [](ioPath const& path) { return DataInputFile::Create(path); };
    auto output = [](ioPath const& path) { return DataOutputFile::Create(path); };
    EXPECT_EQ(failureDetails(input, dir.file("missing")), "No such file or directory");
    EXPECT_EQ(failureDetails(input, dir.file("no/parent")), "No such file or directory");
    // open(2) accepts a directory for reading; the factory must still refuse it.
    EXPECT_EQ(failureDetails(input, dir.path()), "Is a directory");
    EXPECT_EQ(failureDetails(output, dir.file("no/parent")), "No such file or directory");
    EXPECT_EQ(failureDetails(output, dir.path()), "Is a directory");
}

TEST(DataFile, ContentRoundTripsAndOutputTruncates) {
    TempDir dir;
    std::string const path = dir.write("data.bin", std::string(5000, 'x'));
    std::vector<uint8_t> content(3 * 1024 * 1024 + 17);
    for (size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<uint8_t>(i * 31 + i / 251);
    }
    {
        auto output = DataOutputFile::Create(path);
        EXPECT_EQ(TempDir::read(path), "");
        EXPECT_EQ(output->write(content.data(), 1000), 1000u);
        EXPECT_EQ(output->write(content.data() + 1000, content.size() - 1000),
                  content.size() - 1000);
    }
    auto input = DataInputFile::Create(path);
    EXPECT_EQ(input->size(), content.size());
    std::vector<uint8_t> back(content.size());
    EXPECT_EQ(input->read(back.data(), back.size()), back.size());
    EXPECT_EQ(back, content);
}

TEST(DataFile, ReadIsShortAtTheEnd) {
    TempDir dir;
    auto input = DataInputFile::Create(dir.write("short.bin", "0123456789"));
    char buffer[64] = {};
    EXPECT_EQ(input->read(buffer, 4), 4u);
    EXPECT_EQ(input->read(buffer, sizeof(buffer)), 6u);
    EXPECT_EQ(std::string(buffer, 6), "456789");
    EXPECT_EQ(input->read(buffer, sizeof(buffer)), 0u);
    EXPECT_EQ(input->read(nullptr, 0), 0u);
}

TEST(DataFile, DescriptorIsCloseOnExecAndLivesUntilTheLastReference) {
    TempDir dir;
    std::string const path = dir.write("held.bin", "abc");
    {
        auto input = DataInputFile::Create(path);
        auto output = DataOutputFile::Create(path);
        std::vector<long> const flags = openFlagsOf(path);
        ASSERT_EQ(flags.size(), 2u);
        EXPECT_NE(flags[0] & O_CLOEXEC, 0);
        EXPECT_NE(flags[1] & O_CLOEXEC, 0);
        boost::intrusive_ptr<IDataInput> second = input;
        input.reset();
        EXPECT_EQ(openFlagsOf(path).size(), 2u);
    }
    EXPECT_TRUE(openFlagsOf(path).empty());
}

}  // namespace
}  // namespace Tiskel::Core
