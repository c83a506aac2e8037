#include "mqi/store/names.h"

#include <algorithm>
#include <cstring>

namespace mqi {

std::string fieldText(const char* field, size_t width) {
  size_t n = 0;
  while (n < width && field[n] != '\0') ++n;
  while (n > 0 && field[n - 1] == ' ') --n;
  return std::string(field, n);
}

void setField(char* field, size_t width, const std::string& text) {
  size_t n = std::min(width, text.size());
  std::memcpy(field, text.data(), n);
  std::memset(field + n, ' ', width - n);
}

bool isValidName(const std::string& name) {
  if (name.empty() || name.size() > 48) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '.' || c == '/' || c == '_' || c == '%';
  });
}

}  // namespace mqi
