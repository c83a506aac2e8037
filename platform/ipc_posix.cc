// The cross-process pieces on Linux: futexes on a shared file mapping, open-file-description
// byte locks (they belong to the open file, not the process, so two connections of one
// process are told apart, and they vanish when the process dies).
#include "platform/ipc.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <mutex>
#include <set>

namespace platform {
namespace {

// Every open LockFile descriptor, so that a forked child can drop its inherited copies.
std::mutex& registryMutex() {
  static std::mutex m;
  return m;
}
std::set<int>& openLockFds() {
  static std::set<int> fds;
  return fds;
}

void forkPrepare() { registryMutex().lock(); }
void forkParent() { registryMutex().unlock(); }
void forkChild() {
  // The mutex was taken by this thread in forkPrepare, so it is consistent here.
  for (int fd : openLockFds()) ::close(fd);
  openLockFds().clear();
  registryMutex().unlock();
}

void registerFd(int fd) {
  static std::once_flag once;
  std::call_once(once, [] { pthread_atfork(forkPrepare, forkParent, forkChild); });
  std::lock_guard<std::mutex> guard(registryMutex());
  openLockFds().insert(fd);
}

void unregisterFd(int fd) {
  std::lock_guard<std::mutex> guard(registryMutex());
  openLockFds().erase(fd);
}

struct flock byteLock(short type, uint32_t index) {
  struct flock fl = {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(index);
  fl.l_len = 1;
  fl.l_pid = 0;  // required for open-file-description locks
  return fl;
}

}  // namespace

void* mapSharedFile(const std::string& path, size_t size) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  struct stat st;
  if (::fstat(fd, &st) != 0 ||
      (static_cast<size_t>(st.st_size) < size && ::ftruncate(fd, static_cast<off_t>(size)) != 0)) {
    int saved = errno;
    ::close(fd);
    errno = saved;
    return nullptr;
  }
  void* address = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  int saved = errno;
  ::close(fd);
  errno = saved;
  return address == MAP_FAILED ? nullptr : address;
}

void unmapSharedFile(void* address, size_t size) {
  if (address != nullptr) ::munmap(address, size);
}

void waitOnWord(std::atomic<uint32_t>* word, uint32_t expected, int timeoutMs) {
  static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
  struct timespec relative;
  struct timespec* timeout = nullptr;
  if (timeoutMs >= 0) {
    relative.tv_sec = timeoutMs / 1000;
    relative.tv_nsec = static_cast<long>(timeoutMs % 1000) * 1000000L;
    timeout = &relative;
  }
  // Not FUTEX_PRIVATE: the word lives in a mapping shared between processes.
  ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT, expected, timeout,
            nullptr, 0);
}

void wakeWord(std::atomic<uint32_t>* word) {
  ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE, INT_MAX, nullptr,
            nullptr, 0);
}

LockFile::~LockFile() { close(); }

LockFile::LockFile(LockFile&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

LockFile& LockFile::operator=(LockFile&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

bool LockFile::open(const std::string& path) {
  close();
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  fd_ = fd;
  registerFd(fd);
  return true;
}

void LockFile::close() {
  if (fd_ < 0) return;
  unregisterFd(fd_);
  ::close(fd_);
  fd_ = -1;
}

bool LockFile::tryLock(uint32_t index) {
  struct flock fl = byteLock(F_WRLCK, index);
  return ::fcntl(fd_, F_OFD_SETLK, &fl) == 0;
}

bool LockFile::lock(uint32_t index) {
  struct flock fl = byteLock(F_WRLCK, index);
  while (::fcntl(fd_, F_OFD_SETLKW, &fl) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

void LockFile::unlock(uint32_t index) {
  struct flock fl = byteLock(F_UNLCK, index);
  ::fcntl(fd_, F_OFD_SETLK, &fl);
}

bool LockFile::isHeldElsewhere(uint32_t index) const {
  struct flock fl = byteLock(F_WRLCK, index);
  if (::fcntl(fd_, F_OFD_GETLK, &fl) != 0) return true;  // cannot tell: assume alive
  return fl.l_type != F_UNLCK;
}

std::string processUserName() {
  struct passwd entry;
  struct passwd* found = nullptr;
  char buffer[4096];
  uid_t uid = ::geteuid();
  if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr)
    return found->pw_name;
  return std::to_string(uid);
}

void closeInheritedLockFiles() {
  std::lock_guard<std::mutex> guard(registryMutex());
  for (int fd : openLockFds()) ::close(fd);
  openLockFds().clear();
}

}  // namespace platform
