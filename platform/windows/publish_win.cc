// Publishing files whole on Windows: MoveFileEx with or without replacing, the read-only
// attribute as the file's mode, and tags as alternate data streams of NTFS.
#include <windows.h>

#include <string>

#include "platform/folder.h"
#include "platform/publish.h"
#include "platform/windows/windows_error.h"

namespace platform {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE openItself(const char* path, DWORD flags) {
  return CreateFileA(path, 0, kShareAll, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
}

// The stream of the tag `name` of the file `path`.
std::string tagStream(const std::string& path, const char* name) {
  return path + ":qtransfer." + name;
}

std::string pathIn(const Folder& folder, const char* name) {
  return folder.path() + "\\" + name;
}

}  // namespace

PathKind pathKind(const Folder& folder, const char* name) {
  HANDLE file = openItself(pathIn(folder, name).c_str(), 0);  // followed through links
  if (file == INVALID_HANDLE_VALUE) return PathKind::kMissing;
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = GetFileInformationByHandle(file, &info);
  const DWORD type = GetFileType(file);
  CloseHandle(file);
  if (!known || type != FILE_TYPE_DISK) return PathKind::kOther;
  return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::kDirectory
                                                            : PathKind::kRegularFile;
}

bool isWritable(const Folder& folder, const char* name) {
  const std::string named = pathIn(folder, name);
  const char* path = named.c_str();
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return windows::failLastError();
  if (attributes & FILE_ATTRIBUTE_READONLY) return windows::fail(ERROR_ACCESS_DENIED);
  HANDLE file = CreateFileA(path, GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return windows::failLastError();
  CloseHandle(file);
  return true;
}

FileHandle createFresh(const Folder& folder, const char* name) {
  const std::string named = pathIn(folder, name);
  const char* path = named.c_str();
  if (!DeleteFileA(path)) {
    DWORD code = GetLastError();
    // A read-only leftover is still ours to remove, as a private name is on Linux.
    if (code == ERROR_ACCESS_DENIED && SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL) &&
        DeleteFileA(path)) {
      code = ERROR_FILE_NOT_FOUND;
    }
    if (code != ERROR_FILE_NOT_FOUND) {
      windows::fail(code);
      return kInvalidFile;
    }
  }
  HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    windows::failLastError();
    return kInvalidFile;
  }
  return reinterpret_cast<FileHandle>(file);
}

bool copyPermissions(const Folder& folder, const char* name, FileHandle file) {
  // Access rights come from the folder; the read-only attribute is what a file has of a mode.
  const DWORD attributes = GetFileAttributesA(pathIn(folder, name).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return windows::failLastError();
  FILE_BASIC_INFO basic = {};
  HANDLE handle = reinterpret_cast<HANDLE>(file);
  if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic))
    return windows::failLastError();
  basic.FileAttributes = (basic.FileAttributes & ~FILE_ATTRIBUTE_READONLY) |
                         (attributes & FILE_ATTRIBUTE_READONLY);
  if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  if (!SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic))
    return windows::failLastError();
  return true;
}

bool publishFile(const Folder& folder, const char* from, const char* to, bool replace) {
  // Without MOVEFILE_REPLACE_EXISTING an existing `to` fails the call (ERROR_ALREADY_EXISTS).
  const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  if (!MoveFileExA(pathIn(folder, from).c_str(), pathIn(folder, to).c_str(), flags))
    return windows::failLastError();
  return true;
}

bool setFileTag(FileHandle file, const char* name, const void* data, size_t size) {
  char path[MAX_PATH];
  const DWORD length = GetFinalPathNameByHandleA(reinterpret_cast<HANDLE>(file), path,
                                                 sizeof path, FILE_NAME_NORMALIZED);
  if (length == 0 || length >= sizeof path) return windows::failLastError();
  HANDLE stream = CreateFileA(tagStream(path, name).c_str(), GENERIC_WRITE, kShareAll, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (stream == INVALID_HANDLE_VALUE) return windows::failLastError();
  DWORD written = 0;
  const bool wrote = WriteFile(stream, data, static_cast<DWORD>(size), &written, nullptr) &&
                     written == size;
  if (!wrote) windows::failLastError();
  CloseHandle(stream);
  return wrote;
}

bool readFileTag(const Folder& folder, const char* name, const char* tag, void* data,
                 size_t size, size_t* got) {
  HANDLE stream = CreateFileA(tagStream(pathIn(folder, name), tag).c_str(), GENERIC_READ,
                              kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                              nullptr);
  if (stream == INVALID_HANDLE_VALUE) return windows::failLastError();
  DWORD read = 0;
  const bool ok = ReadFile(stream, data, static_cast<DWORD>(size), &read, nullptr);
  if (!ok) windows::failLastError();
  CloseHandle(stream);
  *got = read;
  return ok;
}

}  // namespace platform
