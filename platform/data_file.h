// Files of data that a store appends to and reads at known offsets, flushed when it chooses.
//
// A call that fails returns false and leaves the system's code in errno (see lastError()); on
// Windows errno holds the C library code that matches the Win32 one, which lastError() holds.
#ifndef QT_PLATFORM_DATA_FILE_H
#define QT_PLATFORM_DATA_FILE_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/folder.h"

namespace platform {

// One open data file; closed when the object ends. Not shared between threads.
class DataFile {
 public:
  DataFile() = default;
  ~DataFile() { close(); }
  DataFile(const DataFile&) = delete;
  DataFile& operator=(const DataFile&) = delete;
  DataFile(DataFile&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  DataFile& operator=(DataFile&& other) noexcept {
    if (this != &other) {
      close();
      fd_ = other.fd_;
      other.fd_ = -1;
    }
    return *this;
  }

  // Creates a new file (fails when one of that name exists) for reading and writing, with
  // the permissions the process's umask leaves of read and write for all.
  bool createNew(const std::string& path);
  // Opens an existing file; for reading only unless `write`.
  bool open(const std::string& path, bool write);
  // Opens (and with `create` makes) the file `name` of an open folder for reading and writing,
  // never through a link, and waits until the process holds it alone among those that open it
  // so: the lock goes with the close.
  bool openLocked(const Folder& folder, const std::string& name, bool create);
  // Writes through a descriptor (a Windows file handle) opened elsewhere: abandon() before the
  // object ends gives it back unclosed.
  static DataFile borrowing(intptr_t handle) {
    DataFile file;
    file.fd_ = handle;
    return file;
  }
  bool isOpen() const { return fd_ != -1; }
  void close();
  // Forgets the descriptor without closing it (a forked child's copy of its parent's file).
  void abandon() { fd_ = -1; }

  // Writes or reads exactly `length` bytes at `offset`; a read past the end fails (errno EIO).
  bool writeAt(int64_t offset, const void* data, size_t length);
  bool readAt(int64_t offset, void* into, size_t length) const;
  // Makes the file's data durable (not its name: see syncFolder).
  bool syncData();
  // Starts writing a range to disk without waiting, so that a later syncData has less left
  // to do; a hint that may do nothing.
  void startWriteback(int64_t offset, int64_t length);
  // Cuts the file to `length` bytes.
  bool truncate(int64_t length);
  // The size in bytes, or -1.
  int64_t size() const;
  // Makes the file take `length` bytes of disk now (blocks allocated, not holes), so that the
  // space is the file's until it is deleted. Fails with ENOSPC when the disk has less free.
  bool allocate(int64_t length);

 private:
  intptr_t fd_ = -1;  // a descriptor, or a Windows file handle
};

// The bytes that an unprivileged process may still write on the file system of `path`, or -1.
int64_t freeSpace(const std::string& path);

// Makes the names in a folder durable (after a file was created, renamed or deleted there).
bool syncFolder(const std::string& path);

}  // namespace platform

#endif  // QT_PLATFORM_DATA_FILE_H
