#include "Support/OpenFiles.h"

#include <cstdlib>
#include <dirent.h>
#include <unistd.h>

namespace Tiskel::Test {

int openDescriptorOf(std::string const& path) {
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
