#pragma once

#include <string>

namespace Tiskel::Test {

// The number of a descriptor this process holds open on `path` (an absolute path, as the
// kernel shows it in /proc/self/fd), or -1 when there is none. For tests that make a stream's
// file fail under it: replace the descriptor with one of /dev/full, or close it.
int openDescriptorOf(std::string const& path);

}  // namespace Tiskel::Test
