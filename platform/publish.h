// Publishing files whole: a file is written under a private name beside its final one and
// appears under the final name in one step, so that nobody ever sees it half written. A small
// tag on the file says which delivery made it, so that a delivery repeated after a crash can
// tell that its file is already there.
#ifndef QT_PLATFORM_PUBLISH_H
#define QT_PLATFORM_PUBLISH_H

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace platform {

// What a path names, following symbolic links; a dangling link counts as missing.
enum class PathKind { kMissing, kRegularFile, kDirectory, kOther };
PathKind pathKind(const char* path);
// True when the caller may write the existing file `path`; false with the code otherwise.
bool isWritable(const char* path);
// Creates an empty file for writing under `path`, first removing any file or link of that
// name (the leftover of an attempt that never finished); never writes through a link.
FileHandle createFresh(const char* path);
// Gives `file` the permission bits of the file `path` (followed through links), so that a file
// that replaces another keeps its mode.
bool copyPermissions(const char* path, FileHandle file);
// Gives the file `from` the name `to` in one step, in the same folder. With `replace` an
// existing `to` (even a link) is replaced and whole until then; without it an existing `to` is
// never touched and the call fails with an isFileExists() code.
bool publishFile(const char* from, const char* to, bool replace);

// A named tag of a few bytes kept with a file (an extended attribute here). Tags are optional:
// readFileTag is false where a file has none or the file system keeps none.
bool setFileTag(FileHandle file, const char* name, const void* data, size_t size);
// Reads the tag of `path` itself (never through a link); *got receives its length.
bool readFileTag(const char* path, const char* name, void* data, size_t size, size_t* got);
// The size of the regular file `path` itself; false for anything else.
bool regularFileSize(const char* path, uint64_t* size);

}  // namespace platform

#endif  // QT_PLATFORM_PUBLISH_H
