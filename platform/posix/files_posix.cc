// Files and directories: exclusive reading, creation, writing, deletion, attributes.
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <utility>

#include "platform/data_file.h"
#include "platform/folder.h"
#include "platform/platform.h"
#include "platform/posix_error.h"
#include "platform/write_behind.h"
#include "platform/write_failpoint.h"

namespace platform {
namespace {

int toFd(FileHandle file) {
  return static_cast<int>(file);
}

FileHandle failOpen(int fd, int code) {
  if (fd >= 0) close(fd);
  posix::fail(code);
  return kInvalidFile;
}

// True when no other open file description of the file exists, as far as a lease can tell;
// also true where the file system grants no leases, leaving the decision to the flock.
// A lease-break signal is aimed at SIGURG, whose default action is to be ignored: the lease
// is dropped at once, but an opener arriving in between must not kill us with SIGIO.
bool nobodyElseHasItOpen(int fd, int* code) {
  if (fcntl(fd, F_SETSIG, SIGURG) != 0 || fcntl(fd, F_SETLEASE, F_WRLCK) != 0) {
    if (errno == EAGAIN || errno == EBUSY) {
      *code = EBUSY;
      return false;
    }
    return true;  // EINVAL (no leases here), EACCES (not the owner): the flock decides
  }
  fcntl(fd, F_SETLEASE, F_UNLCK);
  return true;
}

// Takes the freshly opened `fd` (or its failure) to an exclusively held regular file.
FileHandle holdExclusively(int fd) {
  if (fd < 0) return failOpen(fd, errno);
  struct stat info;
  if (fstat(fd, &info) != 0) return failOpen(fd, errno);
  if (!S_ISREG(info.st_mode)) return failOpen(fd, S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
  int code = 0;
  if (!nobodyElseHasItOpen(fd, &code)) return failOpen(fd, code);
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    return failOpen(fd, errno == EWOULDBLOCK ? EBUSY : errno);
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return failOpen(fd, errno);
  return fd;
}

// The new permission bits when the read-only attribute is set or cleared.
mode_t readOnlyMode(mode_t mode, bool readOnly) {
  mode &= 07777;
  return readOnly ? (mode & ~(S_IWUSR | S_IWGRP | S_IWOTH)) : (mode | S_IWUSR);
}

}  // namespace

FileHandle openExclusiveForRead(const char* path) {
  // O_NONBLOCK keeps a FIFO from blocking the open; it is refused below.
  return holdExclusively(open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
}

FileHandle openExclusiveForReadIn(const Folder& folder, const char* name) {
  const int dirFd = toFd(folder.handle());
  const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  if (!folder.confined()) return holdExclusively(openat(dirFd, name, flags));
  open_how how{};
  how.flags = flags;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  long fd = syscall(SYS_openat2, dirFd, name, &how, sizeof how);
  if (fd < 0 && (errno == ENOSYS || errno == E2BIG || errno == EPERM)) {
    fd = openat(dirFd, name, flags | O_NOFOLLOW);  // no openat2: no link at all
  }
  if (fd < 0 && (errno == EXDEV || errno == ELOOP)) return failOpen(-1, EXDEV);
  return holdExclusively(static_cast<int>(fd));
}

FileHandle createForWrite(const char* path, CreateMode mode) {
  int disposition = mode == CreateMode::kCreateNew ? O_EXCL : O_TRUNC;
  int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | disposition, 0666);
  if (fd < 0) return failOpen(fd, errno);
  return fd;
}

namespace {

// Writes the whole piece at the file's position. The pages of a large file go to the disk in
// steps as they fill by the thread below (WriteBehind), which writes every piece past the
// first MiB: a piece written here never needs that.
bool writeNow(FileHandle file, const void* buffer, size_t size) {
  const char* bytes = static_cast<const char*>(buffer);
  while (size > 0) {
    ssize_t n = write(toFd(file), bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return posix::failErrno();
    if (n == 0) return posix::fail(EIO);
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Past its first kDirectBytes, a file's pieces are written by a thread of their own, so that
// copying them into the file's pages overlaps the caller's next work (a delivery's next get);
// small files never wait for the thread. One file at a time: writing another file, or
// flushing, closing or reading this one, first waits until its bytes are in it and the file's
// position is where they end. A failed write is reported by the next call on the file.
class WritesBehind {
 public:
  ~WritesBehind() {
    if (owner_ == getpid()) {
      release(file_);
    } else {
      writer_.abandon();  // a forked child's copy
    }
    view_.abandon();
  }
  bool write(FileHandle file, const void* data, size_t size) {
    if (owner_ != getpid()) return writeNow(file, data, size);
    std::lock_guard<std::mutex> lock(mutex_);
    if (file != file_) {
      releaseLocked();
      file_ = file;
      written_ = 0;
    }
    written_ += static_cast<int64_t>(size);
    if (!view_.isOpen() && (written_ <= kDirectBytes || !startBehind()))
      return writeNow(file, data, size);
    if (!writer_.append(view_, end_, data, size)) return posix::failErrno();
    end_ += static_cast<int64_t>(size);
    return true;
  }
  // False (errno) when a write of the file failed.
  bool settle(FileHandle file) {
    std::lock_guard<std::mutex> lock(mutex_);
    return file != file_ || settleLocked();
  }
  // The same, and the file is forgotten: it is being closed.
  bool release(FileHandle file) {
    std::lock_guard<std::mutex> lock(mutex_);
    return file != file_ || releaseLocked();
  }

 private:
  static constexpr int64_t kDirectBytes = int64_t{1} << 20;

  bool startBehind() {
    end_ = lseek(toFd(file_), 0, SEEK_CUR);
    if (end_ < 0) return false;  // a pipe or a terminal: written at once
    view_ = DataFile::borrowing(file_);
    return true;
  }
  bool settleLocked() {
    if (!view_.isOpen()) return true;
    bool written = writer_.settle();
    int code = errno;
    lseek(toFd(file_), end_, SEEK_SET);
    return written || posix::fail(code);
  }
  bool releaseLocked() {
    bool written = settleLocked();
    writer_.forgetFailure();
    view_.abandon();
    file_ = kInvalidFile;
    return written;
  }

  std::mutex mutex_;
  FileHandle file_ = kInvalidFile;
  int64_t written_ = 0;  // bytes of file_ written so far
  int64_t end_ = 0;      // the offset of the next piece, once the thread writes them
  DataFile view_;        // file_, once the thread writes its pieces
  WriteBehind writer_;
  const pid_t owner_ = getpid();
};

WritesBehind& writesBehind() {
  static WritesBehind writes;
  return writes;
}

}  // namespace

bool readFile(FileHandle file, void* buffer, size_t size, size_t* got) {
  if (!writesBehind().settle(file)) return false;
  // Fills the buffer unless the end of the file comes first, so that a file is cut into the
  // same pieces on every file system.
  size_t total = 0;
  char* bytes = static_cast<char*>(buffer);
  if (got != nullptr) *got = 0;
  while (total < size) {
    ssize_t n = read(toFd(file), bytes + total, size - total);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return posix::failErrno();
    if (n == 0) break;
    total += static_cast<size_t>(n);
  }
  if (got != nullptr) *got = total;
  return true;
}

bool writeFile(FileHandle file, const void* buffer, size_t size) {
  if (const int code = detail::writeFailpoint()) return posix::fail(code);
  return writesBehind().write(file, buffer, size);
}

bool flushFile(FileHandle file) {
  if (!writesBehind().settle(file)) return false;
  if (fsync(toFd(file)) != 0) return posix::failErrno();
  return true;
}

bool closeFile(FileHandle file) {
  bool written = writesBehind().release(file);
  int code = errno;
  // On Linux the descriptor is gone even when close reports EINTR: never close twice.
  if (close(toFd(file)) != 0 && errno != EINTR) return posix::failErrno();
  return written || posix::fail(code);
}

bool isOutsideFolder(int code) {
  return code == EXDEV;
}

bool deleteFileIn(const Folder& folder, const char* name) {
  const int dirFd = toFd(folder.handle());
  struct stat info;
  if (fstatat(dirFd, name, &info, AT_SYMLINK_NOFOLLOW) != 0) return posix::failErrno();
  if (!S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode)) return posix::fail(EPERM);
  if (unlinkat(dirFd, name, 0) != 0) return posix::failErrno();
  return true;
}

bool deleteFile(const char* path) {
  // Only files are deleted: a path that names a device, FIFO or socket (a target template
  // may name /dev/full) must not lose its node. A symbolic link itself goes, never its target.
  struct stat info;
  if (lstat(path, &info) != 0) return posix::failErrno();
  if (!S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode)) return posix::fail(EPERM);
  if (unlink(path) != 0) return posix::failErrno();
  return true;
}

bool renameFile(const char* from, const char* to) {
  if (rename(from, to) != 0) return posix::failErrno();
  return true;
}

bool createDirectory(const char* path) {
  if (mkdir(path, 0777) != 0) return posix::failErrno();
  return true;
}

bool flushDirectory(const char* path) {
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return posix::failErrno();
  bool flushed = fsync(fd) == 0;
  int code = errno;
  close(fd);
  return flushed || posix::fail(code);
}

bool setReadOnly(const char* path, bool readOnly) {
  // The file itself, never what a link points at: a link fails with ELOOP.
  struct stat info;
  if (lstat(path, &info) != 0) return posix::failErrno();
  if (S_ISLNK(info.st_mode)) return posix::fail(ELOOP);
  if (fchmodat(AT_FDCWD, path, readOnlyMode(info.st_mode, readOnly), AT_SYMLINK_NOFOLLOW) != 0) {
    return posix::failErrno();
  }
  return true;
}

bool setReadOnlyIn(const Folder& folder, const char* name, bool readOnly) {
  // The mode is changed on the file opened without following a link, so that a link put in
  // its place meanwhile is never followed either.
  int fd = openat(toFd(folder.handle()), name,
                  O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return posix::failErrno();
  struct stat info;
  bool changed = fstat(fd, &info) == 0 && fchmod(fd, readOnlyMode(info.st_mode, readOnly)) == 0;
  int code = errno;
  close(fd);
  return changed || posix::fail(code);
}

}  // namespace platform
