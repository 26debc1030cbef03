#include <cstdint>
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

// The detail text a factory throws for `path`, or "no exception".
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

std::string const kMissing = "No such file or directory";
std::string const kIsDirectory = "Is a directory";

// Descriptors of this process that refer to `path`, with their open flags.
struct OpenDescriptor {
    int fd;
    long flags;
};

std::vector<OpenDescriptor> descriptorsOpenOn(std::string const& file) {
    std::string const path = std::filesystem::canonical(file).string();
    std::vector<OpenDescriptor> found;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) {
        return found;
    }
    while (dirent* entry = ::readdir(dir)) {
        std::string const name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        char target[4096];
        ssize_t const length =
            ::readlink(("/proc/self/fd/" + name).c_str(), target, sizeof(target) - 1);
        if (length <= 0 || std::string(target, static_cast<size_t>(length)) != path) {
            continue;
        }
        std::ifstream info("/proc/self/fdinfo/" + name);
        std::string key;
        std::string value;
        long flags = -1;
        while (info >> key >> value) {
            if (key == "flags:") {
                flags = std::stol(value, nullptr, 8);
            }
        }
        found.push_back({std::stoi(name), flags});
    }
    ::closedir(dir);
    return found;
}

TEST(DataInputFile, FailsWithTheSystemsReason) {
    TempDir dir;
    auto create = [](ioPath const& path) { return DataInputFile::Create(path); };
    EXPECT_EQ(failureDetails(create, dir.file("missing.bin")), kMissing);
    EXPECT_EQ(failureDetails(create, dir.file("no/such/parent.bin")), kMissing);
    // A directory opens fine with open(2); the factory must still refuse it.
    EXPECT_EQ(failureDetails(create, dir.path()), kIsDirectory);
}

TEST(DataOutputFile, FailsWithTheSystemsReason) {
    TempDir dir;
    auto create = [](ioPath const& path) { return DataOutputFile::Create(path); };
    EXPECT_EQ(failureDetails(create, dir.file("no/such/parent.bin")), kMissing);
    EXPECT_EQ(failureDetails(create, dir.path()), kIsDirectory);
}

TEST(DataFile, ContentRoundTripsAndOutputTruncates) {
    TempDir dir;
    std::string const path = dir.write("data.bin", std::string(5000, 'x'));

    // Larger than one pipe-sized chunk and not a multiple of anything round.
    std::vector<uint8_t> content(3 * 1024 * 1024 + 17);
    for (size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<uint8_t>(i * 31 + 7);
    }
    {
        auto output = DataOutputFile::Create(path);
        EXPECT_EQ(TempDir::read(path), "");  // the old content is gone as soon as it is created
        EXPECT_EQ(output->write(content.data(), 1000), 1000u);
        EXPECT_EQ(output->write(content.data() + 1000, content.size() - 1000),
                  content.size() - 1000);
        EXPECT_EQ(output->write(content.data(), 0), 0u);
    }

    auto input = DataInputFile::Create(path);
    EXPECT_EQ(input->size(), content.size());
    std::vector<uint8_t> back(content.size());
    EXPECT_EQ(input->read(back.data(), back.size()), back.size());
    EXPECT_EQ(back, content);
}

TEST(DataInputFile, ReadIsShortAtTheEnd) {
    TempDir dir;
    std::string const path = dir.write("short.bin", "0123456789");
    auto input = DataInputFile::Create(path);
    EXPECT_EQ(input->size(), 10u);

    char buffer[64] = {};
    EXPECT_EQ(input->read(buffer, 4), 4u);
    EXPECT_EQ(std::string(buffer, 4), "0123");
    EXPECT_EQ(input->read(buffer, sizeof(buffer)), 6u);
    EXPECT_EQ(std::string(buffer, 6), "456789");
    EXPECT_EQ(input->read(buffer, sizeof(buffer)), 0u);
    EXPECT_EQ(input->read(nullptr, 0), 0u);
}

TEST(DataFile, DescriptorIsCloseOnExecAndClosedWithTheLastReference) {
    TempDir dir;
    std::string const path = dir.write("held.bin", "abc");
    ASSERT_TRUE(descriptorsOpenOn(path).empty());
    {
        auto input = DataInputFile::Create(path);
        auto output = DataOutputFile::Create(path);
        std::vector<OpenDescriptor> open = descriptorsOpenOn(path);
        ASSERT_EQ(open.size(), 2u);
        for (auto const& descriptor : open) {
            EXPECT_NE(descriptor.flags & O_CLOEXEC, 0) << "fd " << descriptor.fd;
        }
        boost::intrusive_ptr<IDataInput> second = input;
        input.reset();
        EXPECT_EQ(descriptorsOpenOn(path).size(), 2u);  // still referenced through `second`
    }
    EXPECT_TRUE(descriptorsOpenOn(path).empty());
}

}  // namespace
}  // namespace Tiskel::Core
