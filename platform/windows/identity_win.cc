// File identities on Windows: volume serial number, file index, size and last write time.
#include <windows.h>

#include "platform/identity.h"
#include "platform/windows/windows_error.h"

namespace platform {
namespace {

// 100-nanosecond ticks from 1601 to 1970.
constexpr int64_t kUnixEpochTicks = 116444736000000000LL;

bool identityOf(HANDLE file, FileVersion* identity, bool regularOnly) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) return windows::failLastError();
  const int64_t written = static_cast<int64_t>(
      (static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
      info.ftLastWriteTime.dwLowDateTime);
  *identity = FileVersion{info.dwVolumeSerialNumber,
                          (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow,
                          (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow,
                          (written - kUnixEpochTicks) * 100};
  if (regularOnly &&
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
    return windows::fail(ERROR_INVALID_PARAMETER);  // not a regular file
  return true;
}

}  // namespace

bool identityOfFile(FileHandle file, FileVersion* identity) {
  return identityOf(reinterpret_cast<HANDLE>(file), identity, false);
}

bool identityOfPath(const char* path, FileVersion* identity) {
  // No access asked, and a link is opened itself, never followed.
  HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return windows::failLastError();
  const bool known = identityOf(file, identity, true);
  CloseHandle(file);
  return known;
}

}  // namespace platform
