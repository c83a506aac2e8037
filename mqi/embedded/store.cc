// Administration of the embedded store: a data folder with one folder per queue manager and
// a file "default.qmgr" naming the queue manager that a blank MQCONN name reaches.
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "mqi/embedded/embedded.h"
#include "mqi/embedded/embedded_store.h"
#include "mqi/embedded/payload_files.h"
#include "mqi/embedded/sqlite_util.h"
#include "mqi/store/admin_rules.h"
#include "mqi/store/names.h"
#include "platform/host.h"
#include "platform/platform.h"

namespace mqi::embedded {
namespace {

namespace fs = std::filesystem;
using sqlite::Stmt;
using sqlite::Use;

constexpr int kQuiesceSeconds = 10;
// The attempts to delete a queue manager's folder, 50 ms apart.
constexpr int kDeleteAttempts = 40;

// An administrative handle on one queue manager: its database, shared area and slot locks.
// Opening it backs out the work of dead connections, so counts read through it are fresh.
class QmAccess {
 public:
  ~QmAccess() {
    if (db_ != nullptr) sqlite3_close_v2(db_);
    if (shared_) shared_->area()->adminChanges.fetch_add(1);
  }
  Status open(const std::string& dataFolder, const std::string& name) {
    folder_ = folderFor(dataFolder, name);
    if (!isValidName(name) || !fs::exists(databasePath(folder_)))
      return Status::Error("queue manager " + name + " does not exist", 2058);
    name_ = name;
    if (int rc = sqlite::openDatabase(databasePath(folder_), false, &db_); rc != SQLITE_OK)
      return unusable(databasePath(folder_), sqlite3_errmsg(db_), rc);
    if (int rc = upgradeSchema(db_); rc != SQLITE_OK)
      return rc == SQLITE_CANTOPEN ? Status::Error("the data of " + name +
                                                       " was written by a newer version of"
                                                       " qtransfer; run that version's qmctl",
                                                   2059)
                                   : unusable(databasePath(folder_), sqlite3_errmsg(db_), rc);
    std::string problem;
    shared_ = SharedMap::open(folder_, &problem);
    if (!shared_) return unusable(folder_ + "/shared", problem, SharedMap::sqliteCodeOf(problem));
    if (!locks_.open(lockPath(folder_)) || !registerClaimed(db_, *shared_))
      return unusable(lockPath(folder_), systemErrorText());
    if (!readState())
      return unusable(databasePath(folder_), sqlite3_errmsg(db_), sqlite3_errcode(db_));
    reapDeadConnections(db_, *shared_, locks_, kSlots);
    reapOrphanedConnections(db_, *shared_, locks_);
    removeUnlistedPayloadFiles(db_, folder_);
    return Status::Ok();
  }
  // The store cannot be used as it is: which file, what is wrong, and what to do.
  Status unusable(const std::string& file, const std::string& error, int sqliteCode = 0) const {
    return Status::Error(unusableStoreText(file, error, sqliteCode, name_), MQRC_UNEXPECTED_ERROR);
  }
  sqlite3* db() const { return db_; }
  SharedMap& shared() { return *shared_; }
  SharedArea* area() { return shared_->area(); }
  platform::LockFile& locks() { return locks_; }
  const std::string& folder() const { return folder_; }
  // A failure of damaged pages names the database and says what to do.
  Status sqlError(const std::string& what) {
    int code = sqlite3_errcode(db_) & 0xff;
    if (code == SQLITE_CORRUPT || code == SQLITE_NOTADB)
      return unusable(databasePath(folder_), sqlite3_errmsg(db_), code).withContext(what);
    return Status::Error(sqlite3_errmsg(db_), sqlite::reasonFor(sqlite3_errcode(db_)))
        .withContext(what);
  }
  int32_t liveConnections() {
    int32_t n = 0;
    uint32_t high = std::min(area()->highSlot.load(), kSlots);
    for (uint32_t i = 0; i < high; ++i)
      if (area()->slots[i].connectionId.load() != 0 && locks_.isHeldElsewhere(i)) ++n;
    return n;
  }
  void loadState() { readState(true); }

 private:
  // Reads the queue manager's row (which proves the database readable) and, when the shared
  // area does not know it yet or `force`, copies its state there.
  bool readState(bool force = false) {
    Stmt q;
    if (!q.prepare(db_, "SELECT running, epoch FROM qmgr")) return false;
    Use use(q);
    if (!use.row()) return false;
    if (!force && area()->state.load() != kUnknown) return true;
    area()->epoch.store(static_cast<uint32_t>(use.i64(1)));
    area()->state.store(use.i64(0) != 0 ? kRunning : kStopped);
    return true;
  }

  std::string name_;
  std::string folder_;
  sqlite3* db_ = nullptr;
  std::shared_ptr<SharedMap> shared_;
  platform::LockFile locks_;
};

Status run(QmAccess& qm, const std::string& sql) {
  if (sqlite::exec(qm.db(), sql.c_str()) != SQLITE_OK) return qm.sqlError("database error");
  return Status::Ok();
}

// Runs one statement with the queue id as ?1 (and `value` as ?2).
Status runFor(QmAccess& qm, const std::string& sql, int64_t queueId, int64_t value = 0) {
  Stmt stmt;
  if (!stmt.prepare(qm.db(), sql)) return qm.sqlError("database error");
  Use use(stmt);
  use.bind(1, queueId).bind(2, value);
  if (use.run() != SQLITE_DONE) return qm.sqlError("database error");
  return Status::Ok();
}

// Inside the caller's transaction: deletes the messages of a queue that `where` (more
// conditions on messages, or empty) selects, with their payload rows; returns how many.
Result<int64_t> removeMessages(QmAccess& qm, int64_t queueId, const std::string& where) {
  const std::string chosen = "SELECT id FROM messages WHERE queue_id=?1" + where;
  if (Status s = runFor(qm, "DELETE FROM payloads WHERE id IN (" + chosen + ")", queueId); !s.ok())
    return s;
  if (Status s = runFor(qm, "DELETE FROM messages WHERE id IN (" + chosen + ")", queueId); !s.ok())
    return s;
  return static_cast<int64_t>(sqlite3_changes(qm.db()));
}

struct Field {
  const char* column;
  const std::optional<int32_t>* value;
};

std::vector<Field> fieldsOf(const QueueAttributes& a) {
  return {{"max_msg_length", &a.maxMsgLength},      {"max_depth", &a.maxQDepth},
          {"def_priority", &a.defPriority},         {"def_persistence", &a.defPersistence},
          {"def_input", &a.defInputOpenOption},     {"shareability", &a.shareability},
          {"delivery_seq", &a.msgDeliverySequence}, {"inhibit_get", &a.inhibitGet},
          {"inhibit_put", &a.inhibitPut},           {"backout_threshold", &a.backoutThreshold}};
}

class EmbeddedStore : public Store {
 public:
  explicit EmbeddedStore(std::string folder) : folder_(std::move(folder)) {}

  int32_t connect(const std::string& name, std::unique_ptr<Session>& out) override {
    if (!isValidName(name) || !queueManagerExists(name)) return MQRC_Q_MGR_NAME_ERROR;
    return connectSession(folderFor(folder_, name), out);
  }

  std::string defaultQueueManager() override {
    std::ifstream in(folder_ + "/default.qmgr", std::ios::binary);
    std::string name;
    std::getline(in, name);
    if (!name.empty() && name.back() == '\r') name.pop_back();  // a line edited on Windows
    return name;
  }

  bool queueManagerExists(const std::string& name) override {
    return isValidName(name) && fs::exists(databasePath(folderFor(folder_, name)));
  }

  Status createQueueManager(const std::string& name, const QueueManagerOptions& o) override;
  Status startQueueManager(const std::string& name) override;
  Status stopQueueManager(const std::string& name, bool quiesce) override;
  Status deleteQueueManager(const std::string& name) override;
  Result<std::vector<QueueManagerInfo>> listQueueManagers() override;
  Result<QueueManagerInfo> describeQueueManager(const std::string& name) override;
  Status setDefaultQueueManager(const std::string& name) override;
  Status setMaxUncommittedMsgs(const std::string& name, int32_t value) override;
  Status alterQueueManager(const std::string& name, const QueueManagerChanges& c) override;
  Result<StoreSpace> measureSpace(const std::string& name) override;
  Result<CompactReport> compactQueueManager(const std::string& name) override;
  Result<CheckReport> checkQueueManager(const std::string& name) override;
  Result<std::vector<SessionInfo>> listSessions(const std::string& qmgr) override;
  Result<SessionEnd> endSession(const std::string& qmgr, int64_t sessionId) override;
  Status defineQueue(const std::string& qmgr, const std::string& queue,
                     const QueueAttributes& attributes) override;
  Status alterQueue(const std::string& qmgr, const std::string& queue,
                    const QueueAttributes& attributes) override;
  Status deleteQueue(const std::string& qmgr, const std::string& queue, bool purge) override;
  Result<int64_t> clearQueue(const std::string& qmgr, const std::string& queue) override;
  Result<std::vector<QueueInfo>> listQueues(const std::string& qmgr) override;
  Result<QueueInfo> describeQueue(const std::string& qmgr, const std::string& queue) override;

 private:
  // Opens the queue manager into qm and finds the queue's id.
  Result<int64_t> openQueue(QmAccess& qm, const std::string& qmgr, const std::string& queue);
  Result<QueueInfo> readQueue(QmAccess& qm, int64_t id);
  void stopNow(QmAccess& qm);

  std::string folder_;
};

Status EmbeddedStore::createQueueManager(const std::string& name, const QueueManagerOptions& o) {
  if (Status s = checkQueueManagerName(name); !s.ok()) return s;
  std::error_code ec;
  fs::create_directories(folder_, ec);
  std::string folder = folderFor(folder_, name);
  if (fs::exists(databasePath(folder)))
    return Status::Error("queue manager " + name + " already exists");
  if (!fs::create_directories(folder, ec) && ec)
    return Status::Error("cannot create " + folder + ": " + ec.message(), 2102);
  sqlite3* db = nullptr;
  std::string tmp = folder + "/qm.db.new";
  fs::remove(tmp, ec);
  int rc = sqlite3_open_v2(tmp.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  if (rc == SQLITE_OK)
    rc = sqlite::exec(db,
                      "PRAGMA page_size=4096; PRAGMA auto_vacuum=INCREMENTAL;"
                      " PRAGMA journal_mode=WAL;");
  if (rc == SQLITE_OK) rc = createSchema(db);
  if (rc == SQLITE_OK) {
    Stmt ins;
    ins.prepare(db,
                "INSERT INTO qmgr(id, name, ccsid, max_uncommitted, max_msg_length, def_backout)"
                " VALUES(1, ?1, ?2, ?3, ?4, ?5)");
    Use use(ins);
    use.bind(1, name).bind(2, o.codedCharSetId).bind(3, o.maxUncommittedMsgs);
    use.bind(4, o.maxMsgLength).bind(5, o.defaultBackoutThreshold);
    rc = use.run() == SQLITE_DONE ? SQLITE_OK : SQLITE_ERROR;
  }
  if (rc == SQLITE_OK) rc = sqlite::exec(db, "PRAGMA wal_checkpoint(TRUNCATE);");
  std::string error = rc == SQLITE_OK ? "" : sqlite3_errmsg(db);
  sqlite3_close_v2(db);
  fs::remove(tmp + "-wal", ec);
  fs::remove(tmp + "-shm", ec);
  // The database gets the permissions of its folder (less execution), as made under the
  // creator's umask; its log and shared memory files follow it, and the store's own files are
  // made under each program's umask. So a group of users (one per agent) can share a store.
  if (rc == SQLITE_OK) {
    fs::perms bits = fs::status(folder, ec).permissions() &
                     (fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                      fs::perms::group_write | fs::perms::others_read | fs::perms::others_write);
    if (!ec) fs::permissions(tmp, bits, ec);
  }
  if (rc == SQLITE_OK && !ec) fs::rename(tmp, databasePath(folder), ec);
  if (rc != SQLITE_OK || ec) {
    fs::remove_all(folder, ec);
    return Status::Error("cannot create queue manager " + name + ": " + error, 2102);
  }
  if (std::shared_ptr<SharedMap> shared = SharedMap::open(folder)) restoreReserve(*shared);
  if (o.makeDefault || defaultQueueManager().empty()) return setDefaultQueueManager(name);
  return Status::Ok();
}

Status EmbeddedStore::startQueueManager(const std::string& name) {
  QmAccess qm;
  if (Status s = qm.open(folder_, name); !s.ok()) return s;
  restoreReserve(qm.shared());  // a store made before the reserve gets one
  if (qm.area()->state.load() == kRunning) return Status::Ok();
  if (Status s = run(qm, "UPDATE qmgr SET running=1, epoch=epoch+1"); !s.ok()) return s;
  qm.loadState();
  return Status::Ok();
}

// Stops at once: every connection is broken and its unit of work backed out.
void EmbeddedStore::stopNow(QmAccess& qm) {
  run(qm, "UPDATE qmgr SET running=0");
  qm.area()->state.store(kStopped);
  qm.shared().wakeAll();
  std::vector<std::pair<int64_t, int64_t>> connections;  // id, slot
  {
    Stmt q;
    q.prepare(qm.db(), "SELECT id, slot FROM connections");
    Use use(q);
    while (use.row()) connections.emplace_back(use.i64(0), use.i64(1));
  }
  for (const auto& [id, slot] : connections) {
    bool inSlot = slot >= 0 && slot < kSlots && qm.area()->slots[slot].connectionId.load() == id;
    if (!inSlot) {
      backoutConnection(qm.db(), qm.shared(), id, true);
      continue;
    }
    // The connection lives on, broken: what it holds in memory is dropped now.
    backoutSlot(qm.db(), qm.shared(), static_cast<uint32_t>(slot), id);
    qm.shared().dropClaims(static_cast<uint32_t>(slot));
    qm.area()->pending[slot].count.store(0);
  }
}

Status EmbeddedStore::stopQueueManager(const std::string& name, bool quiesce) {
  QmAccess qm;
  if (Status s = qm.open(folder_, name); !s.ok()) return s;
  if (qm.area()->state.load() == kStopped) return Status::Ok();
  if (quiesce) {
    qm.area()->state.store(kQuiescing);
    qm.shared().wakeAll();
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(kQuiesceSeconds);
    while (qm.liveConnections() > 0 && std::chrono::steady_clock::now() < until)
      platform::sleepMilliseconds(50);
  }
  stopNow(qm);
  return Status::Ok();
}

Status EmbeddedStore::deleteQueueManager(const std::string& name) {
  {
    QmAccess qm;
    if (Status s = qm.open(folder_, name); !s.ok()) return s;
    if (qm.area()->state.load() != kStopped)
      return Status::Error("queue manager " + name + " is running; stop it first");
  }
  const std::string folder = folderFor(folder_, name);
  sqlite::dropKeptConnection(databasePath(folder));
  SharedMap::forget(folder);
  // Windows deletes no file that is still open: a file that a thread or process that just
  // ended is still closing gets a moment.
  std::error_code ec;
  for (int attempt = 0; attempt < kDeleteAttempts; ++attempt) {
    if (attempt > 0) platform::sleepMilliseconds(50);
    fs::remove_all(folder, ec);
    if (!ec) break;
  }
  if (ec) return Status::Error("cannot delete queue manager " + name + ": " + ec.message());
  if (defaultQueueManager() == name) fs::remove(folder_ + "/default.qmgr", ec);
  return Status::Ok();
}

Result<QueueManagerInfo> EmbeddedStore::describeQueueManager(const std::string& name) {
  QmAccess qm;
  if (Status s = qm.open(folder_, name); !s.ok()) return s;
  Stmt q;
  q.prepare(qm.db(),
            "SELECT name, ccsid, max_uncommitted, max_msg_length, dead_letter, def_backout"
            " FROM qmgr");
  Use use(q);
  if (!use.row()) return qm.sqlError("cannot read queue manager " + name);
  QueueManagerInfo i;
  i.name = use.text(0);
  i.codedCharSetId = use.i32(1);
  i.maxUncommittedMsgs = use.i32(2);
  i.maxMsgLength = use.i32(3);
  i.deadLetterQName = use.text(4);
  i.defaultBackoutThreshold = use.i32(5);
  uint32_t state = qm.area()->state.load();
  i.running = state == kRunning || state == kQuiescing;
  i.quiescing = state == kQuiescing;
  i.isDefault = defaultQueueManager() == name;
  i.connections = qm.liveConnections();
  return i;
}

Result<std::vector<QueueManagerInfo>> EmbeddedStore::listQueueManagers() {
  Result<std::vector<QueueManagerInfo>> r;
  std::error_code ec;
  if (!fs::is_directory(folder_, ec)) return r;
  for (const auto& entry : fs::directory_iterator(folder_, ec)) {
    if (!fs::exists(entry.path() / "qm.db")) continue;
    const std::string path = (entry.path() / "qm.db").string();
    sqlite3* db = nullptr;
    std::string name;
    std::string problem;
    int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    if (rc == SQLITE_OK) {
      Stmt q;
      if (q.prepare(db, "SELECT name FROM qmgr")) {
        Use use(q);
        rc = use.step();
        if (rc == SQLITE_ROW) name = use.text(0);
      } else {
        rc = sqlite3_errcode(db);
      }
    }
    if (name.empty())
      problem = path + ": " + sqlite3_errstr(rc == SQLITE_DONE ? SQLITE_CORRUPT : rc);
    sqlite3_close_v2(db);
    Result<QueueManagerInfo> one;
    if (problem.empty()) one = describeQueueManager(name);
    if (problem.empty() && one.ok()) {
      r.value.push_back(one.value);
      continue;
    }
    // A queue manager that cannot be read is listed, under its folder's name, with the reason,
    // so that the operator sees it rather than a shorter list.
    QueueManagerInfo damaged;
    damaged.name = name.empty() ? entry.path().filename().string() : name;
    damaged.problem = problem.empty() ? one.status.message() : problem;
    r.value.push_back(damaged);
  }
  std::sort(r.value.begin(), r.value.end(),
            [](const QueueManagerInfo& a, const QueueManagerInfo& b) { return a.name < b.name; });
  return r;
}

Status EmbeddedStore::setDefaultQueueManager(const std::string& name) {
  if (!queueManagerExists(name))
    return Status::Error("queue manager " + name + " does not exist", 2058);
  std::string tmp = folder_ + "/default.qmgr.new";
  {
    // Binary: the line ends in LF on every system, so that the folder opens on either.
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << name << "\n";
    if (!out.flush()) return Status::Error("cannot write " + tmp);
  }
  std::error_code ec;
  fs::rename(tmp, folder_ + "/default.qmgr", ec);
  return ec ? Status::Error("cannot write the default queue manager: " + ec.message())
            : Status::Ok();
}

Status EmbeddedStore::setMaxUncommittedMsgs(const std::string& name, int32_t value) {
  if (value < 1) return Status::Error("MaxUncommittedMsgs must be at least 1");
  QmAccess qm;
  if (Status s = qm.open(folder_, name); !s.ok()) return s;
  return run(qm, "UPDATE qmgr SET max_uncommitted=" + std::to_string(value));
}

Status EmbeddedStore::alterQueueManager(const std::string& name, const QueueManagerChanges& c) {
  if (c.sessionLeaseSeconds)
    return Status::Error(
        "the embedded store has no session leases: a connection ends with its"
        " process");
  QmAccess qm;
  if (Status s = qm.open(folder_, name); !s.ok()) return s;
  Stmt upd;
  if (!upd.prepare(qm.db(),
                   "UPDATE qmgr SET dead_letter=coalesce(?1, dead_letter),"
                   " def_backout=coalesce(?2, def_backout)"))
    return qm.sqlError("cannot alter queue manager " + name);
  Use use(upd);
  if (c.deadLetterQName) use.bind(1, *c.deadLetterQName);
  if (c.defaultBackoutThreshold) use.bind(2, *c.defaultBackoutThreshold);
  if (use.run() != SQLITE_DONE) return qm.sqlError("cannot alter queue manager " + name);
  return Status::Ok();
}

Result<StoreSpace> EmbeddedStore::measureSpace(const std::string& name) {
  QmAccess qm;
  if (Status s = qm.open(folder_, name); !s.ok()) return s;
  return embedded::measureSpace(qm.db(), qm.folder());
}

Result<CompactReport> EmbeddedStore::compactQueueManager(const std::string& name) {
  QmAccess qm;
  if (Status s = qm.open(folder_, name); !s.ok()) return s;
  return compactPayloadFiles(qm.db(), qm.folder());
}

Result<CheckReport> EmbeddedStore::checkQueueManager(const std::string& name) {
  QmAccess qm;
  if (Status s = qm.open(folder_, name); !s.ok()) return s;
  return checkStore(qm.db(), qm.shared(), qm.locks());
}

// Opening the queue manager backed out the connections of dead processes: what is listed
// lives. A connection's unit of work is its rows, and the puts and claims its slot shows.
Result<std::vector<SessionInfo>> EmbeddedStore::listSessions(const std::string& qmgr) {
  QmAccess qm;
  if (Status s = qm.open(folder_, qmgr); !s.ok()) return s;
  Stmt q;
  if (!q.prepare(qm.db(),
                 "SELECT c.id, c.slot, c.pid, c.program, c.started,"
                 " (SELECT count(*) FROM queues u JOIN messages m ON m.queue_id=u.id"
                 " AND m.state IN (c.id*2+1, c.id*2+2)) FROM connections c ORDER BY c.id"))
    return qm.sqlError("cannot list the sessions of " + qmgr);
  Result<std::vector<SessionInfo>> r;
  Use use(q);
  while (use.row()) {
    int64_t slot = use.i64(1);
    if (slot < 0 || slot >= kSlots) continue;
    const Slot& held = qm.area()->slots[slot];
    if (held.connectionId.load() != use.i64(0)) continue;  // ended, not yet cleared
    SessionInfo i;
    i.id = use.i64(0);
    i.machine = hostOfMachineKey(platform::machineKey());
    i.processId = use.i32(2);
    i.program = use.text(3);
    i.startedAt = use.i64(4);
    i.heldMessages =
        use.i64(5) + qm.area()->pending[slot].count.load() + qm.area()->claims[slot].count.load();
    r.value.push_back(i);
  }
  return r;
}

// A live connection holds part of its unit of work in its own memory (puts not yet written,
// messages claimed): only it can back that out, at its next call. A connection whose process
// is gone is backed out here.
Result<SessionEnd> EmbeddedStore::endSession(const std::string& qmgr, int64_t sessionId) {
  QmAccess qm;
  if (Status s = qm.open(folder_, qmgr); !s.ok()) return s;
  Stmt q;
  if (!q.prepare(qm.db(), "SELECT slot FROM connections WHERE id=?1"))
    return qm.sqlError("cannot read the sessions of " + qmgr);
  int64_t slot = -1;
  {
    Use use(q);
    use.bind(1, sessionId);
    if (!use.row())
      return Status::Error("queue manager " + qmgr + " has no session " +
                           std::to_string(sessionId));
    slot = use.i64(0);
  }
  if (slot >= 0 && slot < kSlots) {
    auto i = static_cast<uint32_t>(slot);
    Slot& held = qm.area()->slots[i];
    if (held.connectionId.load() == sessionId && qm.locks().isHeldElsewhere(i)) {
      held.endRequested.store(endMark(sessionId));
      qm.shared().wakeAll();  // a waiting get looks at once
      return SessionEnd::kAtNextCall;
    }
    if (held.connectionId.load() == sessionId) {
      if (backoutSlot(qm.db(), qm.shared(), i, sessionId) != SQLITE_OK)
        return qm.sqlError("cannot end session " + std::to_string(sessionId));
      held.connectionId.compare_exchange_strong(sessionId, 0);
      return SessionEnd::kBackedOut;
    }
  }
  if (backoutConnection(qm.db(), qm.shared(), sessionId, true) != SQLITE_OK)
    return qm.sqlError("cannot end session " + std::to_string(sessionId));
  return SessionEnd::kBackedOut;
}

Result<int64_t> EmbeddedStore::openQueue(QmAccess& qm, const std::string& qmgr,
                                         const std::string& queue) {
  if (Status s = qm.open(folder_, qmgr); !s.ok()) return s;
  Stmt q;
  q.prepare(qm.db(), "SELECT id FROM queues WHERE name=?1");
  Use use(q);
  use.bind(1, queue);
  if (use.row()) return use.i64(0);
  return Status::Error("queue " + queue + " does not exist", MQRC_UNKNOWN_OBJECT_NAME);
}

Status EmbeddedStore::defineQueue(const std::string& qmgr, const std::string& queue,
                                  const QueueAttributes& a) {
  if (Status s = checkQueueName(queue); !s.ok()) return s;
  if (Status s = checkAttributes(a); !s.ok()) return s;
  QmAccess qm;
  if (Status s = qm.open(folder_, qmgr); !s.ok()) return s;
  Stmt ins;
  ins.prepare(qm.db(),
              "INSERT INTO queues(name, max_msg_length, max_depth, def_priority,"
              " def_persistence, def_input, shareability, delivery_seq, inhibit_get,"
              " inhibit_put, description, backout_threshold, backout_queue)"
              " VALUES(?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13)");
  QueueAttributes full = withDefaults(a);
  Use use(ins);
  use.bind(1, queue).bind(2, *full.maxMsgLength).bind(3, *full.maxQDepth);
  use.bind(4, *full.defPriority).bind(5, *full.defPersistence);
  use.bind(6, *full.defInputOpenOption).bind(7, *full.shareability);
  use.bind(8, *full.msgDeliverySequence).bind(9, *full.inhibitGet).bind(10, *full.inhibitPut);
  use.bind(11, *full.description).bind(12, *full.backoutThreshold);
  use.bind(13, *full.backoutRequeueQName);
  int rc = use.run();
  if (rc == SQLITE_CONSTRAINT) return Status::Error("queue " + queue + " already exists");
  if (rc != SQLITE_DONE) return qm.sqlError("cannot define queue " + queue);
  return Status::Ok();
}

Status EmbeddedStore::alterQueue(const std::string& qmgr, const std::string& queue,
                                 const QueueAttributes& a) {
  if (Status s = checkAttributes(a); !s.ok()) return s;
  QmAccess qm;
  Result<int64_t> id = openQueue(qm, qmgr, queue);
  if (!id.ok()) return id.status;
  std::string sql = "UPDATE queues SET id=id";
  for (const Field& f : fieldsOf(a))
    if (*f.value) sql += std::string(", ") + f.column + "=" + std::to_string(**f.value);
  if (a.description) sql += ", description=?1";
  if (a.backoutRequeueQName) sql += ", backout_queue=?2";
  sql += " WHERE id=" + std::to_string(id.value);
  Stmt upd;
  if (!upd.prepare(qm.db(), sql)) return qm.sqlError("cannot alter queue " + queue);
  Use use(upd);
  if (a.description) use.bind(1, *a.description);
  if (a.backoutRequeueQName) use.bind(2, *a.backoutRequeueQName);
  if (use.run() != SQLITE_DONE) return qm.sqlError("cannot alter queue " + queue);
  qm.shared().wakeQueue(id.value);  // waiters re-check inhibit-get
  return Status::Ok();
}

Status EmbeddedStore::deleteQueue(const std::string& qmgr, const std::string& queue, bool purge) {
  Result<QueueInfo> info = describeQueue(qmgr, queue);
  if (!info.ok()) return info.status;
  if (Status s = checkRemovable(info.value, queue, purge); !s.ok()) return s;
  QmAccess qm;
  Result<int64_t> id = openQueue(qm, qmgr, queue);
  if (!id.ok()) return id.status;
  Status s = run(qm, "BEGIN IMMEDIATE");
  if (s.ok()) s = removeMessages(qm, id.value, "").status;
  for (const char* sql :
       {"DELETE FROM handles WHERE queue_id=?1", "DELETE FROM queues WHERE id=?1"})
    if (s.ok()) s = runFor(qm, sql, id.value);
  if (s.ok()) s = run(qm, "COMMIT");
  if (!s.ok()) sqlite::exec(qm.db(), "ROLLBACK");
  qm.shared().wakeQueue(id.value);
  if (s.ok()) sweepPayloadFiles(qm.db(), qm.folder());
  return s;
}

Result<int64_t> EmbeddedStore::clearQueue(const std::string& qmgr, const std::string& queue) {
  QmAccess qm;
  Result<int64_t> id = openQueue(qm, qmgr, queue);
  if (!id.ok()) return id.status;
  // Messages that a unit of work holds or claims stay.
  Status s = run(qm, "BEGIN IMMEDIATE");
  Result<int64_t> removed = s.ok()
                                ? removeMessages(qm, id.value, " AND state=0 AND NOT claimed(id)")
                                : Result<int64_t>(s);
  s = removed.status;
  int64_t cleared = removed.ok() ? removed.value : 0;
  if (s.ok())
    s = runFor(qm, "UPDATE queues SET depth=max(0, depth-?2) WHERE id=?1", id.value, cleared);
  if (s.ok()) s = run(qm, "COMMIT");
  if (!s.ok()) {
    sqlite::exec(qm.db(), "ROLLBACK");
    return s;
  }
  sweepPayloadFiles(qm.db(), qm.folder());
  return cleared;
}

Result<QueueInfo> EmbeddedStore::readQueue(QmAccess& qm, int64_t id) {
  Stmt q;
  q.prepare(qm.db(), kQueueInfoSql);
  Use use(q);
  use.bind(1, id);
  if (!use.row()) return qm.sqlError("cannot read a queue");
  QueueInfo o;
  readQueueInfo(use, o);
  // Odd states are the puts of an open unit of work.
  Stmt puts;
  puts.prepare(qm.db(), "SELECT count(*) FROM messages WHERE queue_id=?1 AND state%2=1");
  Use count(puts);
  count.bind(1, id);
  if (!count.row()) return qm.sqlError("cannot read queue " + o.name);
  o.uncommittedCount = count.i32(0);
  // Puts that sessions hold in memory until they write them with others.
  int32_t pending = static_cast<int32_t>(qm.shared().pendingPuts(id));
  o.currentDepth += static_cast<int32_t>(qm.shared().depthAdjustment(id));
  o.uncommittedCount += pending;
  return o;
}

Result<std::vector<QueueInfo>> EmbeddedStore::listQueues(const std::string& qmgr) {
  QmAccess qm;
  if (Status s = qm.open(folder_, qmgr); !s.ok()) return s;
  Result<std::vector<QueueInfo>> r;
  std::vector<int64_t> ids;
  {
    Stmt q;
    if (!q.prepare(qm.db(), "SELECT id FROM queues ORDER BY name"))
      return qm.sqlError("cannot list the queues");
    Use use(q);
    int rc;
    while ((rc = use.step()) == SQLITE_ROW) ids.push_back(use.i64(0));
    if (rc != SQLITE_DONE) return qm.sqlError("cannot list the queues");
  }
  for (int64_t id : ids) {
    Result<QueueInfo> one = readQueue(qm, id);
    if (!one.ok()) return one.status;
    r.value.push_back(one.value);
  }
  return r;
}

Result<QueueInfo> EmbeddedStore::describeQueue(const std::string& qmgr, const std::string& queue) {
  QmAccess qm;
  Result<int64_t> id = openQueue(qm, qmgr, queue);
  if (!id.ok()) return id.status;
  return readQueue(qm, id.value);
}

}  // namespace

}  // namespace mqi::embedded

namespace mqi {

std::shared_ptr<Store> openEmbeddedStore(const std::string& folder) {
  return std::make_shared<embedded::EmbeddedStore>(folder);
}

}  // namespace mqi
