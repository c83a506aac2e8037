// Debug messages: our own formatting, because the message texts pair "%ld" with a 32-bit
// value, which the C library's printf may not be given on systems whose long is 64 bits.
#include "service_host/debug_out.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace {

std::atomic<DebugSink> debugSink{nullptr};

}  // namespace

std::string FormatDebugMessage(const char* format, uint32_t value) {
  std::string text;
  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%') {
      text.push_back(*p);
      continue;
    }
    const char* conversion = p + 1;
    if (*conversion == 'l') ++conversion;
    char number[16];
    switch (*conversion) {
      case 'd':
      case 'i':
        std::snprintf(number, sizeof number, "%d", static_cast<int32_t>(value));
        break;
      case 'u': std::snprintf(number, sizeof number, "%u", value); break;
      case 'x': std::snprintf(number, sizeof number, "%x", value); break;
      case 'X': std::snprintf(number, sizeof number, "%X", value); break;
      case '%':
        if (conversion == p + 1) {
          text.push_back('%');
          ++p;
          continue;
        }
        [[fallthrough]];
      default: text.push_back('%'); continue;
    }
    text += number;
    p = conversion;
  }
  return text;
}

void SvcDebugOut(const char* format, uint32_t value) {
  DebugSink sink = debugSink.load();
  if (sink != nullptr && format != nullptr) sink(FormatDebugMessage(format, value).c_str());
}

void SetDebugOutSink(DebugSink sink) { debugSink = sink; }

void DebugOutToStandardError(const char* text) {
  std::fputs(text, stderr);
  std::fflush(stderr);
}

bool DebugSwitchOn(const char* value) {
  return value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0;
}
