// Data files on Windows: file handles read and written at explicit offsets (OVERLAPPED on a
// synchronous handle), shared with other processes for reading, writing and deletion as
// descriptors are on Linux.
#include <windows.h>

#include <cerrno>

#include "platform/data_file.h"
#include "platform/write_failpoint.h"
#include "platform/windows/windows_error.h"

namespace platform {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE handleOf(intptr_t fd) {
  return reinterpret_cast<HANDLE>(fd);
}

intptr_t opened(HANDLE handle) {
  if (handle == INVALID_HANDLE_VALUE) {
    windows::failLastErrorAsErrno();
    return -1;
  }
  return reinterpret_cast<intptr_t>(handle);
}

OVERLAPPED at(int64_t offset) {
  OVERLAPPED position = {};
  position.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset) & 0xffffffffu);
  position.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
  return position;
}

DWORD chunk(size_t length) {
  constexpr size_t kLargest = 1u << 30;
  return static_cast<DWORD>(length < kLargest ? length : kLargest);
}

}  // namespace

bool DataFile::createNew(const std::string& path) {
  close();
  fd_ = opened(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  return isOpen();
}

bool DataFile::open(const std::string& path, bool write) {
  close();
  const DWORD access = write ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
  fd_ = opened(CreateFileA(path.c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
  return isOpen();
}

void DataFile::close() {
  if (isOpen()) CloseHandle(handleOf(fd_));
  fd_ = -1;
}

bool DataFile::writeAt(int64_t offset, const void* data, size_t length) {
  const char* p = static_cast<const char*>(data);
  while (length > 0) {
    OVERLAPPED position = at(offset);
    DWORD written = 0;
    if (!WriteFile(handleOf(fd_), p, chunk(length), &written, &position))
      return windows::failLastErrorAsErrno();
    if (written == 0) {
      SetLastError(ERROR_WRITE_FAULT);
      return windows::failLastErrorAsErrno();
    }
    p += written;
    offset += written;
    length -= written;
  }
  return true;
}

bool DataFile::readAt(int64_t offset, void* into, size_t length) const {
  char* p = static_cast<char*>(into);
  while (length > 0) {
    OVERLAPPED position = at(offset);
    DWORD got = 0;
    const bool read = ReadFile(handleOf(fd_), p, chunk(length), &got, &position);
    if (read ? got == 0 : GetLastError() == ERROR_HANDLE_EOF) {
      windows::fail(ERROR_HANDLE_EOF);  // the file ends before the bytes asked for
      errno = EIO;
      return false;
    }
    if (!read) return windows::failLastErrorAsErrno();
    p += got;
    offset += got;
    length -= got;
  }
  return true;
}

bool DataFile::syncData() {
  if (const int code = detail::everyCallFailpoint("syncData")) {
    errno = code;
    return false;
  }
  return FlushFileBuffers(handleOf(fd_)) || windows::failLastErrorAsErrno();
}

void DataFile::startWriteback(int64_t, int64_t) {
  // Windows has no call to start writing a range back without waiting for it.
}

int64_t DataFile::size() const {
  LARGE_INTEGER bytes;
  return GetFileSizeEx(handleOf(fd_), &bytes) ? static_cast<int64_t>(bytes.QuadPart) : -1;
}

bool DataFile::truncate(int64_t length) {
  FILE_END_OF_FILE_INFO end = {};
  end.EndOfFile.QuadPart = length;
  return SetFileInformationByHandle(handleOf(fd_), FileEndOfFileInfo, &end, sizeof end) ||
         windows::failLastErrorAsErrno();
}

bool DataFile::allocate(int64_t length) {
  // A file that ends further on owns its clusters (files are not sparse unless asked), and
  // lengthening it fails with ERROR_DISK_FULL when the volume has less free.
  return size() >= length || truncate(length);
}

int64_t freeSpace(const std::string& path) {
  ULARGE_INTEGER available;
  if (!GetDiskFreeSpaceExA(path.c_str(), &available, nullptr, nullptr)) {
    windows::failLastErrorAsErrno();
    return -1;
  }
  return static_cast<int64_t>(available.QuadPart);
}

bool syncFolder(const std::string&) {
  // Folder entries are the file system's own metadata, which NTFS logs before it reports a
  // create, rename or delete done; Windows has no call to force a folder.
  return true;
}

}  // namespace platform
