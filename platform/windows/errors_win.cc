// Error codes and texts: Win32 error codes and the system's FormatMessage texts.
#include <windows.h>

#include <cerrno>
#include <string>

#include "platform/platform.h"
#include "platform/windows/windows_error.h"

namespace platform {
namespace {

// The Win32 code that matches a C library errno, for failures of the standard library itself.
DWORD fromErrno(int code) {
  switch (code) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case EEXIST:
      return ERROR_FILE_EXISTS;
    case ENOSPC:
      return ERROR_DISK_FULL;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EMFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    default:
      return ERROR_IO_DEVICE;
  }
}

// The C library errno that matches a Win32 code.
int toErrno(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_HANDLE:
      return EINVAL;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_TOO_MANY_OPEN_FILES:
      return EMFILE;
    default:
      return EIO;
  }
}

}  // namespace

int recordSystemError() {
  windows::fail(fromErrno(errno));
  return lastError();
}

std::string errorText(int code) {
  if (code == 0) return std::string();
  char* text = nullptr;
  const DWORD flags =
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  const DWORD length = FormatMessageA(flags, nullptr, static_cast<DWORD>(code), 0,
                                      reinterpret_cast<char*>(&text), 0, nullptr);
  if (length == 0 || text == nullptr) return std::string();
  std::string line(text, length);
  LocalFree(text);
  // The system's texts end in CR LF; one that does not is given the same ending.
  if (line.empty() || line.back() != '\n') line += "\r\n";
  return line;
}

bool isAlreadyExists(int code) {
  return code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS;
}

bool isFileExists(int code) {
  return code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS;
}

bool isNotFound(int code) {
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

namespace windows {

bool fail(unsigned long code) {
  setLastError(code != 0 ? static_cast<int>(code) : ERROR_IO_DEVICE);
  return false;
}

bool failLastError() {
  return fail(GetLastError());
}

bool failLastErrorAsErrno() {
  const DWORD code = GetLastError();
  fail(code);
  errno = toErrno(code);
  return false;
}

}  // namespace windows
}  // namespace platform
