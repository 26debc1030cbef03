#pragma once

#include <string>

#include "Platform/Filesystem/ioPath.h"

namespace Tiskel::Test {

// A fresh directory under the system's temporary directory, removed with everything in it when
// the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(TempDir const&) = delete;
    TempDir& operator=(TempDir const&) = delete;

    std::string const& path() const { return root; }
    // `path()` joined with `relative`.
    std::string file(std::string const& relative) const;
    ioPath ioFile(std::string const& relative) const { return ioPath(file(relative)); }

    // Writes `content` to `relative` (creating parent folders); returns the full path.
    std::string write(std::string const& relative, std::string const& content) const;
    // The whole content of a file; throws std::runtime_error when it cannot be read.
    static std::string read(std::string const& path);

  private:
    std::string root;
};

}  // namespace Tiskel::Test
