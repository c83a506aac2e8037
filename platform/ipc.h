// Cross-process pieces of the queue manager layer: a shared mapped file of counters that
// processes can sleep on, and byte locks that die with the process holding them.
//
// A call that fails returns false (or nullptr) and leaves the system's code in errno.
#ifndef QT_PLATFORM_IPC_H
#define QT_PLATFORM_IPC_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// A file mapped shared into memory. The file is created zero-filled at the given size when
// missing (or shorter). The mapping stays valid until unmapSharedFile.
void* mapSharedFile(const std::string& path, size_t size);
void unmapSharedFile(void* address, size_t size);

// Sleeps while *word == expected, at most timeoutMs milliseconds (negative: no limit). Works
// across processes on a mapping of mapSharedFile. Returns when woken, on timeout, on a
// signal, or at once when the value already differs; callers re-check their condition.
void waitOnWord(std::atomic<uint32_t>* word, uint32_t expected, int timeoutMs);
// Wakes every process sleeping in waitOnWord on that word.
void wakeWord(std::atomic<uint32_t>* word);

// A lock file whose bytes are locks owned by one open file: a byte locked through one
// LockFile stays locked until that LockFile is closed or the byte released, or the process
// dies. Another LockFile (also in the same process) sees the byte as held. The descriptor is
// closed on exec; closeInheritedLockFiles() drops the copies a forked child inherited.
class LockFile {
 public:
  LockFile() = default;
  ~LockFile();
  LockFile(const LockFile&) = delete;
  LockFile& operator=(const LockFile&) = delete;
  LockFile(LockFile&& other) noexcept;
  LockFile& operator=(LockFile&& other) noexcept;

  bool open(const std::string& path);  // created when missing
  bool isOpen() const { return fd_ >= 0; }
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
  int fd_ = -1;
};

// In a child after fork(): closes the descriptors of every LockFile the parent had open so
// that the child does not keep the parent's locks alive. Registered automatically.
void closeInheritedLockFiles();

// The name of the user the process runs as (the numeric id as text when it has no name).
std::string processUserName();

}  // namespace platform

#endif  // QT_PLATFORM_IPC_H
