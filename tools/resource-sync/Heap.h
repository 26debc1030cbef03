#pragma once

#include <cstddef>

namespace Tiskel::ResourceSync {

// Heap bytes a sync may need for a manifest of `manifestBytes`: a generous bound, from the
// shortest entry a manifest can have (about 25 bytes) and the heap a file costs (its record and
// paths, the parsed manifest, the library's item, per-file bundle and subscription: about
// 2.6 KiB measured with 100,000 files). Reserving too much costs address space, not memory.
std::size_t expectedHeapBytes(std::size_t manifestBytes);

// Prepares the heap for a run that will allocate about `bytes` in small pieces.
//
// Every piece of that memory is touched for the first time, and in 4 KiB pages the page faults
// are the largest cost of a check of many present files (about 14 us per page on a virtual
// machine; half of a 100,000-file run). For runs of 64 MiB and more, the heap is grown once to
// the expected size and the kernel is asked to back it with transparent huge pages, which it
// does where it allows them (Linux "madvise" or "always" mode); elsewhere nothing changes.
// Call it early, before the heap holds much: returns true when the heap was prepared. Builds
// with a sanitizer, whose allocator is not glibc's, never prepare.
bool prepareHeap(std::size_t bytes);

}  // namespace Tiskel::ResourceSync
