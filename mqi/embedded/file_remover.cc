#include "mqi/embedded/file_remover.h"

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/host.h"

namespace mqi::embedded {
namespace {

void removeNow(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove(path, ec);  // a file already gone is what was wanted
}

// One per process. A forked child inherits a copy whose thread does not exist and whose mutex
// may be held for ever: it never touches that copy and makes its own.
struct Remover {
  int32_t owner = platform::currentProcessId();
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::string> paths;
  bool busy = false;  // the thread is deleting a file taken from `paths`
  bool ending = false;
  std::thread thread;
  Remover* inherited = nullptr;  // kept reachable, never used

  void run() {
    std::unique_lock lock(mutex);
    for (;;) {
      changed.wait(lock, [&] { return ending || !paths.empty(); });
      if (paths.empty()) return;
      std::string path = std::move(paths.front());
      paths.pop_front();
      busy = true;
      lock.unlock();
      removeNow(path);
      lock.lock();
      busy = false;
      changed.notify_all();
    }
  }

  void await() {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return paths.empty() && !busy; });
  }
};

// Never destroyed: the objects of other libraries may still delete files while the process
// ends, after the exit handler below has stopped the thread.
Remover* current = nullptr;
std::mutex creating;

void stopAtExit() {
  Remover* remover = current;
  if (remover == nullptr || remover->owner != platform::currentProcessId()) return;
  {
    std::lock_guard lock(remover->mutex);
    remover->ending = true;
  }
  remover->changed.notify_all();
  if (remover->thread.joinable()) remover->thread.join();
}

// The remover of this process, started on first use; null when no thread can be started.
Remover* remover() {
  std::lock_guard lock(creating);
  int32_t self = platform::currentProcessId();
  if (current != nullptr && current->owner == self) return current;
  auto made = std::make_unique<Remover>();
  try {
    made->thread = std::thread([r = made.get()] { r->run(); });
  } catch (const std::system_error&) {
    return nullptr;
  }
  if (current == nullptr) std::atexit(stopAtExit);
  made->inherited = current;
  current = made.release();  // for the life of the process
  return current;
}

}  // namespace

void removeFilesLater(std::vector<std::string> paths) {
  if (paths.empty()) return;
  if (Remover* r = remover()) {
    std::lock_guard lock(r->mutex);
    if (!r->ending) {
      for (std::string& path : paths) r->paths.push_back(std::move(path));
      r->changed.notify_all();
      return;
    }
  }
  for (const std::string& path : paths) removeNow(path);
}

void awaitFileRemovals() {
  Remover* r = nullptr;
  {
    std::lock_guard lock(creating);
    if (current != nullptr && current->owner == platform::currentProcessId()) r = current;
  }
  if (r != nullptr) r->await();
}

}  // namespace mqi::embedded
