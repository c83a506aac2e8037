// Publishing files whole: private names, renames that replace or never do, and file tags.
#include "platform/publish.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix_error.h"

namespace platform {
namespace {

// Where renameat2 cannot refuse to replace (older kernels, some file systems), link() can:
// it fails when the name exists. The private name then goes separately.
bool linkThenUnlink(const char* from, const char* to) {
  if (link(from, to) != 0) return posix::failErrno();
  unlink(from);  // a leftover private name is removed when the delivery comes again
  return true;
}

}  // namespace

PathKind pathKind(const char* path) {
  struct stat info;
  if (stat(path, &info) != 0) return PathKind::kMissing;
  if (S_ISREG(info.st_mode)) return PathKind::kRegularFile;
  if (S_ISDIR(info.st_mode)) return PathKind::kDirectory;
  return PathKind::kOther;
}

bool isWritable(const char* path) {
  if (faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) != 0) return posix::failErrno();
  return true;
}

FileHandle createFresh(const char* path) {
  if (unlink(path) != 0 && errno != ENOENT) {
    posix::failErrno();
    return kInvalidFile;
  }
  int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0666);
  if (fd < 0) {
    posix::failErrno();
    return kInvalidFile;
  }
  return fd;
}

bool copyPermissions(const char* path, FileHandle file) {
  struct stat info;
  if (stat(path, &info) != 0) return posix::failErrno();
  if (fchmod(static_cast<int>(file), info.st_mode & 07777) != 0) return posix::failErrno();
  return true;
}

bool publishFile(const char* from, const char* to, bool replace) {
  if (replace) {
    if (rename(from, to) != 0) return posix::failErrno();
    return true;
  }
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
  if (errno == EINVAL || errno == ENOSYS) return linkThenUnlink(from, to);
  return posix::failErrno();
}

bool setFileTag(FileHandle file, const char* name, const void* data, size_t size) {
  char attribute[128];
  snprintf(attribute, sizeof attribute, "user.%s", name);
  if (fsetxattr(static_cast<int>(file), attribute, data, size, 0) != 0) {
    return posix::failErrno();
  }
  return true;
}

bool readFileTag(const char* path, const char* name, void* data, size_t size, size_t* got) {
  char attribute[128];
  snprintf(attribute, sizeof attribute, "user.%s", name);
  ssize_t length = lgetxattr(path, attribute, data, size);
  if (length < 0) return posix::failErrno();
  *got = static_cast<size_t>(length);
  return true;
}

bool regularFileSize(const char* path, uint64_t* size) {
  struct stat info;
  if (lstat(path, &info) != 0) return posix::failErrno();
  if (!S_ISREG(info.st_mode)) return posix::fail(EINVAL);
  *size = static_cast<uint64_t>(info.st_size);
  return true;
}

}  // namespace platform
