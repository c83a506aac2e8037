// Folders held open on Windows. Windows offers no call that opens a name relative to a folder
// handle (short of the native API), so a folder is held by a handle that shares no deletion:
// while it is open, neither the folder nor any folder above it can be renamed or removed, so
// the final path read from that handle keeps naming the folder that was opened and checked.
// Names below it are opened by that path, links (reparse points) themselves where the folder is
// confined.
#include <windows.h>

#include <string>

#include "platform/confine.h"
#include "platform/data_file.h"
#include "platform/folder.h"
#include "platform/identity.h"
#include "platform/platform.h"
#include "platform/publish.h"
#include "platform/windows/confine_win.h"
#include "platform/windows/windows_error.h"

namespace platform {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// A name that leads out of its confined folder (through a link) fails with this code.
constexpr DWORD kOutside = ERROR_CANT_RESOLVE_FILENAME;

std::string pathIn(const Folder& folder, const char* name) {
  return folder.path() + "\\" + name;
}

// The attributes of the entry itself, never followed through a link.
bool attributesOf(const Folder& folder, const char* name, DWORD* attributes) {
  *attributes = GetFileAttributesA(pathIn(folder, name).c_str());
  return *attributes != INVALID_FILE_ATTRIBUTES || windows::failLastError();
}

bool isLink(DWORD attributes) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

}  // namespace

void Folder::close() {
  if (handle_ != kNoFolder) CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = kNoFolder;
  confined_ = false;
  path_.clear();
}

bool Folder::flush() const {
  return true;  // NTFS logs its names itself: a folder cannot be flushed on Windows
}

bool Folder::open(const char* roots, const char* path) {
  close();
  const bool confine = roots != nullptr && !splitRoots(roots).empty();
  if (confine && !windows::isFolderWithinRoots(roots, path)) return windows::fail(ERROR_ACCESS_DENIED);
  HANDLE folder = CreateFileA(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (folder == INVALID_HANDLE_VALUE) return windows::failLastError();
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(folder, &info) ||
      !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    const DWORD code = GetLastError() != 0 ? GetLastError() : ERROR_DIRECTORY;
    CloseHandle(folder);
    return windows::fail(code);
  }
  // Checked again now that the folder is pinned: a swap before the open is caught here.
  std::string resolved = windows::finalPathOf(folder);
  if (resolved.empty() || (confine && !windows::isFolderWithinRoots(roots, resolved.c_str()))) {
    const DWORD code = resolved.empty() ? GetLastError() : ERROR_ACCESS_DENIED;
    CloseHandle(folder);
    return windows::fail(code);
  }
  handle_ = reinterpret_cast<intptr_t>(folder);
  confined_ = confine;
  path_ = std::move(resolved);
  return true;
}

FindHandle findFirstFileIn(const Folder& folder, const char* mask, FindData* data) {
  return findFirstFile(pathIn(folder, mask).c_str(), data);
}

FileHandle openExclusiveForReadIn(const Folder& folder, const char* name) {
  if (folder.confined()) {
    DWORD attributes = 0;
    if (!attributesOf(folder, name, &attributes)) return kInvalidFile;
    if (isLink(attributes)) {
      windows::fail(kOutside);
      return kInvalidFile;
    }
  }
  return openExclusiveForRead(pathIn(folder, name).c_str());
}

bool isOutsideFolder(int code) {
  return static_cast<DWORD>(code) == kOutside;
}

bool versionOf(const Folder& folder, const char* name, FileVersion* version) {
  return identityOfPath(pathIn(folder, name).c_str(), version);
}

bool deleteFileIn(const Folder& folder, const char* name) {
  DWORD attributes = 0;
  if (!attributesOf(folder, name, &attributes)) return false;
  const std::string path = pathIn(folder, name);
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    // A link to a folder goes itself; a real folder is not a file.
    if (!isLink(attributes)) return windows::fail(ERROR_ACCESS_DENIED);
    return RemoveDirectoryA(path.c_str()) || windows::failLastError();
  }
  return DeleteFileA(path.c_str()) || windows::failLastError();
}

bool setReadOnlyIn(const Folder& folder, const char* name, bool readOnly) {
  DWORD attributes = 0;
  if (!attributesOf(folder, name, &attributes)) return false;
  if (isLink(attributes)) return windows::fail(kOutside);  // never changed through a link
  return setReadOnly(pathIn(folder, name).c_str(), readOnly);
}

bool DataFile::openLocked(const Folder& folder, const std::string& name, bool create) {
  close();
  const std::string path = pathIn(folder, name.c_str());
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                            create ? OPEN_ALWAYS : OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return windows::failLastErrorAsErrno();
  OVERLAPPED whole = {};
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
    windows::failLastErrorAsErrno();
    CloseHandle(file);
    return false;
  }
  fd_ = reinterpret_cast<intptr_t>(file);  // the lock goes with the handle
  return true;
}

}  // namespace platform
