#pragma once

// Internal to the library: not installed, not part of its boundary.

#include <glog/logging.h>

namespace Tiskel::App {

// True when glog keeps messages of `severity`. glog builds a message's prefix (the time with a
// time-zone lookup, the thread id) before it filters the message, so lines written once per file
// ask this first and cost nothing when the host has filtered their severity out.
inline bool isLogged(google::LogSeverity severity) {
    return severity >= FLAGS_minloglevel;
}

}  // namespace Tiskel::App
