// The folder scan of one job: offers each matching file of the folder to TransferFile.
#include <cerrno>
#include <cstdio>

#include "load_agent/load_agent.h"

bool joinPath(const char* folder, const char* name, char* out) {
  const int written =
      std::snprintf(out, kPathSize, "%s%c%s", folder, platform::pathSeparator(), name);
  return written >= 0 && static_cast<size_t>(written) < kPathSize;
}

Turn ScanFolder(MQHCONN hConn, const char* folder, const char* mask) {
  char pattern[kPathSize];
  if (!joinPath(folder, mask, pattern)) {
    platform::setLastError(ENAMETOOLONG);  // like a search that cannot start
    return Turn::kReconnect;
  }
  // Every file of the job is found, opened and removed in this one folder, reached beneath
  // the SourceRoots: a folder swapped for a link since the job was checked changes nothing.
  platform::Folder source;
  if (!source.open(LoadAgent.LoadSettings.SourceRoots, folder)) return Turn::kReconnect;
  platform::FindData entry;
  platform::FindHandle search = platform::findFirstFileIn(source, mask, &entry);
  if (search == platform::kInvalidFind) return Turn::kReconnect;
  FileResult result = FileResult::kNextFile;
  do {
    if (!entry.isDirectory) result = TransferFile(hConn, folder, source, entry);
  } while (result == FileResult::kNextFile && platform::findNextFile(search, &entry));
  platform::findClose(search);
  return result == FileResult::kReconnect ? Turn::kReconnect : Turn::kNext;
}
