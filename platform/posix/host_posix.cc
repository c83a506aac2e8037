// The machine's identity and process checks on Linux.
#include "platform/host.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>

namespace platform {

const std::string& machineKey() {
  static const std::string key = [] {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    std::string boot;
    std::ifstream("/proc/sys/kernel/random/boot_id") >> boot;
    std::error_code ec;
    std::string ns = std::filesystem::read_symlink("/proc/self/ns/pid", ec).string();
    return std::string(host) + "/" + boot + "/" + ns;
  }();
  return key;
}

namespace {

// Every MQI call asks (to notice a forked child), and a system call each time shows in the
// profile of a busy road; a child forgets the parent's value as fork() returns.
std::atomic<int32_t> knownProcessId{0};

void forgetProcessId() { knownProcessId.store(0, std::memory_order_relaxed); }

}  // namespace

int32_t currentProcessId() {
  int32_t pid = knownProcessId.load(std::memory_order_relaxed);
  if (pid != 0) return pid;
  static const bool registered = pthread_atfork(nullptr, nullptr, forgetProcessId) == 0;
  pid = static_cast<int32_t>(getpid());
  if (registered) knownProcessId.store(pid, std::memory_order_relaxed);
  return pid;
}

const char* programName() { return program_invocation_short_name; }

bool processGone(int32_t pid) {
  if (pid <= 0) return false;
  return kill(pid, 0) != 0 && errno == ESRCH;
}

bool waitSocketReadable(intptr_t socket, int timeoutMs) {
  if (socket < 0) return false;
  pollfd fd = {static_cast<int>(socket), POLLIN, 0};
  return poll(&fd, 1, timeoutMs) > 0;
}

}  // namespace platform
