// The idle server connections a process keeps between its sessions. The agents connect for
// every job; a new server connection costs a backend start and a password exchange, a kept one
// a single round trip.
#include <mutex>
#include <utility>
#include <vector>

#include "mqi/postgres/postgres.h"
#include "platform/host.h"

namespace mqi::pg {
namespace {

constexpr size_t kIdleLimit = 4;

struct Idle {
  std::string conninfo;
  Conn conn;
};

struct Pool {
  std::mutex mutex;
  int32_t pid = 0;
  std::vector<Idle> idle;  // oldest first
};

// Never destroyed: a forked child that exits must not close its parent's connections, and at
// the end of the process the system closes them anyway.
Pool& pool() {
  static Pool* p = new Pool;
  return *p;
}

// In a forked child the parent's connections are forgotten without a word to the server.
void forgetParentConnections(Pool& p) {
  int32_t pid = platform::currentProcessId();
  if (p.pid == pid) return;
  for (Idle& i : p.idle) i.conn.abandon();
  p.idle.clear();
  p.pid = pid;
}

// Whether a kept connection may serve a new session: still open as far as the socket tells,
// and no transaction or pipeline left open. Notifications that came while it was idle are
// dropped.
bool stillGood(Conn& conn) {
  PGconn* c = conn.raw();
  if (c == nullptr || PQstatus(c) != CONNECTION_OK) return false;
  if (PQtransactionStatus(c) != PQTRANS_IDLE || PQpipelineStatus(c) != PQ_PIPELINE_OFF)
    return false;
  if (PQconsumeInput(c) == 0 || PQstatus(c) != CONNECTION_OK) return false;
  while (PGnotify* n = PQnotifies(c)) PQfreemem(n);
  return true;
}

}  // namespace

const std::vector<std::string> kSessionReset = {"UNLISTEN *", "SELECT pg_advisory_unlock_all()",
                                                "RESET ALL"};

bool takeConnection(const std::string& conninfo, Conn& out) {
  Pool& p = pool();
  while (true) {
    Conn kept;
    {
      std::lock_guard<std::mutex> lock(p.mutex);
      forgetParentConnections(p);
      auto it = p.idle.end();
      while (it != p.idle.begin()) {
        --it;
        if (it->conninfo != conninfo) continue;
        kept = std::move(it->conn);
        p.idle.erase(it);
        break;
      }
    }
    if (kept.raw() == nullptr) break;
    if (stillGood(kept)) {
      out = std::move(kept);
      return true;
    }
  }
  return false;
}

void keepConnection(const std::string& conninfo, Conn&& conn) {
  if (!stillGood(conn)) return;  // closed as it goes out of scope
  Pool& p = pool();
  Conn evicted;
  std::lock_guard<std::mutex> lock(p.mutex);
  forgetParentConnections(p);
  if (p.idle.size() >= kIdleLimit) {
    evicted = std::move(p.idle.front().conn);
    p.idle.erase(p.idle.begin());
  }
  p.idle.push_back(Idle{conninfo, std::move(conn)});
}

size_t idleConnections() {
  Pool& p = pool();
  std::lock_guard<std::mutex> lock(p.mutex);
  forgetParentConnections(p);
  return p.idle.size();
}

}  // namespace mqi::pg
