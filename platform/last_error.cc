// The last system error of the calling thread, as both systems' error modules record it.
#include "platform/platform.h"

namespace platform {
namespace {

// Kept apart from errno and GetLastError(): stream output or library calls between a failure
// and its report may change those.
thread_local int lastErrorCode = 0;

}  // namespace

int lastError() {
  return lastErrorCode;
}

void setLastError(int code) {
  lastErrorCode = code;
}

}  // namespace platform
