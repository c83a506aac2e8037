// Cross-process pieces of the queue manager layer: a shared mapped file of counters that
// processes can sleep on, and byte locks that die with the process holding them.
//
// A call that fails returns false (or nullptr) and leaves the system's code in errno (on
// Windows a C library code that matches the Win32 one, which lastError() holds).
#ifndef QT_PLATFORM_IPC_H
#define QT_PLATFORM_IPC_H

#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// Which file a path names: two names of one file give equal identities. A file that is
// deleted while still open or mapped keeps its identity from being given to another.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};
bool identifyFile(const std::string& path, FileIdentity* out);

// A file mapped shared into memory. The file is created zero-filled at the given size when
// missing (or shorter). The mapping stays valid until unmapSharedFile. When `identity` is
// given it receives the identity of the file mapped.
void* mapSharedFile(const std::string& path, size_t size, FileIdentity* identity = nullptr);
void unmapSharedFile(void* address, size_t size);

// Sleeps while *word == expected, at most timeoutMs milliseconds (negative: no limit). Works
// across processes on a mapping of mapSharedFile. Returns when woken, on timeout, on a
// signal, or at once when the value already differs; callers re-check their condition.
void waitOnWord(std::atomic<uint32_t>* word, uint32_t expected, int timeoutMs);
// Wakes processes sleeping in waitOnWord on that word: all of them, or at most `count`.
void wakeWord(std::atomic<uint32_t>* word, int count = INT_MAX);

// A lock file whose bytes are locks owned by one open file: a byte locked through one
// LockFile stays locked until that LockFile is closed or the byte released, or the process
// dies. Another LockFile (also in the same process) sees the byte as held. The descriptor is
// closed on exec; closeInheritedLockFiles() drops the copies a forked child inherited.
class LockFile {
 public:
  LockFile() = default;
  ~LockFile() { close(); }
  LockFile(const LockFile&) = delete;
  LockFile& operator=(const LockFile&) = delete;
  LockFile(LockFile&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  LockFile& operator=(LockFile&& other) noexcept {
    if (this != &other) {
      close();
      fd_ = other.fd_;
      other.fd_ = -1;
    }
    return *this;
  }

  bool open(const std::string& path);  // created when missing
  bool isOpen() const { return fd_ != -1; }
  void close();
  // Takes an exclusive lock on byte `index` without waiting; false when another holds it.
  bool tryLock(uint32_t index);
  // Takes an exclusive lock on byte `index`, waiting for it.
  bool lock(uint32_t index);
  void unlock(uint32_t index);
  // True when some other LockFile (any process) holds byte `index`.
  bool isHeldElsewhere(uint32_t index) const;
  // Forgets the descriptor without closing it: for a LockFile a forked child inherited, whose
  // descriptor closeInheritedLockFiles() already closed (its number may be reused since).
  void abandon() { fd_ = -1; }

 private:
  intptr_t fd_ = -1;  // a descriptor, or a Windows file handle
};

// In a child after fork(): closes the descriptors of every LockFile the parent had open so
// that the child does not keep the parent's locks alive. Registered automatically.
void closeInheritedLockFiles();

// Forces the data of the file at `path`, which other code writes, to stable storage. The
// descriptor used for it stays open for later calls (a few paths are remembered); the first
// time a file is met, and again once another file took its place at that path, the folder
// holding it is forced too, so that the file itself is found after a crash. Because a file
// could be replaced at any moment, the caller must know that it is not: for instance by
// holding it open, as a database connection holds its log.
bool flushFileData(const std::string& path);

// The name of the user the process runs as (the numeric id as text when it has no name).
std::string processUserName();

}  // namespace platform

#endif  // QT_PLATFORM_IPC_H
