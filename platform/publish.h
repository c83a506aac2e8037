// Publishing files whole: a file is written under a private name beside its final one and
// appears under the final name in one step, so that nobody ever sees it half written. A small
// tag on the file says which delivery made it, so that a delivery repeated after a crash can
// tell that its file is already there.
//
// Every call works on a name in a folder held open (see folder.h), never on a path again.
#ifndef QT_PLATFORM_PUBLISH_H
#define QT_PLATFORM_PUBLISH_H

#include <cstddef>
#include <cstdint>

#include "platform/folder.h"
#include "platform/platform.h"

namespace platform {

// What a name of the folder is, following symbolic links; a dangling link counts as missing.
enum class PathKind { kMissing, kRegularFile, kDirectory, kOther };
PathKind pathKind(const Folder& folder, const char* name);
// True when the caller may write the existing file `name`; false with the code otherwise.
bool isWritable(const Folder& folder, const char* name);
// Creates an empty file for writing under `name`, first removing any file or link of that
// name (the leftover of an attempt that never finished); never writes through a link.
FileHandle createFresh(const Folder& folder, const char* name);
// Gives `file` the permission bits of the file `name` (followed through links), so that a file
// that replaces another keeps its mode.
bool copyPermissions(const Folder& folder, const char* name, FileHandle file);
// Gives the file `from` the name `to` in one step. With `replace` an existing `to` (even a
// link) is replaced and whole until then; without it an existing `to` is never touched and the
// call fails with an isFileExists() code.
bool publishFile(const Folder& folder, const char* from, const char* to, bool replace);

// A named tag of a few bytes kept with a file (an extended attribute here). Tags are optional:
// readFileTag is false where a file has none or the file system keeps none.
bool setFileTag(FileHandle file, const char* name, const void* data, size_t size);
// Reads the tag of the regular file `name` itself (never through a link); *got receives its
// length.
bool readFileTag(const Folder& folder, const char* name, const char* tag, void* data,
                 size_t size, size_t* got);

}  // namespace platform

#endif  // QT_PLATFORM_PUBLISH_H
