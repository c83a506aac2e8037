// For the tests of writes that fail past a size (POSIX only): a limit on the size of the files
// that this process and its children write, with SIGXFSZ ignored so that a write past it fails
// with EFBIG rather than ending the process. Both are put back when the object goes, whatever
// the test does in between.
#ifndef QT_PLATFORM_TEST_FILE_SIZE_LIMIT_H
#define QT_PLATFORM_TEST_FILE_SIZE_LIMIT_H

#include <sys/resource.h>

#include <csignal>

namespace platform {

class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ok_ = getrlimit(RLIMIT_FSIZE, &saved_) == 0;
    if (!ok_) return;
    action_ = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved_;
    small.rlim_cur = bytes;
    ok_ = setrlimit(RLIMIT_FSIZE, &small) == 0;
  }
  ~FileSizeLimit() {
    if (action_ == SIG_ERR) return;
    setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, action_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

  bool ok() const { return ok_; }

 private:
  struct rlimit saved_ {};
  void (*action_)(int) = SIG_ERR;
  bool ok_ = false;
};

}  // namespace platform

#endif  // QT_PLATFORM_TEST_FILE_SIZE_LIMIT_H
