// The profile-string reader: Windows INI semantics for the keys the agents read.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "platform/posix_error.h"

namespace platform {
namespace {

std::string_view trimBlanks(std::string_view text) {
  const char* blanks = " \t";
  size_t first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

char lowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
  }
  return true;
}

std::string_view unquote(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

// The value of the first `key` line in a section named `section`, if any.
std::optional<std::string> findValue(std::ifstream& file, std::string_view section,
                                     std::string_view key) {
  std::string line;
  bool inSection = false;
  bool firstLine = true;
  while (std::getline(file, line)) {
    std::string_view view(line);
    if (firstLine && view.starts_with("\xEF\xBB\xBF")) view.remove_prefix(3);
    firstLine = false;
    if (!view.empty() && view.back() == '\r') view.remove_suffix(1);
    view = trimBlanks(view);
    if (view.empty() || view.front() == ';') continue;
    if (view.front() == '[') {
      size_t close = view.find(']');
      std::string_view name =
          view.substr(1, close == std::string_view::npos ? view.npos : close - 1);
      inSection = equalsIgnoringCase(trimBlanks(name), section);
      continue;
    }
    size_t equals = view.find('=');
    if (!inSection || equals == std::string_view::npos) continue;
    if (equalsIgnoringCase(trimBlanks(view.substr(0, equals)), key)) {
      return std::string(unquote(trimBlanks(view.substr(equals + 1))));
    }
  }
  return std::nullopt;
}

size_t copyCut(std::string_view value, char* out, size_t size) {
  if (out == nullptr || size == 0) return 0;
  size_t count = value.size() < size - 1 ? value.size() : size - 1;
  if (count > 0) std::memcpy(out, value.data(), count);
  out[count] = '\0';
  return count;
}

}  // namespace

size_t getProfileString(const char* section, const char* key, const char* defaultValue, char* out,
                        size_t size, const char* fileName) {
  std::string_view fallback(defaultValue != nullptr ? defaultValue : "");
  size_t end = fallback.find_last_not_of(' ');
  fallback = end == std::string_view::npos ? std::string_view() : fallback.substr(0, end + 1);
  if (section == nullptr || key == nullptr || fileName == nullptr) {
    return copyCut(fallback, out, size);
  }
  std::ifstream file(fileName);
  std::optional<std::string> value;
  if (file) value = findValue(file, trimBlanks(section), trimBlanks(key));
  return copyCut(value ? std::string_view(*value) : fallback, out, size);
}

bool canReadFile(const char* path) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return posix::failErrno();
  struct stat info {};
  const bool regular = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  const int code = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
  close(fd);
  return regular || posix::fail(code);
}

}  // namespace platform
