// Publishing files whole: private names, renames that replace or never do, and file tags, all
// relative to a folder held open.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix_error.h"
#include "platform/publish.h"
#include "platform/write_failpoint.h"

namespace platform {
namespace {

int folderFd(const Folder& folder) {
  return static_cast<int>(folder.handle());
}

// Where renameat2 cannot refuse to replace (older kernels, some file systems), link() can:
// it fails when the name exists. The private name then goes separately.
bool linkThenUnlink(int dirFd, const char* from, const char* to) {
  if (linkat(dirFd, from, dirFd, to, 0) != 0) return posix::failErrno();
  unlinkat(dirFd, from, 0);  // a leftover private name is removed when the delivery comes again
  return true;
}

// The regular file `name` itself, opened for reading its tag; never a link, FIFO or device.
int openRegularFile(const Folder& folder, const char* name) {
  int fd =
      openat(folderFd(folder), name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    posix::failErrno();
    return -1;
  }
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    posix::fail(EINVAL);
    return -1;
  }
  return fd;
}

}  // namespace

PathKind pathKind(const Folder& folder, const char* name) {
  struct stat info;
  if (fstatat(folderFd(folder), name, &info, 0) != 0) return PathKind::kMissing;
  if (S_ISREG(info.st_mode)) return PathKind::kRegularFile;
  if (S_ISDIR(info.st_mode)) return PathKind::kDirectory;
  return PathKind::kOther;
}

bool isWritable(const Folder& folder, const char* name) {
  if (faccessat(folderFd(folder), name, W_OK, AT_EACCESS) != 0) return posix::failErrno();
  return true;
}

FileHandle createFresh(const Folder& folder, const char* name) {
  if (unlinkat(folderFd(folder), name, 0) != 0 && errno != ENOENT) {
    posix::failErrno();
    return kInvalidFile;
  }
  int fd = openat(folderFd(folder), name,
                  O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0666);
  if (fd < 0) {
    posix::failErrno();
    return kInvalidFile;
  }
  return fd;
}

bool copyPermissions(const Folder& folder, const char* name, FileHandle file) {
  struct stat info;
  if (fstatat(folderFd(folder), name, &info, 0) != 0) return posix::failErrno();
  if (fchmod(static_cast<int>(file), info.st_mode & 07777) != 0) return posix::failErrno();
  return true;
}

bool publishFile(const Folder& folder, const char* from, const char* to, bool replace) {
  const int dirFd = folderFd(folder);
  if (replace) {
    if (renameat(dirFd, from, dirFd, to) != 0) return posix::failErrno();
    return true;
  }
  if (renameat2(dirFd, from, dirFd, to, RENAME_NOREPLACE) == 0) return true;
  if (errno == EINVAL || errno == ENOSYS) return linkThenUnlink(dirFd, from, to);
  return posix::failErrno();
}

bool setFileTag(FileHandle file, const char* name, const void* data, size_t size) {
  if (const int code = detail::everyCallFailpoint("setFileTag")) return posix::fail(code);
  char attribute[128];
  snprintf(attribute, sizeof attribute, "user.%s", name);
  if (fsetxattr(static_cast<int>(file), attribute, data, size, 0) != 0) {
    return posix::failErrno();
  }
  return true;
}

bool readFileTag(const Folder& folder, const char* name, const char* tag, void* data, size_t size,
                 size_t* got) {
  int fd = openRegularFile(folder, name);
  if (fd < 0) return false;
  char attribute[128];
  snprintf(attribute, sizeof attribute, "user.%s", tag);
  ssize_t length = fgetxattr(fd, attribute, data, size);
  int code = errno;
  close(fd);
  if (length < 0) return posix::fail(code);
  *got = static_cast<size_t>(length);
  return true;
}

}  // namespace platform
