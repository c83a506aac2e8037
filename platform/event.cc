// What both systems' events share: the rules for names.
#include <cstring>

#include "platform/event.h"

namespace platform {

bool isValidEventName(const char* name) {
  if (name == nullptr || name[0] == '\0') return false;
  if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
  return std::strchr(name, '/') == nullptr && std::strlen(name) <= 200;
}

}  // namespace platform
