#pragma once

// Marks the classes and functions that form the shared library's boundary. Everything else is
// built with hidden visibility.
#if defined(_WIN32)
#define RDM_EXPORT
#else
#define RDM_EXPORT __attribute__((visibility("default")))
#endif
