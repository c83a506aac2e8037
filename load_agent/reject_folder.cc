// The reject folder: where a file that failed the XML check goes instead of being destroyed.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "load_agent/load_agent.h"

namespace {

constexpr int kMaxNameTries = 1000;
char copyBuffer[65536];

// Copies the source file into an open target handle; false with the error recorded.
bool copyInto(const char* fileName, platform::FileHandle target) {
  platform::FileHandle source = platform::openExclusiveForRead(fileName);
  if (source == platform::kInvalidFile) return false;
  for (;;) {
    size_t got = 0;
    if (!platform::readFile(source, copyBuffer, sizeof copyBuffer, &got)) break;
    if (got == 0) return platform::closeFile(source);
    if (!platform::writeFile(target, copyBuffer, got)) break;
  }
  const int error = platform::lastError();
  platform::closeFile(source);
  platform::setLastError(error);
  return false;
}

// Moves fileName onto target, a file that this agent has just created empty. A rename where
// the two share a file system; else a copy that is made durable before the source goes.
bool moveOnto(const char* fileName, const char* target, const char* folder) {
  if (platform::renameFile(fileName, target)) {
    platform::flushDirectory(folder);
    return true;
  }
  platform::FileHandle copy = platform::createForWrite(target, platform::CreateMode::kCreateAlways);
  bool copied = copy != platform::kInvalidFile && copyInto(fileName, copy);
  if (copied) copied = platform::flushFile(copy);
  int error = platform::lastError();
  if (copy != platform::kInvalidFile && !platform::closeFile(copy) && copied) {
    copied = false;
    error = platform::lastError();
  }
  if (!copied) {
    platform::deleteFile(target);
    platform::setLastError(error);
    return false;
  }
  platform::flushDirectory(folder);
  return platform::deleteFile(fileName);
}

}  // namespace

void rejectFolder(char* out) {
  const LoadSettingsT& settings = LoadAgent.LoadSettings;
  if (settings.RejectPath[0] != '\0') {
    std::snprintf(out, kPathSize, "%s", settings.RejectPath);
  } else if (!joinPath(settings.LogPath, "rejected", out)) {
    out[0] = '\0';
  }
}

bool moveToRejectFolder(const char* fileName, const char* name, char* movedTo) {
  char folder[kPathSize];
  rejectFolder(folder);
  if (folder[0] == '\0') {
    platform::setLastError(ENAMETOOLONG);
    return false;
  }
  if (!platform::createDirectory(folder) && !platform::isAlreadyExists(platform::lastError())) {
    return false;
  }
  for (int attempt = 0; attempt < kMaxNameTries; ++attempt) {
    char target[kPathSize];
    const int written = attempt == 0 ? std::snprintf(target, sizeof target, "%s%c%s", folder,
                                                     platform::pathSeparator(), name)
                                     : std::snprintf(target, sizeof target, "%s%c%s.%d", folder,
                                                     platform::pathSeparator(), name, attempt);
    if (written < 0 || static_cast<size_t>(written) >= sizeof target) {
      platform::setLastError(ENAMETOOLONG);
      return false;
    }
    // Reserve the name first, so that an earlier reject of the same name is never replaced.
    platform::FileHandle reserved =
        platform::createForWrite(target, platform::CreateMode::kCreateNew);
    if (reserved == platform::kInvalidFile) {
      if (platform::isFileExists(platform::lastError())) continue;
      return false;
    }
    platform::closeFile(reserved);
    if (!moveOnto(fileName, target, folder)) return false;
    std::snprintf(movedTo, kPathSize, "%s", target);
    return true;
  }
  platform::setLastError(EEXIST);
  return false;
}
