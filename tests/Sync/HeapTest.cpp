// resource-sync prepares the heap of a large run: grown at once to the expected size, with the
// kernel asked for huge pages over it. Each case runs in a child process, on a heap of its own.

#include <cstdio>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "Heap.h"

namespace Tiskel::ResourceSync {
namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;

// The size of the largest mapping of this process marked for huge pages, in bytes.
std::size_t largestHugePageRegion() {
    FILE* const smaps = std::fopen("/proc/self/smaps", "r");
    if (smaps == nullptr) {
        return 0;
    }
    std::size_t largest = 0;
    std::size_t size = 0;
    char line[512];
    while (std::fgets(line, sizeof line, smaps) != nullptr) {
        unsigned long long size_kib = 0;
        if (std::sscanf(line, "Size: %llu kB", &size_kib) == 1) {
            size = static_cast<std::size_t>(size_kib) * 1024;
        } else if (std::strncmp(line, "VmFlags:", 8) == 0 && std::strstr(line, " hg") != nullptr) {
            largest = std::max(largest, size);
        }
    }
    std::fclose(smaps);
    return largest;
}

// Runs prepareHeap(bytes) in a child; its exit code: 0 not prepared, 1 prepared with a huge-page
// region of at least `bytes` / 2, 2 prepared without one.
int prepareInChild(std::size_t bytes) {
    pid_t const child = ::fork();
    if (child == 0) {
        bool const prepared = prepareHeap(bytes);
        ::_exit(!prepared ? 0 : largestHugePageRegion() >= bytes / 2 ? 1 : 2);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Heap, ALargeRunGetsItsWholeHeapMarkedForHugePagesASmallOneIsLeftAlone) {
#if defined(__linux__) && defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__) && \
    !defined(__SANITIZE_THREAD__)
    int const whenLarge = 1;
#else
    int const whenLarge = 0;  // another allocator: the heap is left as it is
#endif
    struct Row {
        std::size_t bytes;
        int expected;
    };
    for (Row const row :
         {Row{0, 0}, Row{16 * kMiB, 0}, Row{96 * kMiB, whenLarge}, Row{256 * kMiB, whenLarge}}) {
        EXPECT_EQ(prepareInChild(row.bytes), row.expected) << row.bytes / kMiB << " MiB";
    }
}

TEST(Heap, TheBoundGrowsWithTheManifest) {
    EXPECT_LT(expectedHeapBytes(60 * 1000), 64 * kMiB) << "2,000 files are left alone";
    EXPECT_GE(expectedHeapBytes(3200 * 1000), 260 * kMiB) << "100,000 short entries are covered";
}

}  // namespace
}  // namespace Tiskel::ResourceSync
