// The cross-process pieces on Windows: a file mapping for the shared counters, a named
// semaphore per word for the sleepers, and LockFileEx byte locks (they belong to the handle,
// so two connections of one process are told apart, and the system drops them when the
// process dies).
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "platform/ipc.h"
#include "platform/windows/windows_error.h"

namespace platform {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Without a futex a sleeper looks at its word again after this long, in case the waker
// released fewer permits than there were sleepers.
constexpr DWORD kRecheckMs = 50;
// The permits one wake releases at most: enough for the sleepers of one queue manager, few
// enough that permits left over by a wake that found fewer sleepers cost little.
constexpr LONG kWakePermits = 64;

HANDLE handleOf(intptr_t fd) {
  return reinterpret_cast<HANDLE>(fd);
}

bool identifyHandle(HANDLE file, FileIdentity* out) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) return windows::failLastErrorAsErrno();
  *out = {info.dwVolumeSerialNumber,
          (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
  return true;
}

// The mappings of this process, so that a word's wake-up object is named after the file and
// the word's offset in it, which every process that maps the file agrees on.
struct Mapping {
  size_t size;
  FileIdentity file;
};
struct Mappings {
  std::mutex mutex;
  std::map<const char*, Mapping> byAddress;
  std::map<const void*, HANDLE> semaphores;  // by word address, opened on first use
};
Mappings& mappings() {
  static Mappings* all = new Mappings;  // never destroyed: threads may outlive statics
  return *all;
}

// The semaphore of the word at `word`, or nullptr when the word lies in no mapping of
// mapSharedFile (a word of this process alone then has no sleepers elsewhere to wake).
HANDLE semaphoreOf(const void* word) {
  Mappings& all = mappings();
  std::lock_guard<std::mutex> guard(all.mutex);
  auto known = all.semaphores.find(word);
  if (known != all.semaphores.end()) return known->second;
  const char* address = static_cast<const char*>(word);
  auto mapping = all.byAddress.upper_bound(address);
  if (mapping == all.byAddress.begin()) return nullptr;
  --mapping;
  const size_t offset = static_cast<size_t>(address - mapping->first);
  if (offset >= mapping->second.size) return nullptr;
  const std::string name = "Local\\qtransfer-wake-" + std::to_string(mapping->second.file.device) +
                           "-" + std::to_string(mapping->second.file.inode) + "-" +
                           std::to_string(offset);
  HANDLE semaphore = CreateSemaphoreA(nullptr, 0, LONG_MAX, name.c_str());
  if (semaphore != nullptr) all.semaphores[word] = semaphore;
  return semaphore;
}

// The byte locks each open LockFile holds, by handle: LockFileEx cannot tell a lock of this
// handle from one of another.
struct HeldLocks {
  std::mutex mutex;
  std::map<intptr_t, std::set<uint32_t>> byHandle;
};
HeldLocks& heldLocks() {
  static HeldLocks* held = new HeldLocks;
  return *held;
}

void noteHeld(intptr_t fd, uint32_t index, bool held) {
  std::lock_guard<std::mutex> guard(heldLocks().mutex);
  if (held) {
    heldLocks().byHandle[fd].insert(index);
  } else {
    heldLocks().byHandle[fd].erase(index);
  }
}

bool holdsItself(intptr_t fd, uint32_t index) {
  std::lock_guard<std::mutex> guard(heldLocks().mutex);
  auto it = heldLocks().byHandle.find(fd);
  return it != heldLocks().byHandle.end() && it->second.count(index) != 0;
}

bool lockByte(intptr_t fd, uint32_t index, DWORD flags) {
  OVERLAPPED position = {};
  position.Offset = index;
  return LockFileEx(handleOf(fd), flags, 0, 1, 0, &position) != 0;
}

bool unlockByte(intptr_t fd, uint32_t index) {
  OVERLAPPED position = {};
  position.Offset = index;
  return UnlockFileEx(handleOf(fd), 0, 1, 0, &position) != 0;
}

}  // namespace

bool identifyFile(const std::string& path, FileIdentity* out) {
  // No access asked: the identity can be read while others hold the file in any mode.
  HANDLE file = CreateFileA(path.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return windows::failLastErrorAsErrno();
  const bool known = identifyHandle(file, out);
  CloseHandle(file);
  return known;
}

void* mapSharedFile(const std::string& path, size_t size, FileIdentity* identity) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    windows::failLastErrorAsErrno();
    return nullptr;
  }
  FileIdentity mapped;
  LARGE_INTEGER length;
  void* address = nullptr;
  if (identifyHandle(file, &mapped) && GetFileSizeEx(file, &length)) {
    // A mapping larger than its file lengthens the file, zero-filled.
    HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READWRITE,
                                        static_cast<DWORD>(static_cast<uint64_t>(size) >> 32),
                                        static_cast<DWORD>(size & 0xffffffffu), nullptr);
    if (mapping != nullptr) {
      address = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, size);
      if (address == nullptr) windows::failLastErrorAsErrno();
      CloseHandle(mapping);  // the view keeps the mapping
    } else {
      windows::failLastErrorAsErrno();
    }
  } else {
    windows::failLastErrorAsErrno();
  }
  CloseHandle(file);
  if (address == nullptr) return nullptr;
  if (identity != nullptr) *identity = mapped;
  std::lock_guard<std::mutex> guard(mappings().mutex);
  mappings().byAddress[static_cast<const char*>(address)] = {size, mapped};
  return address;
}

void unmapSharedFile(void* address, size_t size) {
  if (address == nullptr) return;
  {
    Mappings& all = mappings();
    std::lock_guard<std::mutex> guard(all.mutex);
    const char* begin = static_cast<const char*>(address);
    all.byAddress.erase(begin);
    for (auto it = all.semaphores.lower_bound(begin);
         it != all.semaphores.end() && static_cast<const char*>(it->first) < begin + size;) {
      CloseHandle(it->second);
      it = all.semaphores.erase(it);
    }
  }
  UnmapViewOfFile(address);
}

void waitOnWord(std::atomic<uint32_t>* word, uint32_t expected, int timeoutMs) {
  HANDLE semaphore = semaphoreOf(word);
  const ULONGLONG deadline = timeoutMs < 0 ? 0 : GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
  // Wakers change the word before they wake: a permit taken while the word still holds the
  // expected value was left by an earlier wake that found fewer sleepers, and only makes this
  // look at the word once more.
  while (word->load() == expected) {
    DWORD slice = kRecheckMs;
    if (timeoutMs >= 0) {
      const ULONGLONG now = GetTickCount64();
      if (now >= deadline) return;
      slice = static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, kRecheckMs));
    }
    if (semaphore == nullptr) {
      Sleep(slice);
    } else {
      WaitForSingleObject(semaphore, slice);
    }
  }
}

void wakeWord(std::atomic<uint32_t>* word, int count) {
  HANDLE semaphore = semaphoreOf(word);
  if (semaphore == nullptr || count <= 0) return;
  ReleaseSemaphore(semaphore, std::min<LONG>(count, kWakePermits), nullptr);
}

bool LockFile::open(const std::string& path) {
  close();
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return windows::failLastErrorAsErrno();
  fd_ = reinterpret_cast<intptr_t>(file);
  return true;
}

void LockFile::close() {
  if (!isOpen()) return;
  {
    std::lock_guard<std::mutex> guard(heldLocks().mutex);
    heldLocks().byHandle.erase(fd_);
  }
  CloseHandle(handleOf(fd_));  // releases the handle's locks
  fd_ = -1;
}

bool LockFile::tryLock(uint32_t index) {
  if (!lockByte(fd_, index, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY))
    return windows::failLastErrorAsErrno();
  noteHeld(fd_, index, true);
  return true;
}

bool LockFile::lock(uint32_t index) {
  if (!lockByte(fd_, index, LOCKFILE_EXCLUSIVE_LOCK)) return windows::failLastErrorAsErrno();
  noteHeld(fd_, index, true);
  return true;
}

void LockFile::unlock(uint32_t index) {
  if (unlockByte(fd_, index)) noteHeld(fd_, index, false);
}

bool LockFile::isHeldElsewhere(uint32_t index) const {
  if (holdsItself(fd_, index)) return false;
  if (!lockByte(fd_, index, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY)) return true;
  unlockByte(fd_, index);
  return false;
}

void closeInheritedLockFiles() {
  // Windows has no fork: a child never holds its parent's handles unless given them.
}

bool flushFileData(const std::string& path) {
  // A handle opened for each flush: one kept open would keep the name of a log that SQLite
  // deletes from being made again until the handle is closed.
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return windows::failLastErrorAsErrno();
  const bool flushed = FlushFileBuffers(file) || windows::failLastErrorAsErrno();
  CloseHandle(file);
  return flushed;
}

std::string processUserName() {
  char name[257] = {};
  DWORD size = sizeof name;
  if (GetUserNameA(name, &size)) return name;
  return std::string();  // a process with no user name has none to report
}

}  // namespace platform
