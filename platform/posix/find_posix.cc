// Wildcard folder search in the manner of FindFirstFile/FindNextFile.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "platform/folder.h"
#include "platform/platform.h"
#include "platform/posix_error.h"

namespace platform {
namespace {

struct Search {
  DIR* dir = nullptr;
  std::string mask;
  ~Search() {
    if (dir != nullptr) closedir(dir);
  }
};

// A search that cannot start must never give the codes 0 or 1: the job loop reads those as
// its own results. EPERM is 1, so it is reported as EACCES.
FindHandle failSearch(int code) {
  posix::fail(code == EPERM ? EACCES : code);
  return kInvalidFind;
}

// Fills `data` from the entry `name` of the open search; false when the entry vanished.
bool describeEntry(Search& search, const char* name, FindData* data) {
  struct stat info;
  int dirFd = dirfd(search.dir);
  // A symbolic link is described by its target; a dangling one by the link itself.
  if (fstatat(dirFd, name, &info, 0) != 0 &&
      fstatat(dirFd, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
    return false;
  }
  std::strncpy(data->name, name, sizeof data->name - 1);
  data->name[sizeof data->name - 1] = '\0';
  data->isDirectory = S_ISDIR(info.st_mode);
  data->isReadOnly = (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
  data->size = static_cast<uint64_t>(info.st_size);
  return true;
}

// The next matching entry, or false at the end of the listing (code ENOENT) or on an error.
bool nextMatch(Search& search, FindData* data) {
  for (;;) {
    errno = 0;
    dirent* entry = readdir(search.dir);
    if (entry == nullptr) return posix::fail(errno != 0 ? errno : ENOENT);
    if (matchesMask(entry->d_name, search.mask.c_str()) &&
        describeEntry(search, entry->d_name, data)) {
      return true;
    }
  }
}

}  // namespace

FindHandle findFirstFile(const char* pattern, FindData* data) {
  if (pattern == nullptr || data == nullptr) return failSearch(EINVAL);
  if (namesForeignDrive(pattern)) return failSearch(ENOENT);
  std::string_view text(pattern);
  size_t split = text.find_last_of("/\\");
  std::string folder(split == std::string_view::npos ? std::string_view(".")
                     : split == 0                    ? std::string_view("/")
                                                     : text.substr(0, split));
  auto search = std::make_unique<Search>();
  search->mask = split == std::string_view::npos ? text : text.substr(split + 1);
  search->dir = opendir(folder.c_str());
  if (search->dir == nullptr) return failSearch(errno != 0 ? errno : ENOENT);
  if (!nextMatch(*search, data)) return failSearch(lastError());
  return search.release();
}

FindHandle findFirstFileIn(const Folder& folder, const char* mask, FindData* data) {
  if (mask == nullptr || data == nullptr) return failSearch(EINVAL);
  auto search = std::make_unique<Search>();
  search->mask = mask;
  // A listing of its own: the folder's handle keeps its position for other callers.
  int fd = openat(static_cast<int>(folder.handle()), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return failSearch(errno);
  search->dir = fdopendir(fd);
  if (search->dir == nullptr) {
    const int code = errno;
    close(fd);
    return failSearch(code);
  }
  if (!nextMatch(*search, data)) return failSearch(lastError());
  return search.release();
}

bool findNextFile(FindHandle handle, FindData* data) {
  if (handle == kInvalidFind || data == nullptr) return posix::fail(EINVAL);
  return nextMatch(*static_cast<Search*>(handle), data);
}

void findClose(FindHandle handle) {
  std::unique_ptr<Search> owned(static_cast<Search*>(handle));  // ends the listing
}

}  // namespace platform
