#pragma once

#include <cstdlib>
#include <dirent.h>
#include <string>
#include <unistd.h>

namespace Tiskel::Test {

// The number of a descriptor this process holds open on `path` (an absolute path, as the
// kernel shows it in /proc/self/fd), or -1 when there is none. For tests that make a stream's
// file fail under it: replace the descriptor with one of /dev/full, or close it.
inline int openDescriptorOf(std::string const& path) {
    int found = -1;
    DIR* const descriptors = ::opendir("/proc/self/fd");
    if (descriptors == nullptr) {
        return found;
    }
    while (dirent const* entry = ::readdir(descriptors)) {
        char target[4096];
        std::string const link = std::string("/proc/self/fd/") + entry->d_name;
        ssize_t const length = ::readlink(link.c_str(), target, sizeof target);
        if (length > 0 && std::string(target, static_cast<size_t>(length)) == path) {
            found = std::atoi(entry->d_name);
        }
    }
    ::closedir(descriptors);
    return found;
}

}  // namespace Tiskel::Test
