// The expansion of path templates and the version names of NEWVERS deliveries.
#include "delivery_agent/target_path.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {

// "%Y%j%m%d%w%H%M%S" then the counter: the offsets of each item's digits.
constexpr size_t kYearAt = 0, kDayOfYearAt = 4, kMonthAt = 7, kDayAt = 9, kHourAt = 12,
                 kMinuteAt = 14, kSecondAt = 16, kCounterAt = 18, kStampLength = 20;

char stamp[kStampLength + 1];
time_t stampSecond = -1;

bool isSeparator(char c) { return c == '\\' || c == '/'; }

// Appends to the output while it has room; remembers when something did not fit.
struct PathWriter {
  char* out;
  size_t length = 0;
  bool fits = true;
  bool usedTime = false;  // a stamp item was expanded

  void put(const char* text, size_t count) {
    for (size_t i = 0; i < count; ++i) {
      if (length + 1 >= kTargetPathSize) {
        fits = false;
        return;
      }
      out[length++] = text[i];
    }
  }
};

// The last component of Src_path: what follows its last separator, when that separator is
// not its first character; else nothing.
void putOldName(PathWriter& writer, const TGTDESC& header) {
  const char* source = header.Src_path.data();
  size_t length = header.Src_path.textLength();
  for (size_t i = length; i > 1; --i) {
    if (isSeparator(source[i - 1])) {
      writer.put(source + i, length - i);
      return;
    }
  }
}

bool startsWith(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// The stamp items: their name in the template and their digits in the stamp.
struct StampItem {
  const char* name;
  size_t offset;
  size_t digits;
};
constexpr StampItem kStampItems[] = {
    {"YYYY", kYearAt, 4},   {"UUU", kDayOfYearAt, 3}, {"MM", kMonthAt, 2},
    {"DD", kDayAt, 2},      {"hh", kHourAt, 2},       {"mm", kMinuteAt, 2},
    {"ss", kSecondAt, 2},   {"tt", kCounterAt, 2},
};

// Emits the item at *position and moves over it; every character that starts no item vanishes.
void expandItem(const char*& position, PathWriter& writer, const TGTDESC& header) {
  if (startsWith(position, "new(")) {
    position += 4;
    const char* end = position;
    while (*end != '\0' && *end != ')') ++end;
    writer.put(position, static_cast<size_t>(end - position));
    position = *end == ')' ? end + 1 : end;
    return;
  }
  if (startsWith(position, "old")) {
    putOldName(writer, header);
    position += 3;
    return;
  }
  for (const StampItem& item : kStampItems) {
    if (startsWith(position, item.name)) {
      writer.put(stamp + item.offset, item.digits);
      writer.usedTime = true;
      position += std::strlen(item.name);
      return;
    }
  }
  position += startsWith(position, "NDS") ? 3 : 1;
}

}  // namespace

const char* NameStamp() { return stamp; }

void ResetNameStamp() {
  stampSecond = -1;
  std::memset(stamp, 0, sizeof stamp);
}

void AdvanceNameStamp(time_t now) {
  if (now != stampSecond) {
    struct tm local;
    std::memset(&local, 0, sizeof local);
    if (const struct tm* converted = std::localtime(&now)) local = *converted;
    std::strftime(stamp, sizeof stamp, "%Y%j%m%d%w%H%M%S00", &local);
    stampSecond = now;
    return;
  }
  char& tens = stamp[kCounterAt];
  char& units = stamp[kCounterAt + 1];
  if (units != '9') {
    ++units;
    return;
  }
  units = '0';
  tens = tens == '9' ? '0' : static_cast<char>(tens + 1);
}

bool ExpandTargetPathAt(const char* pathTemplate, char* out, const TGTDESC& header,
                        time_t now) {
  std::memset(out, 0, kTargetPathSize);
  AdvanceNameStamp(now);
  PathWriter writer{out};
  const char* position = pathTemplate;
  while (*position != '\0') expandItem(position, writer, header);
  platform::toNativeSeparators(out);  // templates come from Windows peers too
  return writer.fits;
}

bool ExpandTargetPath(const char* pathTemplate, char* out, const TGTDESC& header) {
  return ExpandTargetPathAt(pathTemplate, out, header, std::time(nullptr));
}

bool TemplateUsesTime(const char* pathTemplate, const TGTDESC& header) {
  char scratch[kTargetPathSize];
  PathWriter writer{scratch};
  const char* position = pathTemplate;
  while (*position != '\0') expandItem(position, writer, header);
  return writer.usedTime;
}

void MakeVersionPattern(const char* path, VersionPattern& pattern) {
  size_t length = std::strlen(path);
  pattern.directoryLength = 0;
  for (size_t i = length; i > 1; --i) {
    if (isSeparator(path[i - 1])) {
      pattern.directoryLength = i;
      break;
    }
  }
  const char* base = path + pattern.directoryLength;
  const char* dot = std::strrchr(base, '.');
  pattern.hasExtension = dot != nullptr && dot != base;
  size_t stemLength = pattern.hasExtension ? static_cast<size_t>(dot - base) : std::strlen(base);
  std::snprintf(pattern.stem, sizeof pattern.stem, "%.*s", static_cast<int>(stemLength), base);
  std::snprintf(pattern.extension, sizeof pattern.extension, "%s",
                pattern.hasExtension ? dot + 1 : "");
  if (pattern.hasExtension) {
    std::snprintf(pattern.text, sizeof pattern.text, "%s_%%d.%s", pattern.stem,
                  pattern.extension);
  } else {
    std::snprintf(pattern.text, sizeof pattern.text, "%s_%%d", pattern.stem);
  }
}

bool MakeVersionPath(const char* path, const VersionPattern& pattern, unsigned counter,
                     char* out) {
  char candidate[kTargetPathSize];
  int length = std::snprintf(candidate, sizeof candidate, "%.*s%s_%u%s%s",
                             static_cast<int>(pattern.directoryLength), path, pattern.stem,
                             counter, pattern.hasExtension ? "." : "", pattern.extension);
  if (length < 0 || static_cast<size_t>(length) >= sizeof candidate) return false;
  std::memcpy(out, candidate, static_cast<size_t>(length) + 1);
  return true;
}
