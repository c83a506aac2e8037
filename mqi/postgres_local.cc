// What a session can tell about other sessions of its own machine: whether their client
// process still lives. The server only learns that a client died when it next reads from the
// connection; a process on the same machine can tell at once.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "mqi/postgres_store.h"

namespace mqi::pg {

// Host name, boot and process-id namespace: two processes with the same key see the same
// process ids. Containers on one host differ in the namespace, so none reaps another's.
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

int32_t clientProcessId() { return static_cast<int32_t>(getpid()); }

bool processGone(int32_t pid) {
  if (pid <= 0) return false;
  return kill(pid, 0) != 0 && errno == ESRCH;
}

}  // namespace mqi::pg
