// Writes handed to a thread of their own, so that putting a program's bytes into a file's
// pages overlaps the program's next work (a delivery's next get).
#ifndef QT_PLATFORM_WRITE_BEHIND_H
#define QT_PLATFORM_WRITE_BEHIND_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/data_file.h"

namespace platform {

// The caller's bytes are copied into one of two buffers, which the thread writes whole, in
// order, each at the offset of its first byte. A write that fails is reported by every later
// call (errno set) until forgetFailure(): the bytes of earlier appends may be lost.
class WriteBehind {
 public:
  WriteBehind() = default;
  ~WriteBehind();
  WriteBehind(const WriteBehind&) = delete;
  WriteBehind& operator=(const WriteBehind&) = delete;

  // The bytes go to `file` at `offset`, which follows the bytes appended before unless
  // settle() came between. False (errno set) when an earlier write failed.
  bool append(DataFile& file, int64_t offset, const void* data, size_t length);
  // Waits until every byte appended is in the file. False (errno set) when a write failed.
  bool settle();
  // After settle(): the bytes of the failed write are given up, and appends work again.
  void forgetFailure();
  // A forked child's copy: its thread runs only in the parent, so it is never joined here.
  void abandon() { thread_.release(); }

  // Each buffer's size; a power of two that divides kWritebackStep.
  static constexpr size_t kBufferBytes = size_t{512} << 10;
  // Bytes are handed to the disk in steps of this size as they come, so that a flush at the
  // end waits for little more than the last step.
  static constexpr int64_t kWritebackStep = int64_t{8} << 20;

 private:
  struct Buffer {
    std::unique_ptr<char[]> bytes;
    DataFile* file = nullptr;
    int64_t offset = 0;
    size_t used = 0;
  };
  void submitFilling(std::unique_lock<std::mutex>& lock);
  void run();
  static void startWriteback(const Buffer& buffer);

  std::mutex mutex_;
  std::condition_variable changed_;
  Buffer buffers_[2];
  int filling_ = 0;
  std::deque<int> queued_;  // buffers for the thread, oldest (the one it writes) first
  bool stopping_ = false;
  int error_ = 0;  // errno of the first failed write, until forgetFailure()
  std::unique_ptr<std::thread> thread_;
};

}  // namespace platform

#endif  // QT_PLATFORM_WRITE_BEHIND_H
