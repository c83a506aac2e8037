// Confinement to root folders on Windows: a lexical check (drive letters and names compared
// without regard to case, either separator), then the existing folders on the way resolved to
// their final paths, links followed, and compared with the root's.
#include <windows.h>

#include <cstring>
#include <string>

#include "platform/confine.h"
#include "platform/windows/confine_win.h"

namespace platform {
namespace {

std::string withBackslashes(std::string path) {
  for (char& c : path)
    if (c == '/') c = '\\';
  while (path.size() > 3 && path.back() == '\\') path.pop_back();
  return path;
}

bool startsWithFolder(const std::string& path, const std::string& folder) {
  const std::string prefix = folder.back() == '\\' ? folder : folder + "\\";
  return path.size() > prefix.size() && _strnicmp(path.c_str(), prefix.c_str(), prefix.size()) == 0;
}

// The part of `path` below `root` into *below; false when the path is not lexically beneath
// the root or climbs out with "..".
bool relativeBelow(const char* root, const char* path, std::string* below) {
  const std::string base = withBackslashes(root);
  const std::string full = withBackslashes(path);
  if (base.empty() || !startsWithFolder(full, base)) return false;
  *below = full.substr(base.back() == '\\' ? base.size() : base.size() + 1);
  size_t start = 0;
  while (start <= below->size()) {
    size_t end = below->find('\\', start);
    if (end == std::string::npos) end = below->size();
    if (end - start == 2 && below->compare(start, 2, "..") == 0) return false;
    start = end + 1;
  }
  return below->find_first_not_of('\\') != std::string::npos;
}

// The final path of an existing file or folder, links followed; empty when it cannot be
// opened (*missing tells whether it does not exist).
std::string finalPath(const std::string& path, bool* missing) {
  HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    *missing = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
    return std::string();
  }
  const std::string resolved = windows::finalPathOf(file);
  CloseHandle(file);
  *missing = false;
  return resolved.empty() ? resolved : withBackslashes(resolved);
}

// True when both name the same folder as written: case, separators and trailing ones aside.
bool sameFolder(const std::string& one, const std::string& other) {
  return !one.empty() && _stricmp(withBackslashes(one).c_str(), withBackslashes(other).c_str()) == 0;
}

// `path` is the root itself or beneath it, the root taken as written and then as the system
// resolves it (a root named through a link or in another case).
bool isAtOrBeneath(const std::string& root, const char* path) {
  if (sameFolder(root, path) || isBeneath(root.c_str(), path, true)) return true;
  bool missing = false;
  const std::string resolved = finalPath(root, &missing);
  if (resolved.empty() || sameFolder(resolved, root)) return false;
  return sameFolder(resolved, path) || isBeneath(resolved.c_str(), path, true);
}

}  // namespace

bool isBeneath(const char* root, const char* path, bool resolveLast) {
  std::string below;
  if (!relativeBelow(root, path, &below)) return false;
  if (!resolveLast) {
    const size_t slash = below.find_last_of('\\');
    below = slash == std::string::npos ? "" : below.substr(0, slash);
  }
  bool missing = false;
  const std::string resolvedRoot = finalPath(root, &missing);
  if (resolvedRoot.empty()) return false;
  // What does not exist yet cannot lead out: the longest part that exists decides.
  while (!below.empty()) {
    const std::string resolved = finalPath(withBackslashes(root) + "\\" + below, &missing);
    if (!resolved.empty()) return startsWithFolder(resolved, resolvedRoot);
    if (!missing) return false;
    const size_t slash = below.find_last_of('\\');
    below = slash == std::string::npos ? "" : below.substr(0, slash);
  }
  return true;
}

namespace windows {

std::string finalPathOf(void* handle) {
  char path[MAX_PATH * 4];
  const DWORD length = GetFinalPathNameByHandleA(static_cast<HANDLE>(handle), path, sizeof path,
                                                 FILE_NAME_NORMALIZED);
  if (length == 0 || length >= sizeof path) return {};
  std::string text(path, length);
  if (text.rfind("\\\\?\\UNC\\", 0) == 0) return "\\\\" + text.substr(8);
  if (text.rfind("\\\\?\\", 0) == 0) return text.substr(4);
  return text;
}

bool isFolderWithinRoots(const char* roots, const char* path) {
  for (const std::string& root : splitRoots(roots)) {
    if (isAtOrBeneath(root, path)) return true;
  }
  return false;
}

}  // namespace windows
}  // namespace platform
