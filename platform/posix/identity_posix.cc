// File identities from the file's status: device, inode, size and modification time.
#include "platform/identity.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "platform/folder.h"
#include "platform/posix_error.h"

namespace platform {
namespace {

FileVersion identityOf(const struct stat& info) {
  return FileVersion{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino),
                      static_cast<uint64_t>(info.st_size),
                      static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 +
                          info.st_mtim.tv_nsec};
}

}  // namespace

bool identityOfFile(FileHandle file, FileVersion* identity) {
  struct stat info;
  if (fstat(static_cast<int>(file), &info) != 0) return posix::failErrno();
  *identity = identityOf(info);
  return true;
}

bool identityOfPath(const char* path, FileVersion* identity) {
  struct stat info;
  if (lstat(path, &info) != 0) return posix::failErrno();
  if (!S_ISREG(info.st_mode)) return posix::fail(EINVAL);
  *identity = identityOf(info);
  return true;
}

bool versionOf(const Folder& folder, const char* name, FileVersion* version) {
  struct stat info;
  if (fstatat(static_cast<int>(folder.handle()), name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
    return posix::failErrno();
  }
  if (!S_ISREG(info.st_mode)) return posix::fail(EINVAL);
  *version = identityOf(info);
  return true;
}

}  // namespace platform
