// Folders held open. An agent opens a folder once, confined to its root folders where it has
// them, and then finds, opens, creates, renames and removes the files in it by name relative to
// that open folder. Whatever happens to the folder's path afterwards (the folder renamed, or
// swapped for a link that leads elsewhere), the calls act on the folder that was opened and
// checked, never on whatever the path names by then.
//
// Names passed to the calls below are single names in the folder, without a separator.
// Errors as in platform.h: false (or an invalid handle) with the code in lastError().
#ifndef QT_PLATFORM_FOLDER_H
#define QT_PLATFORM_FOLDER_H

#include <cstdint>
#include <string>
#include <utility>

#include "platform/identity.h"
#include "platform/platform.h"

namespace platform {

class Folder {
 public:
  Folder() = default;
  ~Folder() { close(); }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
  Folder(Folder&& other) noexcept { *this = std::move(other); }
  Folder& operator=(Folder&& other) noexcept {
    if (this != &other) {
      close();
      handle_ = std::exchange(other.handle_, kNoFolder);
      confined_ = std::exchange(other.confined_, false);
      path_ = std::move(other.path_);
    }
    return *this;
  }

  // Opens the folder `path`. With `roots` (folders separated by ';', as isWithinRoots reads
  // them) not empty, the folder must be one of the roots or lie beneath one, and is reached
  // without following any link out of that root; a folder elsewhere fails with the code of
  // "Permission denied". Without roots the path is opened as it stands.
  bool open(const char* roots, const char* path);
  bool isOpen() const { return handle_ != kNoFolder; }
  // True when the folder was opened beneath a root: links in it are then followed only where
  // they stay inside the folder.
  bool confined() const { return confined_; }
  void close();
  // Forces the folder's entries (files created, renamed or removed in it) to stable storage.
  bool flush() const;
  // The system's handle of the open folder, for the platform layer's own use.
  intptr_t handle() const { return handle_; }
  // The folder's path as the system resolved it at the open, for the platform layer of a
  // system that opens names by path only ("" where names are opened relative to the handle).
  const std::string& path() const { return path_; }

 private:
  static constexpr intptr_t kNoFolder = -1;
  intptr_t handle_ = kNoFolder;
  bool confined_ = false;
  std::string path_;
};

// Lists the entries of the open folder whose names match `mask`, as findFirstFile does (the
// listing goes on with findNextFile and ends with findClose).
FindHandle findFirstFileIn(const Folder& folder, const char* mask, FindData* data);
// openExclusiveForRead of the entry `name`. A link is followed only where the folder is not
// confined, or where it stays inside the folder; else the open fails with an
// isOutsideFolder() code.
FileHandle openExclusiveForReadIn(const Folder& folder, const char* name);
bool isOutsideFolder(int code);
// The identity of the regular file `name` itself; false for anything else (a link included).
bool versionOf(const Folder& folder, const char* name, FileVersion* version);
// deleteFile of the entry `name`: a file or a link itself, nothing else.
bool deleteFileIn(const Folder& folder, const char* name);
// setReadOnly of the entry `name` itself: a link is refused, never followed.
bool setReadOnlyIn(const Folder& folder, const char* name, bool readOnly);

}  // namespace platform

#endif  // QT_PLATFORM_FOLDER_H
