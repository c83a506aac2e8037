// qmctl serve: the live web dashboard of queue managers, queues, transfers and held files.
//
// One HTTP server on cpp-httplib. GET / is one self-contained page (nothing fetched from
// elsewhere) that polls GET /api/state once a second. The API answers JSON:
//   GET  /api/state               the snapshot the page draws (see buildSnapshot)
//   GET  /api/qmgrs               as `qmctl list --json`
//   GET  /api/queues?qm=QM        as `qmctl queues QM --json`, each with "uncommitted"
//   POST /api/inhibit?qm=&queue=&op=get|put   and  /api/allow?...
//   POST /api/move?qm=&queue=&msgid=HEX       a held group back to where it came from
// Actions answer 403 unless the server was started with --allow-actions, and 401 unless the
// request carries the start-up token in the X-Qmctl-Token header. A bad request gets a 4xx
// with a JSON {"error": text}; a store that fails shows up as "error" fields, never as a
// failed page. Calls on the store are made one at a time.
#ifndef QT_TOOLS_QMCTL_DASHBOARD_H
#define QT_TOOLS_QMCTL_DASHBOARD_H

#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "mqi/admin.h"
#include "mqi/mqi.h"

namespace qmctl {

struct DashboardConfig {
  std::string host = "127.0.0.1";
  int port = 8080;                       // 0: any free port
  std::vector<std::string> qmgrs;        // empty: every queue manager of the store
  std::vector<std::string> replyQueues;  // browsed for LOAD_STATUS and DLVR_STATUS records
  std::vector<std::string> deferredQueues;  // qdrop's deferred queues
  std::vector<std::string> deadQueues;      // qroute's dead-letter queues
  std::string deliveryQueue;  // where a deferred group goes back ("" : not offered)
  std::string receiverQueue;  // where a dead-lettered group goes back ("" : not offered)
  bool allowActions = false;
};

// Bytes of one data segment of qfeed: an uncommitted put on a receiver queue carries this much.
constexpr int64_t kLoadSegmentBytes = 24575;

// The state of every configured queue manager, its queues, its in-flight loads, its latest
// status records and its held groups. Never fails: what cannot be read is an "error" field.
nlohmann::json buildSnapshot(const DashboardConfig& config);

// Moves every message of group `msgId` from `from` to `to` in one unit of work, keeping
// descriptors and context; returns how many moved.
mqi::Result<int64_t> moveGroup(const std::string& qmgr, const std::string& from,
                               const std::string& to, const MQBYTE24 msgId);

// The page itself.
std::string_view dashboardPage();

// Runs the server until SIGINT or SIGTERM; returns the exit code.
int serveDashboard(const DashboardConfig& config);

void addServeCommand(CLI::App& app, int& exitCode);

}  // namespace qmctl

#endif  // QT_TOOLS_QMCTL_DASHBOARD_H
