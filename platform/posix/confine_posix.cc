// Confinement to root folders: a lexical check, then the folders on the way resolved beneath
// the root.
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/confine.h"
#include "platform/folder.h"
#include "platform/platform.h"
#include "platform/posix_error.h"

namespace platform {
namespace {

// The part of `path` below `root` into *below; false when the path is not lexically beneath
// the root or climbs out with "..".
bool relativeBelow(std::string root, const std::string& path, std::string* below) {
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (root.empty() || root[0] != '/' || path.empty() || path[0] != '/') return false;
  const std::string prefix = root == "/" ? "/" : root + "/";
  if (path.compare(0, prefix.size(), prefix) != 0) return false;
  *below = path.substr(prefix.size());
  size_t start = 0;
  while (start <= below->size()) {
    size_t end = below->find('/', start);
    if (end == std::string::npos) end = below->size();
    if (below->compare(start, end - start, "..") == 0 && end - start == 2) return false;
    start = end + 1;
  }
  return below->find_first_not_of('/') != std::string::npos;
}

// 1 when `relative` resolves beneath the open root, 0 when it escapes, -1 when the kernel
// cannot tell (no openat2) or the name does not exist (errno says which).
int resolvesBeneath(int rootFd, const std::string& relative) {
  open_how how{};
  how.flags = O_PATH | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  long fd = syscall(SYS_openat2, rootFd, relative.c_str(), &how, sizeof how);
  if (fd >= 0) {
    close(static_cast<int>(fd));
    return 1;
  }
  return errno == EXDEV || errno == ELOOP ? 0 : -1;
}

// Without openat2: the real location of the name, compared with the root's.
int realPathBeneath(const std::string& root, const std::string& relative) {
  char resolvedRoot[PATH_MAX];
  char resolved[PATH_MAX];
  if (realpath(root.c_str(), resolvedRoot) == nullptr) return 0;
  if (realpath((root + "/" + relative).c_str(), resolved) == nullptr) return -1;
  std::string base = resolvedRoot;
  if (base != "/") base += "/";
  return std::strncmp(resolved, base.c_str(), base.size()) == 0 ? 1 : 0;
}

// Checks the longest part of `relative` that exists: what does not exist yet cannot lead out.
bool existingPartBeneath(const std::string& root, std::string relative) {
  int rootFd = open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (rootFd < 0) return false;
  bool useOpenat2 = true;
  int verdict = -1;
  while (!relative.empty()) {
    verdict = useOpenat2 ? resolvesBeneath(rootFd, relative) : realPathBeneath(root, relative);
    if (verdict >= 0) break;
    if (useOpenat2 && (errno == ENOSYS || errno == E2BIG || errno == EPERM)) {
      useOpenat2 = false;
      continue;
    }
    size_t slash = relative.find_last_of('/');
    relative = slash == std::string::npos ? "" : relative.substr(0, slash);
  }
  close(rootFd);
  return verdict != 0;
}

// Without openat2: the folder reached one component at a time, no link followed at all.
int openWithoutLinks(int rootFd, const std::string& relative) {
  int fd = dup(rootFd);
  size_t start = 0;
  while (fd >= 0 && start < relative.size()) {
    size_t end = relative.find('/', start);
    if (end == std::string::npos) end = relative.size();
    const std::string name = relative.substr(start, end - start);
    start = end + 1;
    if (name.empty() || name == ".") continue;
    int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int code = errno;
    close(fd);
    fd = next;
    errno = code;
  }
  return fd;
}

// The folder `relative` opened beneath the open root; -1 with errno (EXDEV or ELOOP when the
// way leads out of the root).
int openFolderBeneath(int rootFd, const std::string& relative) {
  open_how how{};
  how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  long fd = syscall(SYS_openat2, rootFd, relative.c_str(), &how, sizeof how);
  if (fd < 0 && (errno == ENOSYS || errno == E2BIG || errno == EPERM)) {
    return openWithoutLinks(rootFd, relative);
  }
  return static_cast<int>(fd);
}

// The part of `path` below `root`, "." for the root itself; false when the path is elsewhere.
bool relativeBelowOrAt(std::string root, std::string path, std::string* below) {
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (!root.empty() && root[0] == '/' && path == root) {
    *below = ".";
    return true;
  }
  return relativeBelow(root, path, below);
}

}  // namespace

bool isBeneath(const char* root, const char* path, bool resolveLast) {
  std::string below;
  if (!relativeBelow(root, path, &below)) return false;
  if (!resolveLast) {
    size_t slash = below.find_last_of('/');
    below = slash == std::string::npos ? "" : below.substr(0, slash);
  }
  return existingPartBeneath(root, below);
}

void Folder::close() {
  if (handle_ != kNoFolder) ::close(static_cast<int>(handle_));
  handle_ = kNoFolder;
  confined_ = false;
}

bool Folder::flush() const {
  if (fsync(static_cast<int>(handle_)) != 0) return posix::failErrno();
  return true;
}

bool Folder::open(const char* roots, const char* path) {
  close();
  if (namesForeignDrive(path)) return posix::fail(ENOENT);
  const std::vector<std::string> list = splitRoots(roots);
  if (list.empty()) {
    int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return posix::failErrno();
    handle_ = fd;
    return true;
  }
  for (const std::string& root : list) {
    std::string below;
    if (!relativeBelowOrAt(root, path, &below)) continue;
    int rootFd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0) continue;
    int fd = openFolderBeneath(rootFd, below);
    const int code = errno;
    ::close(rootFd);
    if (fd >= 0) {
      handle_ = fd;
      confined_ = true;
      return true;
    }
    if (code != EXDEV && code != ELOOP) return posix::fail(code);
  }
  return posix::fail(EACCES);
}

}  // namespace platform
