#pragma once

#include <boost/intrusive_ptr.hpp>

#include "Platform/Core/IDataInput.h"
#include "Platform/Core/IDataOutput.h"
#include "Platform/Filesystem/ioPath.h"

namespace Tiskel::Core {

// File streams over POSIX descriptors.
class DataInputFile {
  public:
    // Opens an existing file for reading. Throws Tiskel::Exception carrying the system's error
    // text as ErrorDetails when the file cannot be opened.
    static boost::intrusive_ptr<IDataInput> Create(ioPath const& path);
};

class DataOutputFile {
  public:
    // Creates a new, empty file (truncating an existing one). Throws Tiskel::Exception carrying
    // the system's error text as ErrorDetails when the file cannot be created.
    static boost::intrusive_ptr<IDataOutput> Create(ioPath const& path);
};

}  // namespace Tiskel::Core
