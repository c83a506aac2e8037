// Process-wide services: working directory, sleeping, path forms.
#include <malloc.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "platform/platform.h"
#include "platform/posix_error.h"

namespace platform {

bool getCurrentDirectory(char* buf, size_t size) {
  if (buf == nullptr || size == 0) return posix::fail(ERANGE);
  if (getcwd(buf, size) == nullptr) {
    buf[0] = '\0';
    return posix::failErrno();
  }
  return true;
}

void sleepMilliseconds(uint32_t ms) {
  timespec rest{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  // A signal must not cut the pause short: sleep on for what is left.
  while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
  }
}

void sleepMicroseconds(uint32_t us) {
  timespec pause{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000L};
  nanosleep(&pause, nullptr);
}

void keepFreedMemory() {
  // Fixed thresholds also stop the allocator from moving them by itself.
  mallopt(M_MMAP_THRESHOLD, 16 << 20);
  mallopt(M_TRIM_THRESHOLD, 64 << 20);
}

bool isAbsolutePath(const char* path) {
  return path != nullptr && path[0] == '/';
}

char pathSeparator() {
  return '/';
}

void toNativeSeparators(char* path) {
  for (char* c = path; *c != '\0'; ++c) {
    if (*c == '\\') *c = '/';
  }
}

bool namesForeignDrive(const char* path) {
  const bool letter = (path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z');
  if (!letter || path[1] != ':') return false;
  setLastError(ENOENT);
  return true;
}

}  // namespace platform
