// Files and directories: CreateFile with share modes, deletion, attributes.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <utility>

#include "platform/platform.h"
#include "platform/windows/windows_error.h"
#include "platform/write_failpoint.h"

namespace platform {
namespace {

HANDLE toHandle(FileHandle file) {
  return reinterpret_cast<HANDLE>(file);
}

FileHandle fromHandle(HANDLE handle) {
  if (handle == INVALID_HANDLE_VALUE) {
    windows::failLastError();
    return kInvalidFile;
  }
  return reinterpret_cast<FileHandle>(handle);
}

// The largest count one ReadFile or WriteFile call takes.
DWORD chunk(size_t size) {
  constexpr size_t kLargest = 1u << 30;
  return static_cast<DWORD>(size < kLargest ? size : kLargest);
}

}  // namespace

FileHandle openExclusiveForRead(const char* path) {
  // Share mode 0: refused with ERROR_SHARING_VIOLATION while another program has the file open,
  // and nobody else may open it while we hold it. A folder is refused (ERROR_ACCESS_DENIED).
  return fromHandle(CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

FileHandle createForWrite(const char* path, CreateMode mode) {
  const DWORD disposition = mode == CreateMode::kCreateNew ? CREATE_NEW : CREATE_ALWAYS;
  return fromHandle(CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, disposition,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool readFile(FileHandle file, void* buffer, size_t size, size_t* got) {
  // Fills the buffer unless the end of the file comes first, so that a file is cut into the
  // same pieces on every file system.
  size_t total = 0;
  char* bytes = static_cast<char*>(buffer);
  if (got != nullptr) *got = 0;
  while (total < size) {
    DWORD n = 0;
    if (!ReadFile(toHandle(file), bytes + total, chunk(size - total), &n, nullptr)) {
      return windows::failLastError();
    }
    if (n == 0) break;
    total += n;
  }
  if (got != nullptr) *got = total;
  return true;
}

bool writeFile(FileHandle file, const void* buffer, size_t size) {
  if (const int code = detail::writeFailpoint()) return windows::fail(static_cast<DWORD>(code));
  const char* bytes = static_cast<const char*>(buffer);
  while (size > 0) {
    DWORD n = 0;
    if (!WriteFile(toHandle(file), bytes, chunk(size), &n, nullptr)) {
      return windows::failLastError();
    }
    if (n == 0) return windows::fail(ERROR_WRITE_FAULT);
    bytes += n;
    size -= n;
  }
  return true;
}

bool flushFile(FileHandle file) {
  return FlushFileBuffers(toHandle(file)) || windows::failLastError();
}

bool closeFile(FileHandle file) {
  return CloseHandle(toHandle(file)) || windows::failLastError();
}

bool deleteFile(const char* path) {
  // DeleteFile takes files (and a link itself, never its target); a folder is refused.
  return DeleteFileA(path) || windows::failLastError();
}

bool renameFile(const char* from, const char* to) {
  return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) || windows::failLastError();
}

bool createDirectory(const char* path) {
  return CreateDirectoryA(path, nullptr) || windows::failLastError();
}

bool flushDirectory(const char* path) {
  // The file system journals its folder entries itself: the folder only has to exist.
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return windows::failLastError();
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || windows::fail(ERROR_DIRECTORY);
}

bool setReadOnly(const char* path, bool readOnly) {
  // The file itself, never what a link points at: a link is refused.
  DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return windows::failLastError();
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return windows::fail(ERROR_CANT_RESOLVE_FILENAME);
  attributes = readOnly ? (attributes | FILE_ATTRIBUTE_READONLY)
                        : (attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  if (attributes == 0) attributes = FILE_ATTRIBUTE_NORMAL;
  return SetFileAttributesA(path, attributes) || windows::failLastError();
}

}  // namespace platform
