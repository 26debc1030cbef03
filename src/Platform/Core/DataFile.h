#pragma once

#include <boost/intrusive_ptr.hpp>

#include "Platform/Core/IDataInput.h"
#include "Platform/Core/IDataOutput.h"
#include "Platform/Export.h"
#include "Platform/Filesystem/ioPath.h"

namespace Tiskel::Core {

// File streams over POSIX descriptors. The factories may be called from any thread; each stream
// they return is used by one thread at a time (it may be handed over), and its last reference
// closes the file on whichever thread drops it.
class TISKEL_EXPORT DataInputFile {
  public:
    // Opens an existing file for reading. Throws Tiskel::Exception carrying the system's error
    // text as ErrorDetails when the file cannot be opened.
    static boost::intrusive_ptr<IDataInput> Create(ioPath const& path);
};

class TISKEL_EXPORT DataOutputFile {
  public:
    // Creates a new, empty file (truncating an existing one). Throws Tiskel::Exception carrying
    // the system's error text as ErrorDetails when the file cannot be created.
    static boost::intrusive_ptr<IDataOutput> Create(ioPath const& path);
    // Opens the file at `path` for writing at its end, creating it when missing. Throws like
    // `Create`.
    static boost::intrusive_ptr<IDataOutput> Append(ioPath const& path);
};

}  // namespace Tiskel::Core
