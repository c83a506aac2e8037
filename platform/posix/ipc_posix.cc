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

#include <algorithm>
#include <cerrno>
#include <climits>
#include <mutex>
#include <set>
#include <string>
#include <vector>

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

// The files that flushFileData keeps open, by path, most recently used last.
struct FlushedFile {
  std::string path;
  int fd;
  dev_t device;
  ino_t inode;
};
constexpr size_t kFlushedFilesKept = 8;
std::mutex& flushedMutex() {
  static std::mutex m;
  return m;
}
std::vector<FlushedFile>& flushedFiles() {
  static std::vector<FlushedFile> files;
  return files;
}

void forkPrepare() {
  registryMutex().lock();
  flushedMutex().lock();
}
void forkParent() {
  flushedMutex().unlock();
  registryMutex().unlock();
}
void forkChild() {
  // The mutexes were taken by this thread in forkPrepare, so they are consistent here.
  for (int fd : openLockFds()) ::close(fd);
  openLockFds().clear();
  flushedMutex().unlock();
  registryMutex().unlock();
}

void watchForks() {
  static std::once_flag once;
  std::call_once(once, [] { pthread_atfork(forkPrepare, forkParent, forkChild); });
}

void registerFd(int fd) {
  watchForks();
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

bool identifyFile(const std::string& path, FileIdentity* out) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  *out = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  return true;
}

void* mapSharedFile(const std::string& path, size_t size, FileIdentity* identity) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  struct stat st;
  if (::fstat(fd, &st) != 0 ||
      (static_cast<size_t>(st.st_size) < size && ::ftruncate(fd, static_cast<off_t>(size)) != 0)) {
    int saved = errno;
    ::close(fd);
    errno = saved;
    return nullptr;
  }
  if (identity != nullptr)
    *identity = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
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

void wakeWord(std::atomic<uint32_t>* word, int count) {
  ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE, count, nullptr,
            nullptr, 0);
}

bool LockFile::open(const std::string& path) {
  close();
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
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

namespace {

bool flushFolderOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool flushed = ::fsync(fd) == 0;
  int saved = errno;
  ::close(fd);
  errno = saved;
  return flushed;
}

// The kept descriptor of the file now at `path`, opened (and its folder flushed) when the
// file is new to this process; -1 on failure. Called under flushedMutex().
int keptDescriptor(const std::string& path) {
  struct stat now;
  if (::stat(path.c_str(), &now) != 0) return -1;
  std::vector<FlushedFile>& files = flushedFiles();
  auto known = std::find_if(files.begin(), files.end(),
                            [&](const FlushedFile& f) { return f.path == path; });
  if (known != files.end()) {
    FlushedFile file = *known;
    files.erase(known);
    if (file.device == now.st_dev && file.inode == now.st_ino) {
      files.push_back(file);
      return file.fd;
    }
    ::close(file.fd);
  }
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat opened;
  if (::fstat(fd, &opened) != 0 || !flushFolderOf(path)) {
    int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  if (files.size() >= kFlushedFilesKept) {
    ::close(files.front().fd);
    files.erase(files.begin());
  }
  files.push_back({path, fd, opened.st_dev, opened.st_ino});
  return fd;
}

}  // namespace

bool flushFileData(const std::string& path) {
  watchForks();
  std::unique_lock<std::mutex> guard(flushedMutex());
  int fd = keptDescriptor(path);
  if (fd < 0) return false;
  // A duplicate lets the flush run without the mutex, beside flushes of other threads.
  int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  guard.unlock();
  if (own < 0) return false;
  bool flushed = ::fdatasync(own) == 0;
  int saved = errno;
  ::close(own);
  errno = saved;
  return flushed;
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
