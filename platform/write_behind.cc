#include "platform/write_behind.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace platform {

WriteBehind::~WriteBehind() {
  if (thread_ == nullptr) return;
  settle();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_->join();
}

bool WriteBehind::append(DataFile& file, int64_t offset, const void* data, size_t length) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (thread_ == nullptr) {
    for (Buffer& buffer : buffers_) buffer.bytes = std::make_unique<char[]>(kBufferBytes);
    thread_ = std::make_unique<std::thread>([this] { run(); });
  }
  const char* from = static_cast<const char*>(data);
  while (true) {
    if (error_ != 0) {
      errno = error_;
      return false;
    }
    Buffer& buffer = buffers_[filling_];
    if (buffer.used > 0 &&
        (buffer.file != &file || buffer.offset + static_cast<int64_t>(buffer.used) != offset)) {
      submitFilling(lock);
      continue;
    }
    if (buffer.used == 0) {
      buffer.file = &file;
      buffer.offset = offset;
    }
    size_t part = std::min(length, kBufferBytes - buffer.used);
    std::memcpy(buffer.bytes.get() + buffer.used, from, part);
    buffer.used += part;
    from += part;
    offset += static_cast<int64_t>(part);
    length -= part;
    if (buffer.used == kBufferBytes) submitFilling(lock);
    if (length == 0) return true;
  }
}

// Hands the buffer being filled to the thread and waits until the other one is free.
void WriteBehind::submitFilling(std::unique_lock<std::mutex>& lock) {
  queued_.push_back(filling_);
  changed_.notify_all();
  filling_ = 1 - filling_;
  changed_.wait(
      lock, [&] { return std::find(queued_.begin(), queued_.end(), filling_) == queued_.end(); });
}

bool WriteBehind::settle() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (thread_ == nullptr) return true;
  if (buffers_[filling_].used > 0) submitFilling(lock);
  changed_.wait(lock, [&] { return queued_.empty(); });
  errno = error_;
  return error_ == 0;
}

void WriteBehind::forgetFailure() {
  std::lock_guard<std::mutex> lock(mutex_);
  error_ = 0;
}

void WriteBehind::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    changed_.wait(lock, [&] { return stopping_ || !queued_.empty(); });
    if (queued_.empty()) return;
    Buffer& buffer = buffers_[queued_.front()];
    lock.unlock();
    int error = 0;
    if (buffer.file->writeAt(buffer.offset, buffer.bytes.get(), buffer.used))
      startWriteback(buffer);
    else
      error = errno;
    lock.lock();
    if (error_ == 0) error_ = error;
    buffer.used = 0;
    queued_.pop_front();
    changed_.notify_all();
  }
}

// After a buffer was written: once the file crossed a multiple of kWritebackStep, the step
// before it starts on its way to the disk.
void WriteBehind::startWriteback(const Buffer& buffer) {
  int64_t end = buffer.offset + static_cast<int64_t>(buffer.used);
  int64_t stepEnd = end / kWritebackStep * kWritebackStep;
  if (stepEnd > buffer.offset && stepEnd >= kWritebackStep)
    buffer.file->startWriteback(stepEnd - kWritebackStep, kWritebackStep);
}

}  // namespace platform
