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

// A file made without a name (Linux's O_TMPFILE) that gets one only when its writer says so: until
// then nobody sees it, and a process that ends first leaves nothing behind.
class TISKEL_EXPORT IUnnamedDataOutput : public IDataOutput {
  public:
    // Gives the file the name `path`, never replacing anything there. Works while the stream is
    // open (the writes go on into the named file) and after `close`, for as long as the stream
    // object lives; a named file may get a second name. 0, or the errno: EEXIST when `path` is
    // taken, EXDEV when it lies on another file system.
    virtual int link(ioPath const& path) noexcept = 0;
    // A path that reaches the file while the stream object lives (its descriptor under /proc),
    // for calls that take a path: times, extended attributes.
    virtual ioPath const& reachPath() const noexcept = 0;
};

class TISKEL_EXPORT DataOutputFile {
  public:
    // Creates a new, empty file (truncating an existing one). Throws Tiskel::Exception carrying
    // the system's error text as ErrorDetails when the file cannot be created.
    static boost::intrusive_ptr<IDataOutput> Create(ioPath const& path);
    // Opens the file at `path` for writing at its end, creating it when missing. Throws like
    // `Create`.
    static boost::intrusive_ptr<IDataOutput> Append(ioPath const& path);
    // Creates an empty unnamed file on the file system of `folder`. Null where the system or
    // that file system has no unnamed files, or the folder cannot take one: the caller then
    // makes a named file, whose failure says why.
    static boost::intrusive_ptr<IUnnamedDataOutput> CreateUnnamed(ioPath const& folder) noexcept;
};

}  // namespace Tiskel::Core
