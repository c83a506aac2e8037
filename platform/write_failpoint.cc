// The write failpoint, read once from the environment.
#include "platform/write_failpoint.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace platform::detail {

int writeFailpoint() {
  static const auto [failingCall, code] = [] {
    int call = 0;
    int error = 0;
    const char* text = std::getenv("QT_PLATFORM_FAILPOINTS");
    if (text == nullptr || std::sscanf(text, "writeFile@%d=%d", &call, &error) != 2) call = 0;
    return std::pair(call, error);
  }();
  static int calls = 0;
  return failingCall > 0 && ++calls == failingCall ? code : 0;
}

}  // namespace platform::detail
