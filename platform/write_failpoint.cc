// The write failpoint, read once from the environment.
#include "platform/write_failpoint.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace platform::detail {

int writeFailpoint() {
  static const auto [failingCall, code] = [] {
    int call = 0;
    int error = 0;
    const char* text = std::getenv("QT_PLATFORM_FAILPOINTS");
    const char* entry = text == nullptr ? nullptr : std::strstr(text, "writeFile@");
    if (entry == nullptr || std::sscanf(entry, "writeFile@%d=%d", &call, &error) != 2) call = 0;
    return std::pair(call, error);
  }();
  static int calls = 0;
  return failingCall > 0 && ++calls == failingCall ? code : 0;
}

int everyCallFailpoint(const char* call) {
  const char* text = std::getenv("QT_PLATFORM_FAILPOINTS");
  const size_t length = std::strlen(call);
  for (const char* entry = text; entry != nullptr && *entry != '\0';) {
    int code = 0;
    if (std::strncmp(entry, call, length) == 0 && entry[length] == '=' &&
        std::sscanf(entry + length + 1, "%d", &code) == 1) {
      return code;
    }
    entry = std::strchr(entry, ',');
    if (entry != nullptr) ++entry;
  }
  return 0;
}

}  // namespace platform::detail
