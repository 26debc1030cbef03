#pragma once

// Marks what the platform libraries offer a host: the classes, interfaces and functions that
// stay visible when the libraries are linked into the shared library, which is otherwise built
// with hidden visibility. Interfaces carry the mark too, so that their type information and
// virtual tables are one and the same on both sides of the boundary (a dynamic_cast or a catch
// in the host then matches an object made inside the library).
#if defined(_WIN32)
#define TISKEL_EXPORT
#else
#define TISKEL_EXPORT __attribute__((visibility("default")))
#endif
