// The machine's identity and process checks on Linux.
#include "platform/host.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

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

int32_t currentProcessId() { return static_cast<int32_t>(getpid()); }

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
