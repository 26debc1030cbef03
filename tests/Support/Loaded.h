#pragma once

#include <dlfcn.h>

namespace Tiskel::Test {

// True when the library or module `name` (a file name or a path) is loaded in this process.
// Loads nothing.
inline bool isLoadedInThisProcess(char const* name) {
    void* const handle = ::dlopen(name, RTLD_NOW | RTLD_NOLOAD);
    if (handle != nullptr) {
        ::dlclose(handle);  // drops only the reference NOLOAD took
    }
    return handle != nullptr;
}

}  // namespace Tiskel::Test
