// The services' parameters on Windows: the values of the key
// HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\<service>\Parameters, read at open.
#include <windows.h>

#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/registry_rules.h"

namespace platform {

std::string parametersFolder() {
  return "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services";
}

long ParameterKey::open(const char* keyName) {
  close();
  const std::string key = keyName != nullptr ? keyName : "";
  if (serviceOfKey(key).empty()) return ERROR_FILE_NOT_FOUND;
  HKEY parameters = nullptr;
  long rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE, &parameters);
  if (rc != ERROR_SUCCESS) return rc;
  DWORD count = 0, longestName = 0, longestData = 0;
  rc = RegQueryInfoKeyA(parameters, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                        &longestName, &longestData, nullptr, nullptr);
  std::vector<char> name(longestName + 1);
  std::vector<uint8_t> data(longestData + 2);
  for (DWORD i = 0; rc == ERROR_SUCCESS && i < count; ++i) {
    DWORD nameSize = static_cast<DWORD>(name.size());
    DWORD dataSize = static_cast<DWORD>(data.size());
    DWORD type = 0;
    rc = RegEnumValueA(parameters, i, name.data(), &nameSize, nullptr, &type, data.data(),
                       &dataSize);
    if (rc != ERROR_SUCCESS) break;
    ParameterValue value{std::string(name.data(), nameSize), type,
                         std::vector<uint8_t>(data.begin(), data.begin() + dataSize)};
    // Strings as the parameters files give them: ending in NUL, multi-strings in two.
    const bool text = type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
    if (text && (value.data.empty() || value.data.back() != 0)) value.data.push_back(0);
    if (type == REG_MULTI_SZ && value.data.size() >= 2 && value.data[value.data.size() - 2] != 0)
      value.data.push_back(0);
    values_.push_back(std::move(value));
  }
  RegCloseKey(parameters);
  open_ = rc == ERROR_SUCCESS;
  if (!open_) values_.clear();
  return rc;
}

}  // namespace platform
