// Process-wide services: working directory, sleeping, path forms.
#include <windows.h>

#include "platform/platform.h"
#include "platform/windows/windows_error.h"

namespace platform {

bool getCurrentDirectory(char* buf, size_t size) {
  if (buf == nullptr || size == 0) return windows::fail(ERROR_INSUFFICIENT_BUFFER);
  const DWORD length = GetCurrentDirectoryA(static_cast<DWORD>(size), buf);
  if (length == 0) {
    buf[0] = '\0';
    return windows::failLastError();
  }
  if (length >= size) {  // the size it would need: nothing was copied
    buf[0] = '\0';
    return windows::fail(ERROR_INSUFFICIENT_BUFFER);
  }
  return true;
}

void sleepMilliseconds(uint32_t ms) {
  Sleep(ms);
}

void sleepMicroseconds(uint32_t us) {
  // The system timer counts whole milliseconds: a shorter pause gives up the time slice.
  if (us < 1000) {
    SwitchToThread();
  } else {
    Sleep(us / 1000);
  }
}

void keepFreedMemory() {
  // The process heap already keeps freed blocks for the program's later use.
}

bool isAbsolutePath(const char* path) {
  if (path == nullptr) return false;
  const bool letter = (path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z');
  const bool unc = (path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/');
  return (letter && path[1] == ':') || unc;
}

char pathSeparator() {
  return '\\';
}

void toNativeSeparators(char* path) {
  for (char* c = path; *c != '\0'; ++c) {
    if (*c == '/') *c = '\\';
  }
}

bool namesForeignDrive(const char*) {
  return false;  // drive letters are this system's own
}

}  // namespace platform
