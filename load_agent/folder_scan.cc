// The folder scan of one job: offers each matching file of the folder to TransferFile.
#include <cerrno>
#include <cstdio>

#include "load_agent/load_agent.h"

bool joinPath(const char* folder, const char* name, char* out) {
  const int written =
      std::snprintf(out, kPathSize, "%s%c%s", folder, platform::pathSeparator(), name);
  return written >= 0 && static_cast<size_t>(written) < kPathSize;
}

int32_t ScanFolder(MQHCONN hConn, const char* folder, const char* mask) {
  char pattern[kPathSize];
  if (!joinPath(folder, mask, pattern)) return ENAMETOOLONG;  // like a search that cannot start
  platform::FindData entry;
  platform::FindHandle search = platform::findFirstFile(pattern, &entry);
  if (search == platform::kInvalidFind) {
    const int code = platform::lastError();
    return code == 0 || code == 1 ? ENOENT : code;  // 0 and 1 are results of their own
  }
  do {
    if (entry.isDirectory) continue;
    const int32_t result = TransferFile(hConn, folder, entry);
    if (result == 1) {
      platform::findClose(search);
      return 0;
    }
    if (result == 2) {
      platform::findClose(search);
      return 1;
    }
  } while (platform::findNextFile(search, &entry));
  platform::findClose(search);
  return 1;
}
