// Wildcard folder search: FindFirstFile and FindNextFile.
#include <windows.h>

#include <cstring>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "platform/windows/windows_error.h"

namespace platform {
namespace {

struct Search {
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::string mask;
  ~Search() {
    if (handle != INVALID_HANDLE_VALUE) FindClose(handle);
  }
};

// A search that cannot start must never give the codes 0 or 1: the job loop reads those as
// its own results. ERROR_INVALID_FUNCTION is 1, so it is reported as ERROR_ACCESS_DENIED.
FindHandle failSearch(DWORD code) {
  windows::fail(code == ERROR_INVALID_FUNCTION ? ERROR_ACCESS_DENIED : code);
  return kInvalidFind;
}

void describeEntry(const WIN32_FIND_DATAA& entry, FindData* data) {
  std::strncpy(data->name, entry.cFileName, sizeof data->name - 1);
  data->name[sizeof data->name - 1] = '\0';
  data->isDirectory = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  data->isReadOnly = (entry.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  data->size = (static_cast<uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
}

// The next entry of the listing whose name matches the mask.
bool nextMatch(Search& search, WIN32_FIND_DATAA* entry, bool haveEntry, FindData* data) {
  for (;;) {
    if (!haveEntry && !FindNextFileA(search.handle, entry)) return windows::failLastError();
    haveEntry = false;
    if (matchesMask(entry->cFileName, search.mask.c_str())) {
      describeEntry(*entry, data);
      return true;
    }
  }
}

}  // namespace

FindHandle findFirstFile(const char* pattern, FindData* data) {
  if (pattern == nullptr || data == nullptr) return failSearch(ERROR_INVALID_PARAMETER);
  const std::string text(pattern);
  const size_t split = text.find_last_of("/\\:");
  auto search = std::make_unique<Search>();
  search->mask = split == std::string::npos ? text : text.substr(split + 1);
  // The system lists the whole folder and the mask is applied here: its own matching differs
  // between versions (a '?' before a '.', the short 8.3 names of long ones, "*.htm" taking
  // "page.html"), and a mask must select the same names on every system.
  const std::string everything =
      (split == std::string::npos ? "" : text.substr(0, split + 1)) + "*";
  WIN32_FIND_DATAA entry;
  search->handle = FindFirstFileA(everything.c_str(), &entry);
  if (search->handle == INVALID_HANDLE_VALUE) return failSearch(GetLastError());
  if (!nextMatch(*search, &entry, true, data)) {
    const DWORD code = static_cast<DWORD>(lastError());
    return failSearch(code == ERROR_NO_MORE_FILES ? ERROR_FILE_NOT_FOUND : code);
  }
  return search.release();
}

bool findNextFile(FindHandle handle, FindData* data) {
  if (handle == kInvalidFind || data == nullptr) return windows::fail(ERROR_INVALID_PARAMETER);
  WIN32_FIND_DATAA entry;
  return nextMatch(*static_cast<Search*>(handle), &entry, false, data);
}

void findClose(FindHandle handle) {
  std::unique_ptr<Search> owned(static_cast<Search*>(handle));  // ends the listing
}

}  // namespace platform
