// Named events as FIFOs in a runtime folder.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/event.h"
#include "platform/platform.h"
#include "platform/posix_error.h"

namespace platform {
namespace {

EventHandle failed(int code) {
  posix::fail(code);
  return kInvalidEvent;
}

std::string eventPath(const char* name) { return eventFolder() + "/" + name; }

// Creates the folder and the folders above it that are missing.
bool makeFolders(const std::string& folder) {
  for (size_t slash = folder.find('/', 1); ; slash = folder.find('/', slash + 1)) {
    std::string part = folder.substr(0, slash);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) return true;
  }
}

}  // namespace

std::string eventFolder() {
  const char* folder = std::getenv("QT_EVENT_DIR");
  if (folder != nullptr && folder[0] != '\0') return folder;
  return "/run/qtransfer/events";
}

EventHandle openEvent(const char* name) {
  if (!isValidEventName(name)) return failed(EINVAL);
  // Non-blocking: a FIFO that nobody reads gives ENXIO at once instead of waiting.
  int fd = open(eventPath(name).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return failed(errno);
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISFIFO(info.st_mode)) {
    close(fd);
    return failed(EINVAL);
  }
  return fd;
}

bool setEvent(EventHandle event) {
  if (event < 0) return posix::fail(EBADF);
  char signal = 1;
  ssize_t written = write(static_cast<int>(event), &signal, 1);
  // A full pipe means the event is set already and not yet seen.
  if (written == 1 || (written < 0 && errno == EAGAIN)) return true;
  return posix::failErrno();
}

EventHandle createEvent(const char* name) {
  if (!isValidEventName(name)) return failed(EINVAL);
  std::string folder = eventFolder();
  if (!makeFolders(folder)) return failed(errno);
  std::string path = eventPath(name);
  if (mkfifo(path.c_str(), 0600) != 0 && errno != EEXIST) return failed(errno);
  // Read and write: the offering side then always counts as a writer too, so that its wait
  // never sees an end of file, and as a reader, so that openEvent succeeds (Linux FIFOs).
  int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return failed(errno);
  return fd;
}

bool waitEvent(EventHandle event, int timeoutMs) {
  if (event < 0) return posix::fail(EBADF);
  pollfd watch{static_cast<int>(event), POLLIN, 0};
  int ready;
  do {
    ready = poll(&watch, 1, timeoutMs < 0 ? -1 : timeoutMs);
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) return ready < 0 ? posix::failErrno() : posix::fail(ETIMEDOUT);
  char drained[64];
  return read(static_cast<int>(event), drained, sizeof drained) > 0 || posix::failErrno();
}

bool removeEvent(const char* name) {
  if (!isValidEventName(name)) return posix::fail(EINVAL);
  return unlink(eventPath(name).c_str()) == 0 || posix::failErrno();
}

bool closeEvent(EventHandle event) {
  if (event < 0) return posix::fail(EBADF);
  return close(static_cast<int>(event)) == 0 || posix::failErrno();
}

}  // namespace platform
