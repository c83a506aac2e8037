// Wildcard folder search in the manner of FindFirstFile/FindNextFile.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

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

char lowerAscii(unsigned char c) {
  return static_cast<char>((c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c);
}

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

// The wildcard rules of a Windows folder search. The mask is read as the search reads it:
//   '?'                           any one character; before a '.' or at the end of the name
//                                 it matches nothing ("b?.txt" takes "b.txt")
//   '.' before '?', '*' or at the end of the mask
//                                 a '.' or, at the end of the name, nothing ("report.*" takes
//                                 "report", "*." takes names without an extension)
//   '*' before a '.'              any run of characters that holds no last '.' of the name
//   '*' elsewhere                 any run of characters
// Other characters match themselves without regard to case.
class MaskMatcher {
 public:
  MaskMatcher(std::string_view name, std::string_view mask)
      : name_(name), lastDot_(name.rfind('.')) {
    for (size_t i = 0; i < mask.size(); ++i) {
      const char next = i + 1 < mask.size() ? mask[i + 1] : '\0';
      Item item{Kind::kLiteral, mask[i]};
      if (mask[i] == '?') item.kind = Kind::kOneOrNone;
      if (mask[i] == '*') item.kind = next == '.' ? Kind::kRunBeforeDot : Kind::kRun;
      if (mask[i] == '.' && (next == '?' || next == '*' || next == '\0')) item.kind = Kind::kDot;
      items_.push_back(item);
    }
    known_.assign((items_.size() + 1) * (name_.size() + 1), kUnknown);
  }
  bool matches() { return from(0, 0); }

 private:
  enum class Kind { kLiteral, kOneOrNone, kRun, kRunBeforeDot, kDot };
  struct Item {
    Kind kind;
    char c;
  };
  static constexpr signed char kUnknown = -1;

  // True when items [item...] match the name from character at. Each pair is worked once.
  bool from(size_t item, size_t at) {
    signed char& known = known_[item * (name_.size() + 1) + at];
    if (known == kUnknown) known = step(item, at) ? 1 : 0;
    return known == 1;
  }

  bool step(size_t item, size_t at) {
    if (item == items_.size()) return at == name_.size();
    const bool atEnd = at == name_.size();
    const Item& i = items_[item];
    switch (i.kind) {
      case Kind::kRun:
        return from(item + 1, at) || (!atEnd && from(item, at + 1));
      case Kind::kRunBeforeDot:
        return from(item + 1, at) || (!atEnd && at != lastDot_ && from(item, at + 1));
      case Kind::kOneOrNone:
        return atEnd || name_[at] == '.' ? from(item + 1, at) : from(item + 1, at + 1);
      case Kind::kDot:
        if (atEnd) return from(item + 1, at);
        return name_[at] == '.' && from(item + 1, at + 1);
      case Kind::kLiteral:
        return !atEnd && lowerAscii(name_[at]) == lowerAscii(i.c) && from(item + 1, at + 1);
    }
    return false;
  }

  std::string_view name_;
  size_t lastDot_;
  std::vector<Item> items_;
  std::vector<signed char> known_;
};

}  // namespace

bool matchesMask(const char* name, const char* mask) {
  if (name == nullptr || mask == nullptr) return false;
  return MaskMatcher(name, mask).matches();
}

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

bool findNextFile(FindHandle handle, FindData* data) {
  if (handle == kInvalidFind || data == nullptr) return posix::fail(EINVAL);
  return nextMatch(*static_cast<Search*>(handle), data);
}

void findClose(FindHandle handle) {
  std::unique_ptr<Search> owned(static_cast<Search*>(handle));  // ends the listing
}

}  // namespace platform
