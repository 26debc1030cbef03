#include "Heap.h"

#if defined(__linux__) && defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__) && \
    !defined(__SANITIZE_THREAD__)
#define RDM_PREPARE_HEAP 1
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace Tiskel::ResourceSync {

std::size_t expectedHeapBytes(std::size_t manifestBytes) {
    constexpr std::size_t kShortestEntry = 25;
    constexpr std::size_t kPerFile = 3 * 1024;
    return manifestBytes / kShortestEntry * kPerFile;
}

#if defined(RDM_PREPARE_HEAP)

namespace {

constexpr std::size_t kMinimum = std::size_t{64} << 20;
constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
// glibc's largest threshold for serving a request with its own mapping instead of the heap.
constexpr int kLargestMmapThreshold = 32 << 20;
// glibc's default padding of a heap extension.
constexpr int kDefaultTopPad = 128 << 10;

}  // namespace

bool prepareHeap(std::size_t bytes) {
    // Never more than half the machine's memory: an extension the kernel refuses helps nobody.
    long const pages = ::sysconf(_SC_PHYS_PAGES);
    long const pageSize = ::sysconf(_SC_PAGESIZE);
    if (pages > 0 && pageSize > 0) {
        bytes = std::min(bytes,
                         static_cast<std::size_t>(pages) * static_cast<std::size_t>(pageSize) / 2);
    }
    if (bytes < kMinimum) {
        return false;
    }
    // Freed memory stays in the heap, and large requests (the big tables of a large run) come
    // from it too, so that they also land in the huge pages.
    if (mallopt(M_TRIM_THRESHOLD, static_cast<int>(std::min<std::size_t>(bytes * 2, INT32_MAX))) ==
            0 ||
        mallopt(M_MMAP_THRESHOLD, kLargestMmapThreshold) == 0) {
        return false;
    }
    // One request larger than all the free memory of the heap makes malloc extend the heap, by
    // the request plus the padding: the whole expected size at once.
    struct mallinfo2 const info = mallinfo2();
    std::size_t const request = info.fordblks + 64;
    if (request >= static_cast<std::size_t>(kLargestMmapThreshold) ||
        mallopt(M_TOP_PAD, static_cast<int>(std::min<std::size_t>(bytes, INT32_MAX))) == 0) {
        return false;
    }
    void* const grown = std::malloc(request);
    mallopt(M_TOP_PAD, kDefaultTopPad);
    if (grown == nullptr) {
        return false;
    }
    std::uintptr_t const start =
        (reinterpret_cast<std::uintptr_t>(grown) + request + kHugePage - 1) & ~(kHugePage - 1);
    std::free(grown);
    std::uintptr_t const end = reinterpret_cast<std::uintptr_t>(::sbrk(0)) & ~(kHugePage - 1);
    if (end <= start) {
        return false;
    }
    return ::madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE) == 0;
}

#else

bool prepareHeap(std::size_t) {
    return false;
}

#endif

}  // namespace Tiskel::ResourceSync
