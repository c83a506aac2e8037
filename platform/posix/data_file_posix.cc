#include <fcntl.h>  // sync_file_range with _GNU_SOURCE, which g++ defines
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>

#include "platform/data_file.h"
#include "platform/write_failpoint.h"

namespace platform {

bool DataFile::createNew(const std::string& path) {
  close();
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  return fd_ >= 0;
}

bool DataFile::open(const std::string& path, bool write) {
  close();
  fd_ = ::open(path.c_str(), (write ? O_RDWR : O_RDONLY) | O_CLOEXEC);
  return fd_ >= 0;
}

bool DataFile::openLocked(const Folder& folder, const std::string& name, bool create) {
  close();
  const int flags = O_RDWR | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC | (create ? O_CREAT : 0);
  fd_ = ::openat(static_cast<int>(folder.handle()), name.c_str(), flags, 0666);
  if (fd_ < 0) return false;
  int rc;
  do rc = ::flock(fd_, LOCK_EX);
  while (rc != 0 && errno == EINTR);
  if (rc == 0) return true;
  const int code = errno;
  close();
  errno = code;
  return false;
}

bool DataFile::truncate(int64_t length) {
  return ::ftruncate(fd_, static_cast<off_t>(length)) == 0;
}

void DataFile::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool DataFile::writeAt(int64_t offset, const void* data, size_t length) {
  const char* p = static_cast<const char*>(data);
  while (length > 0) {
    ssize_t n = ::pwrite(fd_, p, length, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    offset += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool DataFile::readAt(int64_t offset, void* into, size_t length) const {
  char* p = static_cast<char*>(into);
  while (length > 0) {
    ssize_t n = ::pread(fd_, p, length, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = EIO;  // the file ends before the bytes asked for
    if (n <= 0) return false;
    p += n;
    offset += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool DataFile::syncData() {
  if (const int code = detail::everyCallFailpoint("syncData")) {
    errno = code;
    return false;
  }
  int rc;
  do rc = ::fdatasync(fd_);
  while (rc != 0 && errno == EINTR);
  return rc == 0;
}

void DataFile::startWriteback(int64_t offset, int64_t length) {
#ifdef SYNC_FILE_RANGE_WRITE
  ::sync_file_range(fd_, offset, length, SYNC_FILE_RANGE_WRITE);
#else
  (void)offset;
  (void)length;
#endif
}

int64_t DataFile::size() const {
  struct stat st;
  return ::fstat(fd_, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

bool DataFile::allocate(int64_t length) {
  int rc = ::posix_fallocate(fd_, 0, static_cast<off_t>(length));
  if (rc == 0) return true;
  errno = rc;  // posix_fallocate returns its error instead of setting errno
  return false;
}

int64_t freeSpace(const std::string& path) {
  struct statvfs fs;
  if (::statvfs(path.c_str(), &fs) != 0) return -1;
  return static_cast<int64_t>(fs.f_bavail) * static_cast<int64_t>(fs.f_frsize);
}

bool syncFolder(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

}  // namespace platform
