// A connection to a queue manager of the PostgreSQL store. Every call is one short statement
// (or a few in one short transaction); the unit of work lives in the rows it marked, so nothing
// is locked between calls. Syncpoint work is written with synchronous_commit off; the commit
// (and every call that makes something final at once) runs with it on, which flushes everything
// written before it too.

#include <chrono>
#include <cstring>
#include <map>
#include <set>
#include <utility>

#include "mqi/postgres/postgres.h"
#include "platform/host.h"

namespace mqi::pg {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kTakeAttempts = 1000;  // lost races for one message before giving up
constexpr auto kStateRefresh = std::chrono::seconds(1);
// An answer read this recently brought every notification sent before it: a look at the socket
// so soon after (the checks before each call) would be a system call for nothing.
constexpr auto kAnswerFresh = std::chrono::milliseconds(1);
// The other sessions of queue manager `qmgr` on machine `machine` (this session is `self`), as
// "id:pid,..."; the arguments are SQL expressions.
std::string sameMachine(const std::string& qmgr, const std::string& machine,
                        const std::string& self) {
  return "coalesce((SELECT string_agg(s.id || ':' || s.client_pid, ',') FROM mqi.sessions s"
         " WHERE s.qmgr=" + qmgr + " AND s.machine=" + machine + " AND s.id<>" + self + "), '')";
}

int64_t nowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string quotedChannel(const std::string& channel) { return "\"" + channel + "\""; }

// Of the answers of statements run together, the one that failed (the first not ok: those
// after it did not run), or nullptr.
const Rows* failedAnswer(const std::vector<Rows>& answers) {
  for (const Rows& r : answers)
    if (!r.ok()) return &r;
  return nullptr;
}

// The switch of synchronous_commit for the rest of one transaction, run with its statements.
const std::string kDurableCommit = "SELECT set_config('synchronous_commit', 'on', true)";
const std::string kQuickCommit = "SELECT set_config('synchronous_commit', 'off', true)";

// The payload of the chosen message, already fetched with it.
class ResultReader : public PayloadReader {
 public:
  ResultReader(const char* data, int64_t length) : data_(data), length_(length) {}
  bool read(int64_t offset, void* into, size_t length) override {
    if (offset < 0 || offset + static_cast<int64_t>(length) > length_) return false;
    if (length > 0) std::memcpy(into, data_ + offset, length);
    return true;
  }

 private:
  const char* data_;
  int64_t length_;
};

class PostgresSession : public Session, public LeaseHolder {
 public:
  ~PostgresSession() override { stopRenewing(this); }
  int32_t open(const std::string& conninfo, const std::string& qmgr);
  bool leaseDue(Clock::time_point now) const override {
    return broken_ == 0 && sessionId_ != 0 && now - renewedAt_ >= renewEvery();
  }
  void renewIdle() override {
    if (broken_ == 0) refreshState();
  }

  const QueueManagerInfo& queueManager() const override { return info_; }
  int32_t health() override;
  bool quiescing() override;
  int32_t findQueue(const std::string& name, QueueRef& out) override;
  int32_t openHandle(const QueueRef& queue, InputMode input, bool output,
                     int64_t& handleId) override;
  void closeHandle(int64_t handleId) override;
  int32_t put(int64_t queueId, const MQMD& md, const void* data, size_t length,
              bool syncpoint) override;
  int32_t get(const GetRequest& request, const DeliverFn& deliver) override;
  uint32_t changeToken(int64_t queueId) override;
  void awaitChange(int64_t queueId, uint32_t token, int timeoutMs) override;
  int32_t describeQueue(int64_t queueId, QueueInfo& out) override;
  int32_t setInhibit(int64_t queueId, int32_t inhibitGet, int32_t inhibitPut) override;
  int64_t uncommittedCount() const override { return uncommitted_; }
  int32_t commit() override;
  int32_t backout() override;
  int32_t disconnect() override;
  void abandon() override;

 private:
  using CallGuard = std::lock_guard<std::recursive_mutex>;
  Clock::duration renewEvery() const { return std::chrono::milliseconds(leaseSeconds_ * 1000 / 3); }
  // A statement found the session ended by another (its lease ran out) or by an operator.
  int32_t leaseLost() { return broken_ = MQRC_CONNECTION_BROKEN; }
  int32_t fail(const Rows& rows) {
    int32_t rc = reasonFor(conn_, rows);
    if (rc == MQRC_CONNECTION_BROKEN) broken_ = rc;
    return rc;
  }
  int32_t connect();
  int32_t register_();
  bool pollNotifies(bool readSocket = true);
  void refreshState();
  uint32_t tokenOf(int64_t queueId) { return global_ + changes_[queueId]; }
  int32_t setSync(bool on);
  std::vector<Rows> runDurably(std::vector<Conn::Step> steps);
  Rows runFinal(const std::string& sql, const Params& params);
  void endUnit();
  int32_t addHandle(int64_t queueId, InputMode input, bool output, int64_t& handleId);
  int32_t reap();
  int32_t reapLocal(const std::string& list, int* reaped = nullptr);
  int32_t putRefused(int64_t queueId, size_t length, bool syncpoint);
  int32_t leaseCheck();
  Rows select(const GetRequest& r, int32_t deliverySeq, bool browse);
  std::string conditions(const GetRequest& r, int32_t deliverySeq, Params& p);
  int32_t take(int64_t id, bool syncpoint, bool& taken);
  int32_t takeAndDeliver(const GetRequest& r, const DeliverFn& deliver, bool checkHeld,
                         bool& done, bool& held);
  int32_t giveBack(int64_t id);
  void rememberGot(int64_t id, const char* data, int length);

  Conn conn_;
  std::string conninfo_;
  std::string qmgr_;
  QueueManagerInfo info_;
  int64_t sessionId_ = 0;
  int64_t epoch_ = 0;
  int32_t broken_ = 0;
  bool quiescing_ = false;
  bool stateDirty_ = false;
  Clock::time_point stateRead_;
  int32_t leaseSeconds_ = kDefaultSessionLease;
  Clock::time_point renewedAt_;
  bool syncOn_ = true;
  int64_t uncommitted_ = 0;
  // What the open unit of work holds: messages put (state 1) and messages got (state 2).
  bool unitPuts_ = false;
  bool unitGets_ = false;
  // The message this unit of work got last, with its payload as stored, while no put took that
  // payload over; and whether a put did so (its commit then moves rows).
  int64_t lastGotId_ = 0;
  std::string lastGotData_;
  bool unitMoves_ = false;
  std::set<int64_t> listening_;
  std::map<int64_t, uint32_t> changes_;
  uint32_t global_ = 0;
  std::map<int64_t, int32_t> deliverySeq_;  // as last seen; a get checks it against the queue
};

// Whether queue $1 holds messages got by the open unit of work of a session other than $2:
// two seeks in a small index, so that only then the get looks for dead sessions.
constexpr const char* kHeldByOthers =
    "(EXISTS (SELECT 1 FROM mqi.messages h WHERE h.queue_id=$1 AND h.state=2 AND h.owner<$2)"
    " OR EXISTS (SELECT 1 FROM mqi.messages h WHERE h.queue_id=$1 AND h.state=2 AND h.owner>$2))";

// The session registers first and reads the queue manager after: that one read both fills in
// its attributes and shows a stop that came while the session was being made (a stop after it
// finds the session's row and ends its connection).
int32_t PostgresSession::open(const std::string& conninfo, const std::string& qmgr) {
  qmgr_ = qmgr;
  conninfo_ = conninfo;
  if (int32_t rc = connect(); rc != 0) return rc;
  Rows q = conn_.run(
      "SELECT ccsid, max_uncommitted, max_msg_length, state, epoch,"
      " dead_letter, def_backout, lease FROM mqi.qmgrs WHERE name=$1",
      Params().add(qmgr));
  int32_t rc = 0;
  if (!q.ok()) rc = fail(q);
  else if (q.size() == 0) rc = MQRC_Q_MGR_NAME_ERROR;
  else if (q.i32(0, 3) == 0) rc = MQRC_Q_MGR_NOT_AVAILABLE;
  else if (q.i32(0, 3) == 2) rc = MQRC_Q_MGR_QUIESCING;
  if (rc != 0) {  // the row of a session that never was; the connection closes with it
    if (broken_ == 0)
      conn_.exec("DELETE FROM mqi.sessions WHERE id=" + std::to_string(sessionId_));
    return rc;
  }
  info_.name = qmgr;
  info_.codedCharSetId = q.i32(0, 0);
  info_.maxUncommittedMsgs = q.i32(0, 1);
  info_.maxMsgLength = q.i32(0, 2);
  info_.deadLetterQName = q.text(0, 5);
  info_.defaultBackoutThreshold = q.i32(0, 6);
  info_.running = true;
  epoch_ = q.i64(0, 4);
  leaseSeconds_ = q.i32(0, 7);
  stateRead_ = Clock::now();
  keepLeaseRenewed(this);
  return 0;
}

// A kept connection first; one the server ended while it was idle shows only at its first
// statement, and a new connection is made then.
int32_t PostgresSession::connect() {
  if (takeConnection(conninfo_, conn_)) {
    int32_t rc = register_();
    if (rc != MQRC_CONNECTION_BROKEN) return rc;
    conn_ = Conn();
  }
  if (!conn_.open(conninfo_)) {
    noteConnectError(connectErrorText(conninfo_, conn_));
    return MQRC_Q_MGR_NOT_AVAILABLE;
  }
  return register_();
}

// Listens for state changes, makes the session row and takes its advisory lock.
int32_t PostgresSession::register_() {
  // One round trip: statements run together share one transaction, so the LISTEN and the
  // session's row start together. The server side of the connection is told to end it when
  // the client stops answering (settings this server does not know are left out): keepalives
  // and a user timeout for TCP, and a transaction left open for a lease (a client stopped
  // between the statements of an open) no longer holds its locks. Work between units of work
  // is written without waiting for the flush (synchronous_commit off for the session).
  static const std::string settings =
      "SELECT set_config(v.name, v.value, false)"
      " FROM (SELECT (coalesce((SELECT lease FROM mqi.qmgrs WHERE name=$1), $2::int)"
      " * 1000)::text AS ms) l,"
      " LATERAL (VALUES ('synchronous_commit', 'off'), ('tcp_keepalives_idle', '10'),"
      " ('tcp_keepalives_interval', '5'), ('tcp_keepalives_count', '3'),"
      " ('tcp_user_timeout', l.ms), ('idle_in_transaction_session_timeout', l.ms)) v(name, value)"
      " WHERE current_setting(v.name, true) IS NOT NULL";
  static const std::string insert =
      "INSERT INTO mqi.sessions(qmgr, client, machine, client_pid, renewed)"
      " VALUES($1, $2, $3, $4, clock_timestamp())"
      " RETURNING id, pg_advisory_lock((1364459521::bigint << 32) | id)";
  std::string listen = "LISTEN " + quotedChannel(qmgrChannel(qmgr_));
  Params none;
  Params lease;
  lease.add(qmgr_).add(kDefaultSessionLease);
  Params session;
  session.add(qmgr_).add(platform::programName()).add(platform::machineKey());
  session.add(platform::currentProcessId());
  Clock::time_point registered = Clock::now();
  std::vector<Rows> answers =
      conn_.runTogether({{listen, none}, {settings, lease}, {insert, session}});
  if (const Rows* failed = failedAnswer(answers)) {
    // No schema (or no table of it) yet: no queue manager was ever made in this database.
    if (failed->sqlState() == "3F000" || failed->sqlState() == "42P01")
      return MQRC_Q_MGR_NAME_ERROR;
    return reasonFor(conn_, *failed);
  }
  syncOn_ = false;
  sessionId_ = answers[2].i64(0, 0);
  renewedAt_ = registered;
  return 0;
}

// Takes the notifications that arrived (reading the socket first when asked); false when the
// connection is gone.
bool PostgresSession::pollNotifies(bool readSocket) {
  if (!conn_.usable() || (readSocket && PQconsumeInput(conn_.raw()) == 0)) return false;
  while (PGnotify* n = PQnotifies(conn_.raw())) {
    std::string channel = n->relname;
    PQfreemem(n);
    if (channel.rfind("qt.q.", 0) == 0) {
      ++changes_[std::strtoll(channel.c_str() + 5, nullptr, 10)];
    } else {
      ++global_;  // the queue manager changed state: every waiter looks again
      stateDirty_ = true;
    }
  }
  return conn_.usable();
}

// Reads the queue manager's state and lease, renewing the session's lease in the same
// statement when that is due.
void PostgresSession::refreshState() {
  stateDirty_ = false;
  stateRead_ = Clock::now();
  bool renew = leaseDue(stateRead_);
  Rows q = renew ? conn_.run(
                       "WITH r AS (UPDATE mqi.sessions SET renewed=clock_timestamp()"
                       " WHERE id=$2 RETURNING id)"
                       " SELECT state, epoch, lease, (SELECT count(*) FROM r)"
                       " FROM mqi.qmgrs WHERE name=$1",
                       Params().add(qmgr_).add(sessionId_))
                 : conn_.run("SELECT state, epoch, lease FROM mqi.qmgrs WHERE name=$1",
                             Params().add(qmgr_));
  if (!q.ok()) {
    fail(q);
    return;
  }
  if (q.size() == 0 || q.i32(0, 0) == 0) broken_ = MQRC_Q_MGR_STOPPING;
  else if (q.i64(0, 1) != epoch_) broken_ = MQRC_CONNECTION_BROKEN;
  else if (renew && q.i64(0, 3) == 0)
    leaseLost();
  else quiescing_ = q.i32(0, 0) == 2;
  if (q.size() > 0) leaseSeconds_ = q.i32(0, 2);
  if (renew && broken_ == 0) renewedAt_ = stateRead_;
}

int32_t PostgresSession::health() {
  CallGuard call(callLock);
  if (broken_ != 0) return broken_;
  if (!pollNotifies(Clock::now() - conn_.answered() > kAnswerFresh))
    return broken_ = MQRC_CONNECTION_BROKEN;
  Clock::time_point now = Clock::now();
  if (stateDirty_ || now - stateRead_ > kStateRefresh || leaseDue(now)) refreshState();
  return broken_;
}

bool PostgresSession::quiescing() {
  CallGuard call(callLock);
  health();
  return quiescing_;
}

int32_t PostgresSession::setSync(bool on) {
  if (on == syncOn_) return 0;
  Rows r = conn_.exec(on ? "SET synchronous_commit=on" : "SET synchronous_commit=off");
  if (!r.ok()) return fail(r);
  syncOn_ = on;
  return 0;
}

// Statements run together in one transaction whose commit waits until everything written
// before it is on disk; the session's own setting stays as it was (off between units of work,
// so that the next one needs no switch).
std::vector<Rows> PostgresSession::runDurably(std::vector<Conn::Step> steps) {
  static const Params none;
  if (!syncOn_) steps.insert(steps.begin(), Conn::Step{kDurableCommit, none});
  return conn_.runTogether(steps);
}

// One statement that makes something final at once (outside syncpoint): durable when it
// returns, with no switch of the session's setting before it or back after it.
Rows PostgresSession::runFinal(const std::string& sql, const Params& params) {
  if (syncOn_) return conn_.run(sql, params);
  std::vector<Rows> answers = runDurably({{sql, params}});
  for (Rows& answer : answers)
    if (!answer.ok()) return std::move(answer);
  return std::move(answers.back());
}

// Backs out the work of dead sessions of this queue manager before a look at its queues:
// sessions whose connection the server saw end, and sessions of this machine whose process is
// gone although the server has not noticed yet.
int32_t PostgresSession::reap() {
  Rows r = conn_.run("SELECT mqi.reap($1, $3), " + sameMachine("$1", "$2", "$3"),
                     Params().add(qmgr_).add(platform::machineKey()).add(sessionId_));
  if (!r.ok()) return fail(r);
  return reapLocal(r.text(0, 1));
}

// The server-side part of reap(), run together with (before) the statements of a look at
// queues: the rows of the dead are gone for those. They give the list for reapLocal.
const std::string kReapFirst = "SELECT mqi.reap($1, $2)";

// `list` is "id:pid,id:pid..." of the other sessions of this machine. The server only learns
// that a client died when it next reads from the connection; a process on the same machine
// can tell at once. `reaped` counts the sessions found dead that way.
int32_t PostgresSession::reapLocal(const std::string& list, int* reaped) {
  size_t at = 0;
  while (at < list.size()) {
    size_t end = list.find(',', at);
    if (end == std::string::npos) end = list.size();
    std::string item = list.substr(at, end - at);
    at = end + 1;
    size_t colon = item.find(':');
    if (colon == std::string::npos) continue;
    auto pid = static_cast<int32_t>(std::strtol(item.c_str() + colon + 1, nullptr, 10));
    if (!platform::processGone(pid)) continue;
    Rows r = conn_.run("SELECT mqi.reap_session($1)",
                       Params().add(std::strtoll(item.c_str(), nullptr, 10)));
    if (!r.ok()) return fail(r);
    if (reaped != nullptr) ++*reaped;
  }
  return 0;
}

int32_t PostgresSession::findQueue(const std::string& name, QueueRef& out) {
  CallGuard call(callLock);
  Rows q = conn_.run("SELECT id, max_msg_length, max_depth, def_priority, def_persistence,"
                     " def_input, shareability, delivery_seq, inhibit_get, inhibit_put,"
                     " description, depth FROM mqi.queues WHERE qmgr=$1 AND name=$2",
                     Params().add(qmgr_).add(name));
  if (!q.ok()) return fail(q);
  if (q.size() == 0) return MQRC_UNKNOWN_OBJECT_NAME;
  out.id = q.i64(0, 0);
  out.name = name;
  QueueInfo& i = out.info;
  i.name = name;
  i.maxMsgLength = q.i32(0, 1);
  i.maxQDepth = q.i32(0, 2);
  i.defPriority = q.i32(0, 3);
  i.defPersistence = q.i32(0, 4);
  i.defInputOpenOption = q.i32(0, 5);
  i.shareability = q.i32(0, 6);
  i.msgDeliverySequence = q.i32(0, 7);
  i.inhibitGet = q.i32(0, 8);
  i.inhibitPut = q.i32(0, 9);
  i.description = q.text(0, 10);
  i.currentDepth = q.i32(0, 11);
  deliverySeq_[out.id] = i.msgDeliverySequence;
  return 0;
}

// Input modes are checked and the handle registered under an advisory lock on the queue, so
// two machines opening at once cannot both get exclusive input. One round trip: statements run
// together share one transaction, each with a snapshot of its own, so the check after the lock
// sees every handle committed before it; the dead sessions of the queue manager are
// backed out first, so that a dead holder's handle is gone. A conflicting handle of a session
// whose process this machine sees gone is reaped, and the open tried once more.
int32_t PostgresSession::openHandle(const QueueRef& queue, InputMode input, bool output,
                                    int64_t& handleId) {
  CallGuard call(callLock);
  if (input == InputMode::kNone) return addHandle(queue.id, input, output, handleId);
  static const std::string lock = "SELECT pg_advisory_xact_lock(($1::bigint << 32) | $2)";
  // Exclusive input (2) excludes every other input handle, and any excludes exclusive input.
  static const std::string open =
      "WITH s AS (SELECT id FROM mqi.sessions WHERE id=$1 FOR KEY SHARE),"
      " c AS (SELECT EXISTS (SELECT 1 FROM mqi.handles WHERE queue_id=$2"
      " AND input<>0 AND (input=2 OR $3::int=2)) AS busy),"
      " i AS (INSERT INTO mqi.handles(session_id, queue_id, input, output)"
      " SELECT s.id, $2, $3::int, $4::int FROM s, c WHERE NOT c.busy RETURNING id)"
      " SELECT (SELECT id FROM i), (SELECT busy FROM c)::int, (SELECT count(*) FROM s)::int, " +
      sameMachine("$5", "$6", "$1");
  Params reapParams;
  reapParams.add(qmgr_).add(sessionId_);
  Params lockParams;
  lockParams.add(kQueueLockSpace).add(queue.id);
  Params openParams;
  openParams.add(sessionId_).add(queue.id).add(static_cast<int>(input));
  openParams.add(output ? 1 : 0).add(qmgr_).add(platform::machineKey());
  // The first try looks for no dead sessions: only a holder that excludes this open makes
  // that worth its cost, and the second try does it.
  for (int round = 0;; ++round) {
    std::vector<Conn::Step> steps;
    if (round > 0) steps.push_back({kReapFirst, reapParams});
    steps.push_back({lock, lockParams});
    steps.push_back({open, openParams});
    std::vector<Rows> answers = conn_.runTogether(steps);
    if (const Rows* failed = failedAnswer(answers)) return fail(*failed);
    const Rows& r = answers.back();
    int reaped = 0;
    if (int32_t rc = reapLocal(r.text(0, 3), &reaped); rc != 0) return rc;
    if (r.i32(0, 2) == 0) return leaseLost();
    if (!r.null(0, 0)) {
      handleId = r.i64(0, 0);
      return 0;
    }
    if (round > 1 || (round == 1 && reaped == 0)) return MQRC_OBJECT_IN_USE;
  }
}

// An open that takes no input cannot conflict with another: one statement, no lock but the
// session's row (key share), so that a handle is never made for a session ended meanwhile.
int32_t PostgresSession::addHandle(int64_t queueId, InputMode input, bool output,
                                   int64_t& handleId) {
  Rows ins = conn_.run(
      "INSERT INTO mqi.handles(session_id, queue_id, input, output)"
      " SELECT id, $2, $3, $4 FROM mqi.sessions WHERE id=$1 FOR KEY SHARE"
      " RETURNING id",
      Params().add(sessionId_).add(queueId).add(static_cast<int64_t>(input)).add(output ? 1 : 0));
  if (!ins.ok()) return fail(ins);
  if (ins.size() == 0) return leaseLost();
  handleId = ins.i64(0, 0);
  return 0;
}

void PostgresSession::closeHandle(int64_t handleId) {
  CallGuard call(callLock);
  if (broken_ != 0) return;
  Rows r = conn_.run("DELETE FROM mqi.handles WHERE id=$1", Params().add(handleId));
  if (!r.ok()) fail(r);
}

// A put: the queue's depth raised, unless the queue refuses the message, and the message
// inserted; no row inserted means refused. A message put outside syncpoint is there at once,
// so that statement wakes its getters; inside a unit of work nobody may see it yet, and the
// session's row is locked (key share) for the statement: a session ended meanwhile inserts
// nothing, and one ended later has the message backed out with the rest of its work.
// A put that passes on the payload of message $12, which its unit of work got, stores none:
// the commit moves that message into its place.
const std::string& putStatement(bool syncpoint, bool moved) {
  static const std::string depth =
      "UPDATE mqi.queues SET depth=depth+1 WHERE id=$1 AND inhibit_put=0"
      " AND depth<max_depth AND max_msg_length>=$2";
  static const std::string insert =
      " INSERT INTO mqi.messages(queue_id, length, state, owner, priority, msg_id, correl_id,"
      " persistent, expires, md, data)"
      " SELECT id, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11 FROM q";
  static const std::string inUnit =
      "WITH s AS (SELECT id FROM mqi.sessions WHERE id=$4 FOR KEY SHARE), q AS (" + depth +
      " AND EXISTS (SELECT 1 FROM s) RETURNING id)" + insert;
  static const std::string now = "WITH q AS (" + depth + " RETURNING id)" + insert +
                                 " RETURNING pg_notify('qt.q.' || queue_id, '')";
  static const std::string inUnitMoved =
      "WITH s AS (SELECT id FROM mqi.sessions WHERE id=$4 FOR KEY SHARE), q AS (" + depth +
      " AND EXISTS (SELECT 1 FROM s) RETURNING id)"
      " INSERT INTO mqi.messages(queue_id, length, state, owner, priority, msg_id, correl_id,"
      " persistent, expires, md, data, data_from)"
      " SELECT id, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12 FROM q";
  if (moved) return inUnitMoved;
  return syncpoint ? inUnit : now;
}

int32_t PostgresSession::put(int64_t queueId, const MQMD& md, const void* data, size_t length,
                             bool syncpoint) {
  CallGuard call(callLock);
  if (syncpoint && uncommitted_ >= info_.maxUncommittedMsgs) return MQRC_SYNCPOINT_LIMIT_REACHED;
  bool final = !syncpoint && md.Persistence == MQPER_PERSISTENT;
  if (!final) {
    if (int32_t rc = setSync(false); rc != 0) return rc;
  }
  Params p;
  p.add(queueId).add(static_cast<int64_t>(length)).add(syncpoint ? 1 : 0);
  p.add(syncpoint ? sessionId_ : 0).add(md.Priority);
  p.addBytes(md.MsgId, sizeof md.MsgId).addBytes(md.CorrelId, sizeof md.CorrelId);
  p.add(md.Persistence).add(md.Expiry > 0 ? nowMs() + int64_t{md.Expiry} * 100 : 0);
  // The payload of the message the unit got last, passed on (a router's segment): the put
  // sends and stores none of it.
  bool moved = syncpoint && lastGotId_ != 0 && length == lastGotData_.size() &&
               std::memcmp(data, lastGotData_.data(), length) == 0;
  p.addBytes(&md, sizeof md).addBytes(data, moved ? 0 : length);
  if (moved) p.add(lastGotId_);
  Rows r = final ? runFinal(putStatement(syncpoint, moved), p)
                 : conn_.run(putStatement(syncpoint, moved), p);
  if (!r.ok()) return fail(r);
  if (r.affected() == 0) return putRefused(queueId, length, syncpoint);
  if (syncpoint) {
    ++uncommitted_;
    unitPuts_ = true;
  }
  if (moved) {
    unitMoves_ = true;
    lastGotId_ = 0;
    lastGotData_.clear();
  }
  return 0;
}

// Why a put inserted nothing.
int32_t PostgresSession::putRefused(int64_t queueId, size_t length, bool syncpoint) {
  if (syncpoint) {
    if (int32_t rc = leaseCheck(); rc != 0) return rc;
  }
  Rows q = conn_.run("SELECT inhibit_put, max_msg_length, depth, max_depth FROM mqi.queues"
                     " WHERE id=$1",
                     Params().add(queueId));
  if (!q.ok()) return fail(q);
  if (q.size() == 0) return MQRC_Q_DELETED;
  if (q.i32(0, 0) == MQQA_PUT_INHIBITED) return MQRC_PUT_INHIBITED;
  if (static_cast<int64_t>(length) > q.i64(0, 1)) return MQRC_MSG_TOO_BIG_FOR_Q;
  return MQRC_Q_FULL;
}

// 0 while the session's row is there; 2009 once another session or an operator ended it.
int32_t PostgresSession::leaseCheck() {
  Rows r = conn_.run("SELECT 1 FROM mqi.sessions WHERE id=$1", Params().add(sessionId_));
  if (!r.ok()) return fail(r);
  return r.size() == 0 ? leaseLost() : 0;
}

// The first suitable message, with its payload, in binary columns: id, md, length, backout,
// persistent, priority, data. Getters skip rows another getter is taking at this moment.
Rows PostgresSession::select(const GetRequest& r, int32_t deliverySeq, bool browse) {
  const char* lock = browse ? "" : " FOR UPDATE SKIP LOCKED";
  std::string sql = "SELECT id, md, length, backout, persistent, priority, data"
                    " FROM mqi.messages WHERE queue_id=$1";
  Params p;
  p.add(r.queueId);
  if (r.mode == GetMode::kBrowseUnderCursor || r.mode == GetMode::kGetUnderCursor) {
    p.add(r.cursor != nullptr ? r.cursor->messageId : 0);
    return conn_.run(sql + " AND state=0 AND id=$2" + lock, p, true);
  }
  return conn_.run(sql + conditions(r, deliverySeq, p) + lock, p, true);
}

// The conditions after "queue_id=$1" that pick the first suitable message, with its order and
// LIMIT 1; their parameters are added to p.
//
// A get by CorrelId seeks the few messages of that CorrelId in the ids index and sorts them.
// The planner must not walk the order index instead (queue and state as its keys, the ids as
// a filter): that reads every available message of the queue for each get, so a router
// taking the segments of a large file one by one did work quadratic in the file's length. It
// chose so whenever the table's statistics were gathered while a file's segments were still
// in the loading unit of work (state 1), which made "state=0" look rare, and a prepared
// statement kept that plan for the life of the connection. "state+0" and "priority+0" leave
// the order index nothing to seek or sort by beyond the queue, where the ids index seeks
// further.
std::string PostgresSession::conditions(const GetRequest& r, int32_t deliverySeq, Params& p) {
  bool fifo = deliverySeq == MQMDS_FIFO;
  bool seek = r.matchCorrelId;
  auto next = [&p] { return "$" + std::to_string(p.count() + 1); };
  std::string sql = seek ? " AND state+0=0" : " AND state=0";
  sql += " AND (expires=0 OR expires>" + next() + ")";
  p.add(nowMs());
  if (r.matchMsgId) {
    sql += " AND msg_id=" + next();
    p.addBytes(r.msgId, sizeof r.msgId);
  }
  if (r.matchCorrelId) {
    sql += " AND correl_id=" + next();
    p.addBytes(r.correlId, sizeof r.correlId);
  }
  if (r.mode == GetMode::kBrowseNext && r.cursor != nullptr && r.cursor->messageId != 0) {
    if (fifo) {
      sql += " AND id>" + next();
    } else {
      std::string prio = next();
      p.add(r.cursor->priority);
      std::string id = next();
      sql += " AND (priority<" + prio + " OR (priority=" + prio + " AND id>" + id + "))";
    }
    p.add(r.cursor->messageId);
  }
  if (fifo) sql += seek ? " ORDER BY id+0" : " ORDER BY id";
  else sql += seek ? " ORDER BY priority+0 DESC, id" : " ORDER BY priority DESC, id";
  return sql + " LIMIT 1";
}

// Marks the message as got by this unit of work, or removes it; taken is false when another
// session took it first.
int32_t PostgresSession::take(int64_t id, bool syncpoint, bool& taken) {
  static const std::string removal =
      "WITH m AS (DELETE FROM mqi.messages WHERE id=$1 AND state=0 RETURNING queue_id)"
      " UPDATE mqi.queues SET depth=depth-1 WHERE id IN (SELECT queue_id FROM m)";
  Rows r = syncpoint
               ? conn_.run(
                     "WITH s AS (SELECT id FROM mqi.sessions WHERE id=$2 FOR KEY SHARE),"
                     " m AS (UPDATE mqi.messages SET state=2, owner=$2"
                     " WHERE id=$1 AND state=0 AND EXISTS (SELECT 1 FROM s)"
                     " RETURNING queue_id)"
                     " UPDATE mqi.queues SET depth=depth-1 WHERE id IN (SELECT queue_id FROM m)",
                     Params().add(id).add(sessionId_))
               : runFinal(removal, Params().add(id));
  if (!r.ok()) return fail(r);
  taken = r.affected() > 0;
  return taken || !syncpoint ? 0 : leaseCheck();
}

// The common get (the next message, inside the unit of work) in one statement: the queue's
// state, the choice of the message and its marking as got, with its payload. Nothing is taken
// when the queue is get-inhibited, when its delivery sequence is not the one the order was
// built for, or (checkHeld) when another session holds messages of the queue: that session may
// be dead and its messages must get their places back before one is chosen. done is false
// then (held says whether for that reason), and the caller reaps or looks the long way.
int32_t PostgresSession::takeAndDeliver(const GetRequest& r, const DeliverFn& deliver,
                                        bool checkHeld, bool& done, bool& held) {
  done = false;
  int32_t seq = deliverySeq_.count(r.queueId) ? deliverySeq_[r.queueId] : MQMDS_PRIORITY;
  Params p;
  p.add(r.queueId).add(sessionId_).add(seq).add(checkHeld ? 1 : 0);
  std::string chosen = "SELECT id FROM mqi.messages WHERE queue_id=$1" + conditions(r, seq, p) +
                       " FOR UPDATE SKIP LOCKED";
  // The session's row is locked (key share) as for a put in a unit of work.
  Rows m = conn_.run(
      "WITH s AS (SELECT id FROM mqi.sessions WHERE id=$2 FOR KEY SHARE),"
      " q AS (SELECT inhibit_get, delivery_seq, " +
          std::string(kHeldByOthers) +
          " AS held FROM mqi.queues WHERE id=$1),"
          " c AS (" +
          chosen +
          "),"
          " t AS (UPDATE mqi.messages m SET state=2, owner=$2 FROM c, q WHERE m.id=c.id"
          " AND q.inhibit_get=0 AND NOT (q.held AND $4::int=1) AND q.delivery_seq=$3::int"
          " AND EXISTS (SELECT 1 FROM s)"
          " RETURNING m.id, m.md, m.length, m.backout, m.persistent, m.priority, m.data),"
          " d AS (UPDATE mqi.queues SET depth=depth-1 WHERE id=$1 AND EXISTS (SELECT 1 FROM t))"
          " SELECT q.inhibit_get, q.delivery_seq, q.held::int, t.id, t.md, t.length, t.backout,"
          " t.persistent, t.priority, t.data, (SELECT count(*)::int FROM s)"
          " FROM q LEFT JOIN t ON true",
      p, true);
  if (!m.ok()) return fail(m);
  if (m.size() == 0) {
    done = true;
    return MQRC_Q_DELETED;
  }
  if (m.binI32(0, 10) == 0) {
    done = true;
    return leaseLost();
  }
  deliverySeq_[r.queueId] = m.binI32(0, 1);
  if (m.binI32(0, 0) == MQQA_GET_INHIBITED) {
    done = true;
    return MQRC_GET_INHIBITED;
  }
  held = checkHeld && m.binI32(0, 2) != 0;
  if (held || m.binI32(0, 1) != seq) return 0;
  done = true;
  if (m.null(0, 3)) return MQRC_NO_MSG_AVAILABLE;
  MQMD md;
  if (m.length(0, 4) != static_cast<int>(sizeof md)) return MQRC_UNEXPECTED_ERROR;
  std::memcpy(&md, m.bytes(0, 4), sizeof md);
  md.BackoutCount = m.binI32(0, 6);
  ++uncommitted_;
  unitGets_ = true;
  ResultReader reader(m.bytes(0, 9), m.length(0, 9));
  if (deliver(md, m.binI32(0, 5), reader)) {
    rememberGot(m.binI64(0, 3), m.bytes(0, 9), m.length(0, 9));
    return 0;
  }
  --uncommitted_;
  return giveBack(m.binI64(0, 3));  // kept (truncated)
}

// A payload this size or larger is stored apart from its row (PostgreSQL's TOAST), where a
// copy costs a write of the whole payload; a smaller one is copied with its row anyway. The
// session keeps a copy to compare the next put with, so only up to a bound.
constexpr int kMovablePayload = 2048;
constexpr int kMovablePayloadLimit = 1 << 20;

// Remembers a message the unit of work got, for a put of the same payload to take over.
void PostgresSession::rememberGot(int64_t id, const char* data, int length) {
  if (length < kMovablePayload || length > kMovablePayloadLimit) {
    lastGotId_ = 0;
    lastGotData_.clear();
    return;
  }
  lastGotId_ = id;
  lastGotData_.assign(data, static_cast<size_t>(length));
}

// Puts a message this unit of work just took back in its place, as if never taken.
int32_t PostgresSession::giveBack(int64_t id) {
  Rows r = conn_.run("WITH m AS (UPDATE mqi.messages SET state=0, owner=0"
                     " WHERE id=$1 AND owner=$2 AND state=2 RETURNING queue_id)"
                     " UPDATE mqi.queues SET depth=depth+1 WHERE id IN (SELECT queue_id FROM m)"
                     " RETURNING pg_notify('qt.q.' || id, '')",
                     Params().add(id).add(sessionId_));
  return r.ok() ? 0 : fail(r);
}

int32_t PostgresSession::get(const GetRequest& r, const DeliverFn& deliver) {
  CallGuard call(callLock);
  bool browse = r.mode == GetMode::kBrowseFirst || r.mode == GetMode::kBrowseNext ||
                r.mode == GetMode::kBrowseUnderCursor;
  bool underCursor = r.mode == GetMode::kBrowseUnderCursor || r.mode == GetMode::kGetUnderCursor;
  if (underCursor && (r.cursor == nullptr || r.cursor->messageId == 0))
    return MQRC_NO_MSG_UNDER_CURSOR;
  bool reaped = false;
  if (r.mode == GetMode::kGet && r.syncpoint && uncommitted_ < info_.maxUncommittedMsgs) {
    if (int32_t rc = setSync(false); rc != 0) return rc;
    bool done = false, held = false;
    int32_t rc = takeAndDeliver(r, deliver, true, done, held);
    if (rc == 0 && held) {  // another unit of work holds messages here: is its session alive?
      if (rc = reap(); rc != 0) return rc;
      reaped = true;
      rc = takeAndDeliver(r, deliver, false, done, held);
    }
    if (done || rc != 0) return rc;
  }
  Rows q = conn_.run("SELECT inhibit_get, delivery_seq, " + std::string(kHeldByOthers) +
                         "::int FROM mqi.queues WHERE id=$1",
                     Params().add(r.queueId).add(sessionId_));
  if (!q.ok()) return fail(q);
  if (q.size() == 0) return MQRC_Q_DELETED;
  // Messages held by another unit of work: if its session is dead, they go back first.
  if (q.i32(0, 2) != 0 && !reaped) {
    if (int32_t rc = reap(); rc != 0) return rc;
  }
  if (q.i32(0, 0) == MQQA_GET_INHIBITED) return MQRC_GET_INHIBITED;
  deliverySeq_[r.queueId] = q.i32(0, 1);
  for (int attempt = 0; attempt < kTakeAttempts; ++attempt) {
    Rows m = select(r, q.i32(0, 1), browse);
    if (!m.ok()) return fail(m);
    if (m.size() == 0) return underCursor ? MQRC_NO_MSG_UNDER_CURSOR : MQRC_NO_MSG_AVAILABLE;
    MQMD md;
    if (m.length(0, 1) != static_cast<int>(sizeof md)) return MQRC_UNEXPECTED_ERROR;
    std::memcpy(&md, m.bytes(0, 1), sizeof md);
    md.BackoutCount = m.binI32(0, 3);
    int64_t id = m.binI64(0, 0);
    bool persistent = m.binI32(0, 4) == MQPER_PERSISTENT;
    bool syncpoint = !browse && (r.syncpoint || (r.syncpointIfPersistent && persistent));
    if (syncpoint && uncommitted_ >= info_.maxUncommittedMsgs) return MQRC_SYNCPOINT_LIMIT_REACHED;
    ResultReader reader(m.bytes(0, 6), m.length(0, 6));
    if (!deliver(md, m.binI32(0, 2), reader)) return 0;  // kept (truncated)
    if (browse) {
      if (r.cursor != nullptr) *r.cursor = BrowseCursor{id, m.binI32(0, 5)};
      return 0;
    }
    if (syncpoint) {
      if (int32_t rc = setSync(false); rc != 0) return rc;
    }
    bool taken = false;
    if (int32_t rc = take(id, syncpoint, taken); rc != 0) return rc;
    if (taken) {
      if (syncpoint) {
        ++uncommitted_;
        unitGets_ = true;
        rememberGot(id, m.bytes(0, 6), m.length(0, 6));
      }
      return 0;
    }
    if (underCursor) return MQRC_NO_MSG_UNDER_CURSOR;
  }
  return MQRC_RESOURCE_PROBLEM;
}

uint32_t PostgresSession::changeToken(int64_t queueId) {
  CallGuard call(callLock);
  if (!listening_.count(queueId)) {
    Rows r = conn_.exec("LISTEN " + quotedChannel(queueChannel(queueId)));
    if (r.ok()) listening_.insert(queueId);
    else fail(r);
  }
  if (!pollNotifies()) broken_ = MQRC_CONNECTION_BROKEN;
  return tokenOf(queueId);
}

// Sleeps on the connection's socket until a notification for the queue (or the queue manager)
// arrives, the connection breaks, or the time is up.
void PostgresSession::awaitChange(int64_t queueId, uint32_t token, int timeoutMs) {
  CallGuard call(callLock);
  auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (broken_ == 0) {
    if (!pollNotifies()) {
      broken_ = MQRC_CONNECTION_BROKEN;
      return;
    }
    if (tokenOf(queueId) != token) return;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    if (left.count() <= 0) return;
    int socket = PQsocket(conn_.raw());
    if (socket < 0) return;
    platform::waitSocketReadable(socket, static_cast<int>(left.count()));
  }
}

int32_t PostgresSession::describeQueue(int64_t queueId, QueueInfo& out) {
  CallGuard call(callLock);
  // The dead sessions are backed out in the same round trip, before the look; one that only
  // this machine sees dead means a second look.
  static const std::string look =
      "SELECT name, max_msg_length, max_depth, def_priority, def_persistence,"
      " def_input, shareability, delivery_seq, inhibit_get, inhibit_put, description, depth,"
      " (SELECT count(*) FROM mqi.handles WHERE queue_id=$1 AND input<>0),"
      " (SELECT count(*) FROM mqi.handles WHERE queue_id=$1 AND output<>0),"
      " backout_threshold, backout_queue, " +
      sameMachine("$2", "$3", "$4") + " FROM mqi.queues WHERE id=$1";
  Params reapParams;
  reapParams.add(qmgr_).add(sessionId_);
  Params lookParams;
  lookParams.add(queueId).add(qmgr_).add(platform::machineKey());
  lookParams.add(sessionId_);
  std::vector<Rows> answers = conn_.runTogether({{kReapFirst, reapParams}, {look, lookParams}});
  if (const Rows* failed = failedAnswer(answers)) return fail(*failed);
  Rows q = std::move(answers[1]);
  int reaped = 0;
  if (int32_t rc = reapLocal(q.size() > 0 ? q.text(0, 16) : std::string(), &reaped); rc != 0)
    return rc;
  if (reaped > 0) {  // the list of this machine's other sessions is not read again
    q = conn_.run(look, lookParams);
    if (!q.ok()) return fail(q);
  }
  if (q.size() == 0) return MQRC_Q_DELETED;
  out.name = q.text(0, 0);
  out.maxMsgLength = q.i32(0, 1);
  out.maxQDepth = q.i32(0, 2);
  out.defPriority = q.i32(0, 3);
  out.defPersistence = q.i32(0, 4);
  out.defInputOpenOption = q.i32(0, 5);
  out.shareability = q.i32(0, 6);
  out.msgDeliverySequence = q.i32(0, 7);
  out.inhibitGet = q.i32(0, 8);
  out.inhibitPut = q.i32(0, 9);
  out.description = q.text(0, 10);
  out.currentDepth = q.i32(0, 11);
  out.openInputCount = q.i32(0, 12);
  out.openOutputCount = q.i32(0, 13);
  out.backoutThreshold = q.i32(0, 14);
  out.backoutRequeueQName = q.text(0, 15);
  return 0;
}

int32_t PostgresSession::setInhibit(int64_t queueId, int32_t inhibitGet, int32_t inhibitPut) {
  CallGuard call(callLock);
  if (int32_t rc = setSync(true); rc != 0) return rc;
  Rows r = conn_.run("UPDATE mqi.queues SET"
                     " inhibit_get=CASE WHEN $1::int<0 THEN inhibit_get ELSE $1::int END,"
                     " inhibit_put=CASE WHEN $2::int<0 THEN inhibit_put ELSE $2::int END"
                     " WHERE id=$3",
                     Params().add(inhibitGet).add(inhibitPut).add(queueId));
  if (!r.ok()) return fail(r);
  return r.affected() == 0 ? MQRC_Q_DELETED : 0;
}

void PostgresSession::endUnit() {
  uncommitted_ = 0;
  unitPuts_ = unitGets_ = unitMoves_ = false;
  lastGotId_ = 0;
  lastGotData_.clear();
}

int32_t PostgresSession::commit() {
  CallGuard call(callLock);
  if (broken_ != 0) return broken_;
  if (uncommitted_ == 0) {  // messages got and given back: nothing left to make final
    endUnit();
    return 0;
  }
  // The statements of mqi.commit_session that the unit needs, run together as prepared
  // statements: a new server connection would first have to look up and plan the function. They
  // run only while the session still holds its lease, which the first renews: the row lock it
  // takes keeps reapers off until the commit is done, and a session ended meanwhile commits
  // nothing. The switch that makes the commit wait for the flush goes with the first.
  static const std::string lease = "SELECT mqi.hold_lease($1)";
  static const std::string durableLease =
      "SELECT set_config('synchronous_commit', 'on', true), mqi.hold_lease($1)";
  // Each message got whose payload a put took over takes the place of that put (its id, queue
  // and descriptor): the payload stays where it is, unwritten.
  static const std::string moves =
      "WITH p AS (DELETE FROM mqi.messages WHERE owner=$1 AND state=1 AND data_from<>0"
      " RETURNING *),"
      " g AS (UPDATE mqi.messages g SET id=p.id, queue_id=p.queue_id, state=0, owner=0,"
      " priority=p.priority, msg_id=p.msg_id, correl_id=p.correl_id, backout=p.backout,"
      " persistent=p.persistent, expires=p.expires, length=p.length, md=p.md, data_from=0"
      " FROM p WHERE g.id=p.data_from AND g.owner=$1 AND g.state=2 RETURNING g.queue_id)"
      " SELECT mqi.finish_moves((SELECT count(*) FROM p), (SELECT count(*) FROM g),"
      " ARRAY(SELECT DISTINCT queue_id FROM g))";
  // The messages got go, the messages put become available: other rows, so one statement.
  static const std::string gets = "DELETE FROM mqi.messages WHERE owner=$1 AND state=2";
  static const std::string flip =
      "flipped AS (UPDATE mqi.messages SET state=0, owner=0 WHERE owner=$1 AND state=1"
      " RETURNING queue_id) SELECT count(pg_notify('qt.q.' || q, ''))"
      " FROM (SELECT DISTINCT queue_id AS q FROM flipped) s";
  static const std::string puts = "WITH " + flip;
  static const std::string both = "WITH got AS (" + gets + "), " + flip;
  Params id;
  id.add(sessionId_);
  Clock::time_point started = Clock::now();
  std::vector<Conn::Step> steps = {{syncOn_ ? lease : durableLease, id}};
  if (unitMoves_) steps.push_back({moves, id});
  if (unitGets_ || unitPuts_) steps.push_back({!unitPuts_ ? gets : unitGets_ ? both : puts, id});
  std::vector<Rows> answers = conn_.runTogether(steps);
  if (const Rows* failed = failedAnswer(answers)) {
    if (failed->sqlState() == kMoveLostState && conn_.usable()) {
      backout();
      return MQRC_BACKED_OUT;
    }
    return fail(*failed);
  }
  renewedAt_ = started;
  endUnit();
  return 0;
}

int32_t PostgresSession::backout() {
  CallGuard call(callLock);
  if (broken_ != 0) return 0;  // the next session to look backs it out
  static const std::string sql = "SELECT mqi.backout_session($1)";
  Params id;
  id.add(sessionId_);
  std::vector<Rows> answers = runDurably({{sql, id}});
  if (const Rows* failed = failedAnswer(answers)) return fail(*failed);
  endUnit();
  return 0;
}

int32_t PostgresSession::disconnect() {
  CallGuard call(callLock);
  stopRenewing(this);
  int32_t result = 0;
  if (health() == 0 && uncommitted_ > 0 && commit() != 0) {
    backout();
    result = MQRC_BACKED_OUT;
  }
  if (broken_ == 0 && sessionId_ != 0) {
    // A session row left behind is reaped as dead. The row goes before the lock that marks
    // the session alive, in one transaction: a reaper that sees the lock free finds no row.
    // Nothing here needs to be durable, so no flush is waited for: the switch comes after the
    // reset of the settings, which would bring back the server's default.
    static const std::string rows = "WITH h AS (DELETE FROM mqi.handles WHERE session_id=$1)"
                                    " DELETE FROM mqi.sessions WHERE id=$1";
    Params none;
    Params id;
    id.add(sessionId_);
    std::vector<Conn::Step> steps = {{rows, id}};
    for (const std::string& reset : kSessionReset) steps.push_back({reset, none});
    steps.push_back({kQuickCommit, none});
    std::vector<Rows> answers = conn_.runTogether(steps);
    if (failedAnswer(answers) == nullptr) keepConnection(conninfo_, std::move(conn_));
  }
  conn_ = Conn();
  broken_ = MQRC_CONNECTION_BROKEN;
  return result;
}

// The connection's socket belongs to the parent process: never closed from here. The call
// lock is not taken: the parent's renewing thread may have held it at the fork.
void PostgresSession::abandon() {
  conn_.abandon();
  broken_ = MQRC_CONNECTION_BROKEN;
}

}  // namespace

int32_t connectSession(const std::string& conninfo, const std::string& qmgr,
                       std::unique_ptr<Session>& out) {
  auto session = std::make_unique<PostgresSession>();
  int32_t rc = session->open(conninfo, qmgr);
  if (rc != 0) return rc;
  out = std::move(session);
  return 0;
}

}  // namespace mqi::pg
