// The identity of a file: which file a name stands for and whether it changed, so that a
// program can tell a file it handled before from a new file under the same name.
#ifndef QT_PLATFORM_IDENTITY_H
#define QT_PLATFORM_IDENTITY_H

#include <cstdint>

#include "platform/platform.h"

namespace platform {

struct FileVersion {
  uint64_t device;
  uint64_t inode;
  uint64_t size;
  int64_t modifiedNs;  // last modification, nanoseconds since the epoch
  bool operator==(const FileVersion&) const = default;
};
// The identity of an open file.
bool identityOfFile(FileHandle file, FileVersion* identity);
// The identity of the regular file `path` itself (a link is never followed); false for
// anything else, with the error code set.
bool identityOfPath(const char* path, FileVersion* identity);

}  // namespace platform

#endif  // QT_PLATFORM_IDENTITY_H
