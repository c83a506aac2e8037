// Error codes and texts: errno values and the C library's messages.
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/posix_error.h"

namespace platform {

int recordSystemError() {
  posix::failErrno();
  return lastError();
}

std::string errorText(int code) {
  // strerrordesc_np knows no "Unknown error N" stand-in: a code without text gives null.
  const char* text = strerrordesc_np(code);
  if (text == nullptr || code == 0) return std::string();
  std::string line(text);
  line.push_back('\n');
  return line;
}

bool isAlreadyExists(int code) {
  return code == EEXIST;
}

bool isFileExists(int code) {
  return code == EEXIST;
}

bool isNotFound(int code) {
  return code == ENOENT;
}

namespace posix {

bool fail(int code) {
  setLastError(code != 0 ? code : EIO);
  return false;
}

bool failErrno() {
  return fail(errno);
}

}  // namespace posix
}  // namespace platform
