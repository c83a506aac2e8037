// The profile-string reader: GetPrivateProfileString itself.
#include <windows.h>

#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/windows/windows_error.h"

namespace platform {
namespace {

size_t copyDefault(const char* defaultValue, char* out, size_t size) {
  if (out == nullptr || size == 0) return 0;
  std::string value(defaultValue != nullptr ? defaultValue : "");
  value.erase(value.find_last_not_of(' ') + 1);
  const size_t count = value.size() < size - 1 ? value.size() : size - 1;
  std::memcpy(out, value.data(), count);
  out[count] = '\0';
  return count;
}

// The system reads a file named without a folder from the Windows directory: a relative
// name is made full here, so that it means the working directory as everywhere else.
std::string fullPath(const char* fileName) {
  char full[MAX_PATH];
  const DWORD length = GetFullPathNameA(fileName, sizeof full, full, nullptr);
  return length > 0 && length < sizeof full ? std::string(full, length) : std::string(fileName);
}

}  // namespace

size_t getProfileString(const char* section, const char* key, const char* defaultValue, char* out,
                        size_t size, const char* fileName) {
  // Null names would ask the system for its section and key listings, which are not offered.
  if (section == nullptr || key == nullptr || fileName == nullptr || size == 0 || out == nullptr) {
    return copyDefault(defaultValue, out, size);
  }
  // The system reads key lines before the first section as a section without a name; they
  // belong to no section here.
  if (section[std::strspn(section, " \t")] == '\0') return copyDefault(defaultValue, out, size);
  const std::string path = fullPath(fileName);
  return GetPrivateProfileStringA(section, key, defaultValue != nullptr ? defaultValue : "", out,
                                  static_cast<DWORD>(size), path.c_str());
}

bool canReadFile(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return windows::failLastError();
  // A folder is refused as CreateFile refuses it.
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return windows::fail(ERROR_ACCESS_DENIED);
  HANDLE file =
      CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return windows::failLastError();
  CloseHandle(file);
  return true;
}

}  // namespace platform
