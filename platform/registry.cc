// The parameters of the services on every system: the text of a parameters file, the rules of
// parameters keys, and the values of an open key, which each system reads at open.
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "platform/registry.h"
#include "platform/registry_rules.h"

namespace platform {
namespace {

constexpr std::string_view kKeyPrefix = "SYSTEM\\CurrentControlSet\\Services\\";
constexpr std::string_view kKeySuffix = "\\Parameters";

std::string_view trim(std::string_view text) {
  size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string_view::npos) return {};
  size_t end = text.find_last_not_of(" \t\r");
  return text.substr(begin, end - begin + 1);
}

}  // namespace

bool sameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

namespace {

ParameterValue* findValue(std::vector<ParameterValue>& values, std::string_view name) {
  for (ParameterValue& value : values) {
    if (sameText(value.name, name)) return &value;
  }
  return nullptr;
}

bool parseDword(std::string_view text, std::vector<uint8_t>* data) {
  std::string digits(text);
  if (digits.empty()) return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long number = std::strtoull(digits.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || digits[0] == '-' || number > 0xFFFFFFFFull) return false;
  for (int i = 0; i < 4; ++i) data->push_back(static_cast<uint8_t>(number >> (8 * i)));
  return true;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool parseBinary(std::string_view text, std::vector<uint8_t>* data) {
  std::istringstream words{std::string(text)};
  std::string word;
  while (words >> word) {
    if (word.size() != 2 || hexDigit(word[0]) < 0 || hexDigit(word[1]) < 0) return false;
    data->push_back(static_cast<uint8_t>(hexDigit(word[0]) * 16 + hexDigit(word[1])));
  }
  return true;
}

void appendString(std::string_view text, std::vector<uint8_t>* data) {
  data->insert(data->end(), text.begin(), text.end());
  data->push_back(0);
}

// Adds one entry to a multi-string value (kept with its closing extra NUL).
void addMultiEntry(std::string_view entry, std::vector<uint8_t>* data) {
  if (data->empty()) data->push_back(0);
  if (entry.empty()) return;
  data->pop_back();
  appendString(entry, data);
  data->push_back(0);
}

bool typeFromName(std::string_view name, uint32_t* type) {
  if (sameText(name, "sz")) *type = kRegSz;
  else if (sameText(name, "expand")) *type = kRegExpandSz;
  else if (sameText(name, "multi")) *type = kRegMultiSz;
  else if (sameText(name, "dword")) *type = kRegDword;
  else if (sameText(name, "binary")) *type = kRegBinary;
  else return false;
  return true;
}

// One "Name[:type] = value" line; false when it breaks the rules.
bool parseLine(std::string_view line, std::vector<ParameterValue>* values) {
  size_t equals = line.find('=');
  if (equals == std::string_view::npos) return false;
  std::string_view left = trim(line.substr(0, equals));
  std::string_view text = trim(line.substr(equals + 1));
  uint32_t type = kRegSz;
  size_t colon = left.find(':');
  if (colon != std::string_view::npos) {
    if (!typeFromName(trim(left.substr(colon + 1)), &type)) return false;
    left = trim(left.substr(0, colon));
  }
  if (left.empty()) return false;
  ParameterValue* existing = findValue(*values, left);
  if (existing != nullptr) {
    if (type != kRegMultiSz || existing->type != kRegMultiSz) return false;
    addMultiEntry(text, &existing->data);
    return true;
  }
  ParameterValue value{std::string(left), type, {}};
  bool ok = true;
  if (type == kRegMultiSz) addMultiEntry(text, &value.data);
  else if (type == kRegDword) ok = parseDword(text, &value.data);
  else if (type == kRegBinary) ok = parseBinary(text, &value.data);
  else appendString(text, &value.data);
  if (ok) values->push_back(std::move(value));
  return ok;
}

}  // namespace

std::string serviceOfKey(std::string_view key) {
  if (key.size() < kKeyPrefix.size() || !sameText(key.substr(0, kKeyPrefix.size()), kKeyPrefix)) {
    return {};
  }
  key.remove_prefix(kKeyPrefix.size());
  if (!key.empty() && key.back() == '\\') key.remove_suffix(1);
  if (key.size() < kKeySuffix.size() ||
      !sameText(key.substr(key.size() - kKeySuffix.size()), kKeySuffix)) {
    return {};
  }
  key.remove_suffix(kKeySuffix.size());
  if (key == "." || key == ".." || key.find_first_of("/\\") != std::string_view::npos) return {};
  return std::string(key);
}

long parseParameterText(std::string_view text, std::vector<ParameterValue>* values,
                        size_t* badLine) {
  values->clear();
  size_t number = 0;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = trim(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++number;
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (!parseLine(line, values)) {
      if (badLine != nullptr) *badLine = number;
      values->clear();
      return EINVAL;
    }
  }
  return 0;
}

long ParameterKey::query(const char* valueName, uint32_t* type, uint8_t* data,
                         uint32_t* size) const {
  if (!open_) return EBADF;
  if (valueName == nullptr || size == nullptr) return EINVAL;
  for (const ParameterValue& value : values_) {
    if (!sameText(value.name, valueName)) continue;
    uint32_t needed = static_cast<uint32_t>(value.data.size());
    if (type != nullptr) *type = value.type;
    if (data != nullptr && *size < needed) {
      *size = needed;
      return kRegMoreData;
    }
    if (data != nullptr && needed > 0) std::memcpy(data, value.data.data(), needed);
    *size = needed;
    return 0;
  }
  return ENOENT;
}

void ParameterKey::close() {
  values_.clear();
  open_ = false;
}

}  // namespace platform
