#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <stdlib.h>
#include <string>
#include <system_error>

#include "Platform/Filesystem/ioPath.h"

namespace Tiskel::Test {

// A fresh directory under the system's temporary directory, removed with everything in it when
// the object goes.
class TempDir {
  public:
    TempDir() : root((std::filesystem::temp_directory_path() / "rdm-test-XXXXXX").string()) {
        if (mkdtemp(root.data()) == nullptr) {
            throw std::system_error(errno, std::generic_category(), "mkdtemp");
        }
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    TempDir(TempDir const&) = delete;
    TempDir& operator=(TempDir const&) = delete;

    std::string const& path() const { return root; }
    // `path()` joined with `relative`.
    std::string file(std::string const& relative) const { return root + "/" + relative; }
    ioPath ioFile(std::string const& relative) const { return ioPath(file(relative)); }

    // Writes `content` to `relative` (creating parent folders); returns the full path.
    std::string write(std::string const& relative, std::string const& content) const {
        std::string const full = file(relative);
        std::filesystem::create_directories(std::filesystem::path(full).parent_path());
        std::ofstream out(full, std::ios::binary | std::ios::trunc);
        out << content;
        if (!out) {
            throw std::runtime_error("cannot write " + full);
        }
        return full;
    }
    // The whole content of a file; throws std::runtime_error when it cannot be read.
    static std::string read(std::string const& path) {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            throw std::runtime_error("cannot read " + path);
        }
        std::ostringstream content;
        content << in.rdbuf();
        return content.str();
    }

  private:
    std::string root;
};

}  // namespace Tiskel::Test
