// The thread that renews the leases of a process's sessions while they are idle between calls
// (see LeaseHolder in postgres.h). It is started with the first session and sleeps while the
// process has none.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <thread>
#include <vector>

#include "mqi/postgres/postgres.h"
#include "platform/host.h"

namespace mqi::pg {
namespace {

constexpr auto kLook = std::chrono::milliseconds(200);

struct Renewer {
  explicit Renewer(int32_t processId) : pid(processId) {}
  const int32_t pid;
  std::mutex mutex;  // held for a whole round of renewals
  std::condition_variable wake;
  std::vector<LeaseHolder*> holders;
  bool running = false;
};

// One renewer per process. A forked child gets a new one: the parent's thread did not come
// along, and its lock may have been held at the fork. The old one is left as it is.
Renewer& renewer() {
  static std::atomic<Renewer*> current{nullptr};
  int32_t pid = platform::currentProcessId();
  Renewer* r = current.load();
  while (r == nullptr || r->pid != pid) {
    auto* fresh = new Renewer(pid);
    if (current.compare_exchange_strong(r, fresh)) return *fresh;
    delete fresh;
  }
  return *r;
}

[[noreturn]] void renewLoop(Renewer* r) {
  std::unique_lock<std::mutex> lock(r->mutex);
  for (;;) {
    if (r->holders.empty())
      r->wake.wait(lock);
    else
      r->wake.wait_for(lock, kLook);
    auto now = std::chrono::steady_clock::now();
    for (LeaseHolder* h : r->holders) {
      std::unique_lock<std::recursive_mutex> idle(h->callLock, std::try_to_lock);
      if (idle.owns_lock() && h->leaseDue(now)) h->renewIdle();
    }
  }
}

}  // namespace

void keepLeaseRenewed(LeaseHolder* holder) {
  Renewer& r = renewer();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.holders.push_back(holder);
  r.wake.notify_one();
  if (r.running) return;
  // Never joined: it lives as long as the process (a detached thread ends with it).
  std::thread(renewLoop, &r).detach();
  r.running = true;
}

void stopRenewing(LeaseHolder* holder) {
  Renewer& r = renewer();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.holders.erase(std::remove(r.holders.begin(), r.holders.end(), holder), r.holders.end());
}

}  // namespace mqi::pg
