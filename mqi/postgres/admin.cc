// Administration of the PostgreSQL store: queue managers and queues as rows of the schema
// "mqi". Every call opens its own connection, creates the schema when it is missing, and
// backs out the work of dead sessions before it counts anything.
#include <chrono>

#include "mqi/postgres/postgres.h"
#include "mqi/store/admin_rules.h"
#include "mqi/store/names.h"
#include "platform/platform.h"

namespace mqi::pg {
namespace {

constexpr int kQuiesceSeconds = 10;
constexpr int64_t kCreateLock = int64_t{0x51540004} << 32;

Status dbError(const std::string& what, const Conn& conn, const Rows& rows) {
  std::string text = rows.get() != nullptr ? rows.error() : conn.error();
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return Status::Error(text, reasonFor(conn, rows)).withContext(what);
}

class PostgresStore : public Store {
 public:
  explicit PostgresStore(std::string conninfo) : conninfo_(std::move(conninfo)) {}

  int32_t connect(const std::string& name, std::unique_ptr<Session>& out) override {
    if (!isValidName(name)) return MQRC_Q_MGR_NAME_ERROR;
    return connectSession(conninfo_, name, out);
  }
  std::string defaultQueueManager() override;
  bool queueManagerExists(const std::string& name) override;

  Status createQueueManager(const std::string& name, const QueueManagerOptions& o) override;
  Status startQueueManager(const std::string& name) override;
  Status stopQueueManager(const std::string& name, bool quiesce) override;
  Status deleteQueueManager(const std::string& name) override;
  Result<std::vector<QueueManagerInfo>> listQueueManagers() override;
  Result<QueueManagerInfo> describeQueueManager(const std::string& name) override;
  Result<CheckReport> checkQueueManager(const std::string& name) override;
  Result<std::vector<SessionInfo>> listSessions(const std::string& qmgr) override;
  Result<SessionEnd> endSession(const std::string& qmgr, int64_t sessionId) override;
  Status setDefaultQueueManager(const std::string& name) override;
  Status setMaxUncommittedMsgs(const std::string& name, int32_t value) override;
  Status alterQueueManager(const std::string& name, const QueueManagerChanges& c) override;
  Status defineQueue(const std::string& qmgr, const std::string& queue,
                     const QueueAttributes& attributes) override;
  Status alterQueue(const std::string& qmgr, const std::string& queue,
                    const QueueAttributes& attributes) override;
  Status deleteQueue(const std::string& qmgr, const std::string& queue, bool purge) override;
  Result<int64_t> clearQueue(const std::string& qmgr, const std::string& queue) override;
  Result<std::vector<QueueInfo>> listQueues(const std::string& qmgr) override;
  Result<QueueInfo> describeQueue(const std::string& qmgr, const std::string& queue) override;

 private:
  // Connects and makes sure the schema is there.
  Status open(Conn& conn) {
    if (!conn.open(conninfo_))
      return Status::Error(connectFailureMessage(conninfo_, conn), MQRC_Q_MGR_NOT_AVAILABLE);
    std::string error = ensureSchema(conn);
    if (!error.empty()) return Status::Error(error, MQRC_Q_MGR_NOT_AVAILABLE);
    return Status::Ok();
  }
  // Connects and checks the queue manager exists; backs out the work of its dead sessions.
  Status openQueueManager(Conn& conn, const std::string& name, int32_t* state = nullptr);
  // Connects, checks the queue manager (as openQueueManager) and finds the queue's id.
  Result<int64_t> openQueue(Conn& conn, const std::string& qmgr, const std::string& queue);
  Result<QueueInfo> readQueue(Conn& conn, int64_t id);
  Status run(Conn& conn, const std::string& what, const std::string& sql, const Params& p) {
    Rows r = conn.run(sql, p);
    return r.ok() ? Status::Ok() : dbError(what, conn, r);
  }
  Status stopNow(Conn& conn, const std::string& name);

  std::string conninfo_;
};

Status PostgresStore::openQueueManager(Conn& conn, const std::string& name, int32_t* state) {
  if (Status s = open(conn); !s.ok()) return s;
  Rows q = conn.run("SELECT state, mqi.reap(name) FROM mqi.qmgrs WHERE name=$1", Params().add(name));
  if (!q.ok()) return dbError("cannot read queue manager " + name, conn, q);
  if (q.size() == 0) return Status::Error("queue manager " + name + " does not exist", 2058);
  if (state != nullptr) *state = q.i32(0, 0);
  return Status::Ok();
}

std::string PostgresStore::defaultQueueManager() {
  Conn conn;
  if (!conn.open(conninfo_) || !schemaExists(conn)) return "";
  Rows q = conn.exec("SELECT name FROM mqi.qmgrs WHERE is_default ORDER BY name LIMIT 1");
  return q.ok() && q.size() == 1 ? q.text(0, 0) : "";
}

bool PostgresStore::queueManagerExists(const std::string& name) {
  Conn conn;
  if (!isValidName(name) || !conn.open(conninfo_) || !schemaExists(conn)) return false;
  Rows q = conn.run("SELECT 1 FROM mqi.qmgrs WHERE name=$1", Params().add(name));
  return q.ok() && q.size() == 1;
}

Status PostgresStore::createQueueManager(const std::string& name, const QueueManagerOptions& o) {
  if (Status s = checkQueueManagerName(name); !s.ok()) return s;
  Conn conn;
  if (Status s = open(conn); !s.ok()) return s;
  // Creations are serialised so that only the first queue manager becomes the default.
  conn.exec("BEGIN; SELECT pg_advisory_xact_lock(" + std::to_string(kCreateLock) + ")");
  Rows r = conn.run("INSERT INTO mqi.qmgrs(name, ccsid, max_uncommitted, max_msg_length,"
                    " def_backout, is_default) SELECT $1, $2, $3, $4, $5,"
                    " NOT EXISTS (SELECT 1 FROM mqi.qmgrs WHERE is_default)",
                    Params().add(name).add(o.codedCharSetId).add(o.maxUncommittedMsgs)
                        .add(o.maxMsgLength).add(o.defaultBackoutThreshold));
  if (r.ok()) r = conn.exec("COMMIT");
  else conn.exec("ROLLBACK");
  if (!r.ok() && r.sqlState() == "23505")
    return Status::Error("queue manager " + name + " already exists");
  if (!r.ok()) return dbError("cannot create queue manager " + name, conn, r);
  return o.makeDefault ? setDefaultQueueManager(name) : Status::Ok();
}

Status PostgresStore::startQueueManager(const std::string& name) {
  Conn conn;
  if (Status s = openQueueManager(conn, name); !s.ok()) return s;
  return run(conn, "cannot start " + name,
             "UPDATE mqi.qmgrs SET state=1, epoch=epoch+1 WHERE name=$1 AND state<>1",
             Params().add(name));
}

// Stops at once: units of work of every session are backed out, the server connections of
// the sessions are ended (their calls fail with 2009, their waits wake), and the sessions go.
Status PostgresStore::stopNow(Conn& conn, const std::string& name) {
  Rows begun = conn.exec("BEGIN");
  Params p;
  p.add(name);
  Rows r = conn.run("UPDATE mqi.qmgrs SET state=0 WHERE name=$1", p);
  if (r.ok()) r = conn.run("SELECT mqi.backout_session(id) FROM mqi.sessions WHERE qmgr=$1", p);
  if (r.ok())
    r = conn.run("SELECT mqi.end_backend(l.pid) FROM pg_locks l JOIN mqi.sessions s"
                 " ON l.locktype='advisory' AND l.classid=1364459521::oid AND l.objid=s.id::oid"
                 " AND l.objsubid=1 AND l.granted WHERE s.qmgr=$1 AND l.pid<>pg_backend_pid()",
                 p);
  if (r.ok())
    r = conn.run("WITH s AS (DELETE FROM mqi.sessions WHERE qmgr=$1 RETURNING id)"
                 " DELETE FROM mqi.handles WHERE session_id IN (SELECT id FROM s)",
                 p);
  if (r.ok()) r = conn.exec("COMMIT");
  if (!r.ok()) {
    Status s = dbError("cannot stop " + name, conn, r);
    conn.exec("ROLLBACK");
    return s;
  }
  return Status::Ok();
}

Status PostgresStore::stopQueueManager(const std::string& name, bool quiesce) {
  Conn conn;
  int32_t state = 0;
  if (Status s = openQueueManager(conn, name, &state); !s.ok()) return s;
  if (state == 0) return Status::Ok();
  if (quiesce) {
    Params p;
    p.add(name);
    if (Status s = run(conn, "cannot quiesce " + name,
                       "UPDATE mqi.qmgrs SET state=2 WHERE name=$1", p);
        !s.ok())
      return s;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(kQuiesceSeconds);
    while (std::chrono::steady_clock::now() < until) {
      Rows n = conn.run("SELECT mqi.reap($1), (SELECT count(*) FROM mqi.sessions WHERE qmgr=$1)", p);
      if (!n.ok() || n.i64(0, 1) == 0) break;
      platform::sleepMilliseconds(50);
    }
  }
  return stopNow(conn, name);
}

Status PostgresStore::deleteQueueManager(const std::string& name) {
  Conn conn;
  int32_t state = 0;
  if (Status s = openQueueManager(conn, name, &state); !s.ok()) return s;
  if (state != 0) return Status::Error("queue manager " + name + " is running; stop it first");
  return run(conn, "cannot delete queue manager " + name,
             "DELETE FROM mqi.qmgrs WHERE name=$1", Params().add(name));
}

Result<QueueManagerInfo> PostgresStore::describeQueueManager(const std::string& name) {
  Conn conn;
  if (Status s = openQueueManager(conn, name); !s.ok()) return s;
  Rows q = conn.run(
      "SELECT ccsid, max_uncommitted, max_msg_length, state, is_default,"
      " (SELECT count(*) FROM mqi.sessions WHERE qmgr=$1), dead_letter,"
      " def_backout, lease FROM mqi.qmgrs"
      " WHERE name=$1",
      Params().add(name));
  if (!q.ok() || q.size() != 1) return dbError("cannot read queue manager " + name, conn, q);
  QueueManagerInfo i;
  i.name = name;
  i.codedCharSetId = q.i32(0, 0);
  i.maxUncommittedMsgs = q.i32(0, 1);
  i.maxMsgLength = q.i32(0, 2);
  i.running = q.i32(0, 3) != 0;
  i.quiescing = q.i32(0, 3) == 2;
  i.isDefault = q.text(0, 4) == "t";
  i.connections = q.i32(0, 5);
  i.deadLetterQName = q.text(0, 6);
  i.defaultBackoutThreshold = q.i32(0, 7);
  i.sessionLeaseSeconds = q.i32(0, 8);
  return i;
}

// The server keeps its own pages sound; what can go wrong here is rows that outlive what
// they belong to. Opening the queue manager backs out dead sessions first.
Result<CheckReport> PostgresStore::checkQueueManager(const std::string& name) {
  Conn conn;
  if (Status s = openQueueManager(conn, name); !s.ok()) return s;
  struct Check {
    const char* what;
    const char* sql;
  };
  static const Check kChecks[] = {
      {"messages held by sessions that are gone",
       "SELECT count(*) FROM mqi.messages m JOIN mqi.queues q ON q.id=m.queue_id WHERE"
       " q.qmgr=$1 AND m.owner<>0 AND NOT EXISTS (SELECT 1 FROM mqi.sessions s WHERE"
       " s.id=m.owner)"},
      {"open handles of sessions that are gone",
       "SELECT count(*) FROM mqi.handles h JOIN mqi.queues q ON q.id=h.queue_id WHERE"
       " q.qmgr=$1 AND NOT EXISTS (SELECT 1 FROM mqi.sessions s WHERE s.id=h.session_id)"},
      {"queues whose depth differs from their messages",
       "SELECT count(*) FROM mqi.queues q WHERE q.qmgr=$1 AND q.depth <> (SELECT count(*)"
       " FROM mqi.messages m WHERE m.queue_id=q.id AND m.state<>2)"}};
  CheckReport report;
  for (const Check& c : kChecks) {
    Rows q = conn.run(c.sql, Params().add(name));
    if (!q.ok()) return dbError("cannot check queue manager " + name, conn, q);
    report.checks.push_back(c.what);
    if (int64_t n = q.i64(0, 0); n != 0)
      report.problems.push_back(std::to_string(n) + " " + c.what);
  }
  return report;
}

// Opening the queue manager reaped the dead and the expired: what is listed lives. The age of
// the last renewal is told by the server's clock, as the reapers read it.
Result<std::vector<SessionInfo>> PostgresStore::listSessions(const std::string& qmgr) {
  Conn conn;
  if (Status s = openQueueManager(conn, qmgr); !s.ok()) return s;
  Rows q = conn.run(
      "SELECT s.id, s.machine, s.client_pid, s.client,"
      " extract(epoch FROM s.started)::bigint,"
      " (SELECT count(*) FROM mqi.messages m WHERE m.owner=s.id),"
      " coalesce((extract(epoch FROM clock_timestamp() - s.renewed) * 1000)::bigint,"
      " -1) FROM mqi.sessions s WHERE s.qmgr=$1 ORDER BY s.id",
      Params().add(qmgr));
  if (!q.ok()) return dbError("cannot list the sessions of " + qmgr, conn, q);
  Result<std::vector<SessionInfo>> r;
  for (int row = 0; row < q.size(); ++row) {
    SessionInfo i;
    i.id = q.i64(row, 0);
    i.machine = hostOfMachineKey(q.text(row, 1));
    i.processId = q.i32(row, 2);
    i.program = q.text(row, 3);
    i.startedAt = q.i64(row, 4);
    i.heldMessages = q.i64(row, 5);
    i.renewedAgoMs = q.i64(row, 6);
    r.value.push_back(i);
  }
  return r;
}

// From any machine: the session's server connection is ended (where this role may), so its
// next call fails with 2009; where it may not, its next call finds its lease gone.
Result<SessionEnd> PostgresStore::endSession(const std::string& qmgr, int64_t sessionId) {
  Conn conn;
  if (Status s = openQueueManager(conn, qmgr); !s.ok()) return s;
  Rows q = conn.run("SELECT mqi.end_session(id) FROM mqi.sessions WHERE id=$1 AND qmgr=$2",
                    Params().add(sessionId).add(qmgr));
  if (!q.ok()) return dbError("cannot end session " + std::to_string(sessionId), conn, q);
  if (q.size() == 0 || q.text(0, 0) != "t")
    return Status::Error("queue manager " + qmgr + " has no session " + std::to_string(sessionId));
  return SessionEnd::kBackedOut;
}

Result<std::vector<QueueManagerInfo>> PostgresStore::listQueueManagers() {
  Result<std::vector<QueueManagerInfo>> r;
  std::vector<std::string> names;
  {
    Conn conn;
    if (Status s = open(conn); !s.ok()) return s;
    Rows q = conn.exec("SELECT name FROM mqi.qmgrs ORDER BY name");
    if (!q.ok()) return dbError("cannot list queue managers", conn, q);
    for (int i = 0; i < q.size(); ++i) names.push_back(q.text(i, 0));
  }
  for (const std::string& name : names) {
    Result<QueueManagerInfo> one = describeQueueManager(name);
    if (one.ok()) r.value.push_back(one.value);
  }
  return r;
}

Status PostgresStore::setDefaultQueueManager(const std::string& name) {
  Conn conn;
  if (Status s = openQueueManager(conn, name); !s.ok()) return s;
  return run(conn, "cannot set the default queue manager",
             "UPDATE mqi.qmgrs SET is_default=(name=$1) WHERE is_default OR name=$1",
             Params().add(name));
}

Status PostgresStore::alterQueueManager(const std::string& name, const QueueManagerChanges& c) {
  Conn conn;
  if (Status s = openQueueManager(conn, name); !s.ok()) return s;
  Params p;
  p.add(name).add(c.deadLetterQName ? std::string("1") : std::string("0"));
  p.add(c.deadLetterQName.value_or("")).add(c.defaultBackoutThreshold.value_or(-1));
  p.add(c.sessionLeaseSeconds.value_or(-1));
  return run(conn, "cannot alter queue manager " + name,
             "UPDATE mqi.qmgrs SET dead_letter=CASE WHEN $2::int=1 THEN $3 ELSE dead_letter END,"
             " def_backout=CASE WHEN $4::int<0 THEN def_backout ELSE $4::int END,"
             " lease=CASE WHEN $5::int<0 THEN lease ELSE $5::int END WHERE name=$1",
             p);
}

Status PostgresStore::setMaxUncommittedMsgs(const std::string& name, int32_t value) {
  if (value < 1) return Status::Error("MaxUncommittedMsgs must be at least 1");
  Conn conn;
  if (Status s = openQueueManager(conn, name); !s.ok()) return s;
  return run(conn, "cannot change " + name,
             "UPDATE mqi.qmgrs SET max_uncommitted=$2 WHERE name=$1",
             Params().add(name).add(value));
}

Result<int64_t> PostgresStore::openQueue(Conn& conn, const std::string& qmgr,
                                         const std::string& queue) {
  if (Status s = openQueueManager(conn, qmgr); !s.ok()) return s;
  Rows q = conn.run("SELECT id FROM mqi.queues WHERE qmgr=$1 AND name=$2",
                    Params().add(qmgr).add(queue));
  if (q.ok() && q.size() == 1) return q.i64(0, 0);
  if (!q.ok()) return dbError("cannot read queue " + queue, conn, q);
  return Status::Error("queue " + queue + " does not exist", MQRC_UNKNOWN_OBJECT_NAME);
}

Status PostgresStore::defineQueue(const std::string& qmgr, const std::string& queue,
                                  const QueueAttributes& a) {
  if (Status s = checkQueueName(queue); !s.ok()) return s;
  if (Status s = checkAttributes(a); !s.ok()) return s;
  Conn conn;
  if (Status s = openQueueManager(conn, qmgr); !s.ok()) return s;
  QueueAttributes full = withDefaults(a);
  Params p;
  p.add(qmgr).add(queue).add(*full.maxMsgLength).add(*full.maxQDepth).add(*full.defPriority);
  p.add(*full.defPersistence).add(*full.defInputOpenOption).add(*full.shareability);
  p.add(*full.msgDeliverySequence).add(*full.inhibitGet).add(*full.inhibitPut);
  p.add(*full.description).add(*full.backoutThreshold).add(*full.backoutRequeueQName);
  Rows r = conn.run("INSERT INTO mqi.queues(qmgr, name, max_msg_length, max_depth, def_priority,"
                    " def_persistence, def_input, shareability, delivery_seq, inhibit_get,"
                    " inhibit_put, description, backout_threshold, backout_queue)"
                    " VALUES($1,$2,$3,$4,$5,$6,$7,$8,$9,$10,$11,$12,$13,$14)",
                    p);
  if (!r.ok() && r.sqlState() == "23505") return Status::Error("queue " + queue + " already exists");
  if (!r.ok()) return dbError("cannot define queue " + queue, conn, r);
  return Status::Ok();
}

Status PostgresStore::alterQueue(const std::string& qmgr, const std::string& queue,
                                 const QueueAttributes& a) {
  if (Status s = checkAttributes(a); !s.ok()) return s;
  Conn conn;
  Result<int64_t> id = openQueue(conn, qmgr, queue);
  if (!id.ok()) return id.status;
  // Each attribute keeps its value when its parameter is null.
  Params p;
  p.add(id.value);
  const std::optional<int32_t>* values[] = {&a.maxMsgLength, &a.maxQDepth, &a.defPriority,
                                            &a.defPersistence, &a.defInputOpenOption,
                                            &a.shareability, &a.msgDeliverySequence,
                                            &a.inhibitGet, &a.inhibitPut, &a.backoutThreshold};
  for (const auto* v : values) p.add(*v ? std::to_string(**v) : std::string("-1"));
  p.add(a.description ? std::string("1") : std::string("0")).add(a.description.value_or(""));
  p.add(a.backoutRequeueQName ? std::string("1") : std::string("0"));
  p.add(a.backoutRequeueQName.value_or(""));
  std::string sql = "UPDATE mqi.queues SET ";
  const char* columns[] = {"max_msg_length", "max_depth", "def_priority", "def_persistence",
                           "def_input", "shareability", "delivery_seq", "inhibit_get",
                           "inhibit_put", "backout_threshold"};
  for (int i = 0; i < 10; ++i) {
    std::string n = "$" + std::to_string(i + 2);
    sql += std::string(columns[i]) + "=CASE WHEN " + n + "::int<0 THEN " + columns[i] +
           " ELSE " + n + "::int END, ";
  }
  sql += "description=CASE WHEN $12::int=1 THEN $13 ELSE description END, ";
  sql += "backout_queue=CASE WHEN $14::int=1 THEN $15 ELSE backout_queue END WHERE id=$1";
  return run(conn, "cannot alter queue " + queue, sql, p);
}

Status PostgresStore::deleteQueue(const std::string& qmgr, const std::string& queue, bool purge) {
  Result<QueueInfo> info = describeQueue(qmgr, queue);
  if (!info.ok()) return info.status;
  if (Status s = checkRemovable(info.value, queue, purge); !s.ok()) return s;
  Conn conn;
  if (Status s = open(conn); !s.ok()) return s;
  return run(conn, "cannot delete queue " + queue,
             "DELETE FROM mqi.queues WHERE qmgr=$1 AND name=$2", Params().add(qmgr).add(queue));
}

Result<int64_t> PostgresStore::clearQueue(const std::string& qmgr, const std::string& queue) {
  Conn conn;
  Result<int64_t> id = openQueue(conn, qmgr, queue);
  if (!id.ok()) return id.status;
  Rows q = conn.run("WITH d AS (DELETE FROM mqi.messages WHERE queue_id=$1 AND state=0"
                    " RETURNING 1), n AS (SELECT count(*) AS c FROM d)"
                    " UPDATE mqi.queues SET depth=greatest(0, depth-(SELECT c FROM n)) WHERE id=$1"
                    " RETURNING (SELECT c FROM n)",
                    Params().add(id.value));
  if (!q.ok() || q.size() != 1) return dbError("cannot clear queue " + queue, conn, q);
  return q.i64(0, 0);
}

Result<QueueInfo> PostgresStore::readQueue(Conn& conn, int64_t id) {
  Rows q = conn.run("SELECT name, max_msg_length, max_depth, def_priority, def_persistence,"
                    " def_input, shareability, delivery_seq, inhibit_get, inhibit_put,"
                    " description, depth,"
                    " (SELECT count(*) FROM mqi.handles WHERE queue_id=$1 AND input<>0),"
                    " (SELECT count(*) FROM mqi.handles WHERE queue_id=$1 AND output<>0),"
                    " (SELECT count(*) FROM mqi.messages WHERE queue_id=$1 AND state=1),"
                    " backout_threshold, backout_queue"
                    " FROM mqi.queues WHERE id=$1",
                    Params().add(id));
  if (!q.ok() || q.size() != 1) return dbError("cannot read queue", conn, q);
  QueueInfo o;
  o.name = q.text(0, 0);
  o.maxMsgLength = q.i32(0, 1);
  o.maxQDepth = q.i32(0, 2);
  o.defPriority = q.i32(0, 3);
  o.defPersistence = q.i32(0, 4);
  o.defInputOpenOption = q.i32(0, 5);
  o.shareability = q.i32(0, 6);
  o.msgDeliverySequence = q.i32(0, 7);
  o.inhibitGet = q.i32(0, 8);
  o.inhibitPut = q.i32(0, 9);
  o.description = q.text(0, 10);
  o.currentDepth = q.i32(0, 11);
  o.openInputCount = q.i32(0, 12);
  o.openOutputCount = q.i32(0, 13);
  o.uncommittedCount = q.i32(0, 14);
  o.backoutThreshold = q.i32(0, 15);
  o.backoutRequeueQName = q.text(0, 16);
  return o;
}

Result<std::vector<QueueInfo>> PostgresStore::listQueues(const std::string& qmgr) {
  Conn conn;
  if (Status s = openQueueManager(conn, qmgr); !s.ok()) return s;
  Rows q = conn.run("SELECT id FROM mqi.queues WHERE qmgr=$1 ORDER BY name", Params().add(qmgr));
  if (!q.ok()) return dbError("cannot list queues", conn, q);
  Result<std::vector<QueueInfo>> r;
  for (int i = 0; i < q.size(); ++i) {
    Result<QueueInfo> one = readQueue(conn, q.i64(i, 0));
    if (one.ok()) r.value.push_back(one.value);
  }
  return r;
}

Result<QueueInfo> PostgresStore::describeQueue(const std::string& qmgr, const std::string& queue) {
  Conn conn;
  Result<int64_t> id = openQueue(conn, qmgr, queue);
  if (!id.ok()) return id.status;
  return readQueue(conn, id.value);
}

}  // namespace
}  // namespace mqi::pg

namespace mqi {

std::shared_ptr<Store> openPostgresStore(const std::string& location) {
  return std::make_shared<pg::PostgresStore>(location);
}

}  // namespace mqi
