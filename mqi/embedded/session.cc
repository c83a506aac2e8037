// A connection to an embedded queue manager. Every call is one short SQLite transaction;
// the unit of work lives in the rows it touched (their state names this connection, see
// putState/gotState), so nothing is held between calls. Syncpoint operations write without
// syncing; the commit syncs the payload file, then the database, which makes everything
// before it durable too.
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <map>
#include <set>
#include <system_error>

#include "mqi/embedded/embedded.h"
#include "mqi/embedded/file_remover.h"
#include "mqi/embedded/payload_files.h"
#include "mqi/embedded/sqlite_util.h"
#include "platform/host.h"
#include "platform/platform.h"

namespace mqi::embedded {
namespace {

using sqlite::Stmt;
using sqlite::Use;

int64_t steadyMicroseconds() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

int64_t nowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// Reads a message's payload from the database (file 0) or from its payload file. Given
// `keep`, a read of the whole payload leaves a copy of the bytes there too (kept() tells).
class MessageReader : public PayloadReader {
 public:
  MessageReader(sqlite3* db, int64_t id, const Extent& extent, PayloadFiles& files,
                std::vector<char>* keep = nullptr)
      : db_(db), id_(id), extent_(extent), files_(files), keep_(keep) {}
  ~MessageReader() override { sqlite3_blob_close(blob_); }
  bool read(int64_t offset, void* into, size_t length) override {
    if (length == 0) return true;
    bool ok = extent_.fileId != 0 ? readFile(offset, into, length) : readBlob(offset, into, length);
    failed_ = failed_ || !ok;
    if (ok && keep_ != nullptr && offset == 0 && static_cast<int64_t>(length) == extent_.length) {
      keep_->assign(static_cast<const char*>(into), static_cast<const char*>(into) + length);
      kept_ = true;
    }
    return ok;
  }
  bool failed() const { return failed_; }
  bool kept() const { return kept_; }

 private:
  bool readFile(int64_t offset, void* into, size_t length) {
    if (offset + static_cast<int64_t>(length) > extent_.length) return false;
    return files_.read(extent_.fileId, extent_.offset + offset, into, length);
  }
  bool readBlob(int64_t offset, void* into, size_t length) {
    if (blob_ == nullptr &&
        sqlite3_blob_open(db_, "main", "payloads", "data", id_, 0, &blob_) != SQLITE_OK)
      return false;
    return sqlite3_blob_read(blob_, into, static_cast<int>(length), static_cast<int>(offset)) ==
           SQLITE_OK;
  }

  sqlite3* db_;
  int64_t id_;
  Extent extent_;
  PayloadFiles& files_;
  std::vector<char>* keep_;
  sqlite3_blob* blob_ = nullptr;
  bool failed_ = false;
  bool kept_ = false;
};

// The statements that open and end a transaction, prepared once per connection: a get or a
// put opens one per call, and parsing their text each time cost more than running them.
// A commit that filled the log runs the checkpoint once it is over (see holdCheckpoints).
struct TxnStatements {
  Stmt begin, beginWrite, commit, rollback;
  sqlite3* db = nullptr;
  sqlite::CommitFlush* flush = nullptr;
  bool prepare(sqlite3* connection, sqlite::CommitFlush* commitFlush) {
    db = connection;
    flush = commitFlush;
    flush->holdCheckpoints(true);
    return begin.prepare(db, "BEGIN") && beginWrite.prepare(db, "BEGIN IMMEDIATE") &&
           commit.prepare(db, "COMMIT") && rollback.prepare(db, "ROLLBACK");
  }
  void checkpointIfDue() {
    if (flush != nullptr) flush->checkpointIfDue(db);
  }
};

// Runs one of them; returns an sqlite3 code, SQLITE_OK on success.
int runTxnStatement(Stmt& stmt) {
  Use use(stmt);
  int rc = use.run();
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

// Rolls back an open transaction unless committed.
class Txn {
 public:
  explicit Txn(TxnStatements& statements) : s_(statements) {}
  ~Txn() { rollback(); }
  int begin(bool write) {
    int rc = runTxnStatement(write ? s_.beginWrite : s_.begin);
    open_ = rc == SQLITE_OK;
    return rc;
  }
  // A caller that wakes waiting processes passes false and runs the checkpoint after them.
  int commit(bool checkpoint = true) {
    int rc = runTxnStatement(s_.commit);
    if (rc == SQLITE_OK) open_ = false;
    if (rc == SQLITE_OK && checkpoint) s_.checkpointIfDue();
    return rc;
  }
  void rollback() {
    if (open_) runTxnStatement(s_.rollback);
    open_ = false;
  }

 private:
  TxnStatements& s_;
  bool open_ = false;
};

// What a get needs of the message it chose.
struct ChosenMessage {
  int64_t id = 0;
  MQMD md;
  Extent extent;
  bool persistent = false;
};

// The columns that a selection gives for ChosenMessage, in readChosen's order.
constexpr const char* kChosenColumns =
    "id, md, length, backout, persistent, file_id, file_offset";

// Copies a row of kChosenColumns; false when its descriptor is not one (damage).
bool readChosen(Use& row, ChosenMessage& out) {
  if (row.bytes(1) != static_cast<int>(sizeof out.md)) return false;
  out.id = row.i64(0);
  std::memcpy(&out.md, row.blob(1), sizeof out.md);
  out.extent = Extent{row.i64(5), row.i64(6), row.i64(2)};
  out.md.BackoutCount = row.i32(3);
  out.persistent = row.i32(4) == MQPER_PERSISTENT;
  return true;
}

struct QueueRow {
  int32_t inhibitGet = 0, inhibitPut = 0, maxDepth = 0, maxMsgLength = 0, deliverySeq = 0;
  int64_t depth = 0;
};

class EmbeddedSession : public Session {
 public:
  ~EmbeddedSession() override { sqlite::closeDatabase(db_); }

  int32_t open(const std::string& folder);
  // The last failure was a write that found the disk full.
  bool diskFull() const { return diskFull_; }

  const QueueManagerInfo& queueManager() const override { return info_; }
  int32_t health() override;
  bool quiescing() override { return area()->state.load() == kQuiescing; }
  int32_t findQueue(const std::string& name, QueueRef& out) override;
  int32_t openHandle(const QueueRef& queue, InputMode input, bool output,
                     int64_t& handleId) override;
  void closeHandle(int64_t handleId) override;
  int32_t put(int64_t queueId, const MQMD& md, const void* data, size_t length,
              bool syncpoint) override;
  int32_t get(const GetRequest& request, const DeliverFn& deliver) override;
  uint32_t changeToken(int64_t queueId) override {
    return area()->wake[shared_->wordFor(queueId)].load();
  }
  void awaitChange(int64_t queueId, uint32_t token, int timeoutMs) override;
  int32_t describeQueue(int64_t queueId, QueueInfo& out) override;
  int32_t setInhibit(int64_t queueId, int32_t inhibitGet, int32_t inhibitPut) override;
  int64_t uncommittedCount() const override { return uncommitted_; }
  int32_t commit() override;
  int32_t backout() override;
  int32_t disconnect() override;
  void abandon() override;

 private:
  SharedArea* area() const { return shared_->area(); }
  int32_t fail(int rc) {
    diskFull_ = diskFull_ || isDiskFull(rc);
    int primary = rc & 0xff;
    if ((primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB) && !damageReported_) {
      damageReported_ = true;  // once: the caller ends or retries, and need not read it again
      unusable(databasePath(folder_), sqlite3_errstr(rc), rc);
    }
    return sqlite::reasonFor(rc);
  }
  // Runs a call that writes; when it failed for lack of space and releasing the space reserve
  // freed some, runs it once more.
  template <typename Call>
  int32_t withReserve(Call call) {
    diskFull_ = false;
    int32_t reason = call();
    if (reason != 0 && diskFull_ && releaseReserve(*shared_)) {
      diskFull_ = false;
      reason = call();
    }
    return reason;
  }
  // A put that found the disk full leaves the reserve to the gets and commits that free space.
  int32_t putFailed(int32_t reason) {
    if (!diskFull_ && reason != MQRC_Q_SPACE_NOT_AVAILABLE) return reason;
    releaseReserve(*shared_);
    return MQRC_Q_SPACE_NOT_AVAILABLE;
  }
  // The store cannot be used (damaged, unreadable, read-only): says so on standard error,
  // naming the file and what is wrong and what to do, and gives a reason that nobody retries.
  int32_t unusable(const std::string& file, const std::string& error, int sqliteCode = 0);
  int32_t databaseFailure(int rc);
  int32_t openHandleOnce(const QueueRef& queue, InputMode input, bool output, int64_t& handleId);
  int32_t putChecked(int64_t queueId, const MQMD& md, const void* data, size_t length,
                     bool syncpoint);
  int32_t commitOnce();
  int32_t payloadsNotSynced(int32_t reason);
  // Whether the next writes are flushed before they return. Rows of connections and handles
  // never are: after a crash they describe processes that are gone, and they are cleared the
  // way a dead process's are; any later flushed commit carries them to disk anyway.
  void setSync(bool full);
  int32_t claimSlot();
  int32_t endedByOperator();
  int32_t readQueue(int64_t queueId, QueueRow& row);
  int32_t queueForPut(int64_t queueId, QueueRow& row);
  int32_t selectMessage(const GetRequest& request, int32_t deliverySeq, ChosenMessage& out);
  int32_t getOnce(const GetRequest& request, const DeliverFn& deliver, bool& retry);
  int deleteRow(int64_t id);
  int32_t removeMessage(int64_t id, int64_t queueId);
  int32_t flushClaims();
  int deleteClaimed();
  void forgetClaims();
  struct BufferedPut {
    int64_t queueId;
    MQMD md;
    int64_t expires;
    Extent extent;  // the payload's file extent (file 0: inlineData)
    std::string inlineData;
  };
  int32_t putNow(int64_t queueId, const MQMD& md, const void* data, size_t length);
  int32_t checkPut(const QueueRow& q, int64_t queueId, size_t length);
  bool sameBytes(const Extent& extent, const void* data, size_t length);
  int insertRow(const BufferedPut& put, int64_t state, const void* data);
  int addDepth(int64_t queueId, int64_t delta);
  int32_t writeBuffered(int64_t state);
  int32_t flushBuffered();
  void forgetBuffered();
  void afterRowsRemoved();
  void endUnitOfWork();
  Stmt& selector(int variant);
  bool prepareAll();

  // First, so that it outlives the database connection whose callbacks use it.
  std::unique_ptr<sqlite::CommitFlush> flush_;
  std::string folder_;
  sqlite3* db_ = nullptr;
  std::shared_ptr<SharedMap> shared_;
  platform::LockFile locks_;
  uint32_t slot_ = kSlots;
  int64_t connectionId_ = 0;
  uint32_t epoch_ = 0;
  int32_t broken_ = 0;
  static constexpr int64_t kReapIntervalUs = 1000;
  int64_t lastReapUs_ = 0;  // when health() last looked for dead connections
  bool diskFull_ = false;
  bool damageReported_ = false;
  int64_t uncommitted_ = 0;
  std::set<int64_t> putQueues_;  // queues that get committed puts at the next commit
  std::set<int64_t> getQueues_;  // queues with messages held by the unit of work
  PayloadWriter writer_;
  PayloadFiles files_;
  Extent lastGot_;            // the payload file extent of the last message got under syncpoint
  bool gotFileRows_ = false;  // the unit of work holds messages of payload files
  // The bytes of lastGot_, as the get delivered them (when lastGotKept_) or as read back from
  // its file, to compare with a put. A payload up to kKeepBytes is copied as it is delivered,
  // while it is in the processor's cache: cheaper than reading it back from the file.
  static constexpr int64_t kKeepBytes = int64_t{256} << 10;
  std::vector<char> compare_;
  bool lastGotKept_ = false;
  static constexpr size_t kPutBatch = 256;
  static constexpr size_t kPutBatchBytes = size_t{1} << 20;
  std::vector<BufferedPut> buffered_;  // syncpoint puts not yet in the database, one queue
  std::vector<int64_t> claims_;        // messages got under syncpoint, not yet marked held
  int64_t claimQueue_ = 0;             // the queue of claims_
  size_t bufferedBytes_ = 0;
  // The queue row that the last syncpoint put read, and the counts of commits and of
  // administrative changes when it was read: while neither moved, it is still the row.
  struct KnownQueue {
    int64_t queueId = 0;
    uint64_t commits = 0;
    uint32_t adminChanges = 0;
    QueueRow row;
  } knownQueue_;
  QueueManagerInfo info_;
  std::map<int, Stmt> selectors_;
  RowBatches batches_;
  TxnStatements txn_;
  Stmt queueRow_, insertMessage_, insertPayload_, depthDelta_, messageRow_, holdMessage_,
      deletePayload_, deleteMessage_, findQueue_;
};

bool EmbeddedSession::prepareAll() {
  return txn_.prepare(db_, flush_.get()) &&
         queueRow_.prepare(db_,
                           "SELECT inhibit_get, inhibit_put, max_depth, max_msg_length,"
                           " delivery_seq, depth FROM queues WHERE id=?1") &&
         insertMessage_.prepare(db_,
                                "INSERT INTO messages(queue_id, state, priority, msg_id,"
                                " correl_id, persistent, expires, length, md, file_id,"
                                " file_offset) VALUES(?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11)") &&
         insertPayload_.prepare(db_, "INSERT INTO payloads(id, data) VALUES(?1, ?2)") &&
         depthDelta_.prepare(db_, "UPDATE queues SET depth=depth+?1 WHERE id=?2") &&
         messageRow_.prepare(db_, std::string("SELECT ") + kChosenColumns +
                                      " FROM messages WHERE id=?1 AND queue_id=?2 AND state=0") &&

         holdMessage_.prepare(db_, "UPDATE messages SET state=?1 WHERE id=?2") &&
         deletePayload_.prepare(db_, "DELETE FROM payloads WHERE id=?1") &&
         deleteMessage_.prepare(db_, "DELETE FROM messages WHERE id=?1") && batches_.prepare(db_) &&
         findQueue_.prepare(db_,
                            "SELECT id, max_msg_length, max_depth, def_priority,"
                            " def_persistence, def_input, shareability, delivery_seq,"
                            " inhibit_get, inhibit_put, description, depth FROM queues"
                            " WHERE name=?1");
}

int32_t EmbeddedSession::open(const std::string& folder) {
  folder_ = folder;
  std::string problem;
  shared_ = SharedMap::open(folder, &problem);
  if (!shared_) return unusable(folder + "/shared", problem, SharedMap::sqliteCodeOf(problem));
  flush_ = std::make_unique<sqlite::CommitFlush>(&area()->commits);
  if (int rc = sqlite::openDatabase(databasePath(folder), false, &db_, flush_.get());
      rc != SQLITE_OK)
    return databaseFailure(rc);
  if (int rc = upgradeSchema(db_); rc != SQLITE_OK) return databaseFailure(rc);
  if (!registerClaimed(db_, *shared_)) return MQRC_RESOURCE_PROBLEM;
  files_ = PayloadFiles(folder);
  {
    Stmt q;
    if (!q.prepare(db_,
                   "SELECT name, ccsid, max_uncommitted, max_msg_length, running, epoch,"
                   " dead_letter, def_backout FROM qmgr"))
      return databaseFailure(sqlite3_errcode(db_));
    Use use(q);
    if (int rc = use.step(); rc != SQLITE_ROW)
      return databaseFailure(rc == SQLITE_DONE ? SQLITE_CORRUPT : rc);
    info_.name = use.text(0);
    info_.codedCharSetId = use.i32(1);
    info_.maxUncommittedMsgs = use.i32(2);
    info_.maxMsgLength = use.i32(3);
    info_.deadLetterQName = use.text(6);
    info_.defaultBackoutThreshold = use.i32(7);
    if (area()->state.load() == kUnknown) {  // first use since the shared file was made
      area()->epoch.store(static_cast<uint32_t>(use.i64(5)));
      area()->state.store(use.i64(4) != 0 ? kRunning : kStopped);
    }
  }
  uint32_t state = area()->state.load();
  if (state == kStopped) return MQRC_Q_MGR_NOT_AVAILABLE;
  if (state == kQuiescing) return MQRC_Q_MGR_QUIESCING;
  epoch_ = area()->epoch.load();
  if (!prepareAll()) return MQRC_UNEXPECTED_ERROR;
  if (!locks_.open(lockPath(folder))) return unusable(lockPath(folder), systemErrorText());
  if (area()->reserveGone.load() != 0) restoreReserve(*shared_);
  int32_t rc = claimSlot();
  if (rc != 0) return rc;
  reapOrphanedConnections(db_, *shared_, locks_);
  writer_.bind(db_, folder, connectionId_);
  if (area()->epoch.load() != epoch_ || area()->state.load() != kRunning) {
    disconnect();  // stopped while we were connecting
    return MQRC_Q_MGR_NOT_AVAILABLE;
  }
  info_.running = true;
  return 0;
}

int32_t EmbeddedSession::unusable(const std::string& file, const std::string& error,
                                  int sqliteCode) {
  std::string name = folder_.substr(folder_.find_last_of('/') + 1);
  std::fprintf(stderr, "qtransfer: %s\n", unusableStoreText(file, error, sqliteCode, name).c_str());
  return MQRC_UNEXPECTED_ERROR;
}

// A database that is busy or out of space is worth another try; any other failure to read it
// (damaged pages, not a database, a read-only or missing file) is not.
int32_t EmbeddedSession::databaseFailure(int rc) {
  if (isDiskFull(rc)) return fail(rc);
  int primary = rc & 0xff;
  if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED || primary == SQLITE_NOMEM)
    return MQRC_RESOURCE_PROBLEM;
  std::string error = sqlite3_errstr(rc);
  if (db_ != nullptr && sqlite3_errcode(db_) == rc) error = sqlite3_errmsg(db_);
  return unusable(databasePath(folder_), error, rc);
}

// A slot whose lock we can take is free; what its last owner left behind is backed out first.
int32_t EmbeddedSession::claimSlot() {
  for (uint32_t i = 0; i < kSlots; ++i) {
    if (!locks_.tryLock(i)) continue;
    int64_t previous = area()->slots[i].connectionId.load();
    if (previous != 0 && backoutSlot(db_, *shared_, i, previous) != SQLITE_OK) {
      locks_.unlock(i);
      return MQRC_RESOURCE_PROBLEM;
    }
    Stmt ins;
    setSync(false);
    if (!ins.prepare(db_,
                     "INSERT INTO connections(slot, pid, program, started)"
                     " VALUES(?1, ?2, ?3, CAST(strftime('%s', 'now') AS INT))")) {
      locks_.unlock(i);
      return MQRC_UNEXPECTED_ERROR;
    }
    int32_t pid = platform::currentProcessId();
    Use use(ins);
    use.bind(1, static_cast<int64_t>(i)).bind(2, static_cast<int64_t>(pid));
    use.bind(3, std::string(platform::programName()));
    int rc = use.run();
    if (rc != SQLITE_DONE) {
      locks_.unlock(i);
      return databaseFailure(rc);  // a read-only store, say, is named here
    }
    connectionId_ = sqlite3_last_insert_rowid(db_);
    slot_ = i;
    // What the slot's last owner left is ignored already (backed out); emptied before the
    // slot is ours, so that no reader counts it for us.
    area()->pending[i].count.store(0);
    shared_->dropClaims(i);
    area()->slots[i].endRequested.store(0);
    area()->slots[i].pid.store(static_cast<uint32_t>(pid));
    area()->slots[i].connectionId.store(connectionId_);
    uint32_t high = area()->highSlot.load();
    while (high < i + 1 && !area()->highSlot.compare_exchange_weak(high, i + 1)) {
    }
    return 0;
  }
  return MQRC_HANDLE_NOT_AVAILABLE;
}

int32_t EmbeddedSession::health() {
  if (broken_ != 0) return broken_;
  if (area()->epoch.load() != epoch_)
    broken_ = MQRC_CONNECTION_BROKEN;
  else if (area()->state.load() == kStopped)
    broken_ = MQRC_Q_MGR_STOPPING;
  if (broken_ != 0) return broken_;
  if (slot_ < kSlots && area()->slots[slot_].endRequested.load() == endMark(connectionId_) &&
      endMark(connectionId_) != 0)
    return endedByOperator();
  // Each look for dead connections asks the system about the lock of every other connection.
  // Inside a unit of work (a router's run of gets and puts, say) a look a millisecond old is
  // recent enough: what a process that died since leaves is backed out as if it died a
  // millisecond later. A session with nothing open looks at every call.
  int64_t now = steadyMicroseconds();
  if (uncommitted_ > 0 && now - lastReapUs_ < kReapIntervalUs) return 0;
  lastReapUs_ = now;
  // A process killed before its thread deleted the files it let go of leaves them unlisted.
  if (reapDeadConnections(db_, *shared_, locks_, slot_)) removeUnlistedPayloadFiles(db_, folder_);
  return 0;
}

// qmctl end-session asked this connection to end: its work is backed out as a dead
// process's would be, and its row and handles go, so that it is listed no more. The slot
// stays ours until the disconnect.
int32_t EmbeddedSession::endedByOperator() {
  backout();
  backoutConnection(db_, *shared_, connectionId_, true);
  area()->slots[slot_].endRequested.store(0);
  return broken_ = MQRC_CONNECTION_BROKEN;
}

void EmbeddedSession::setSync(bool full) {
  flush_->setDurable(full);
  // The commits inside a large unit of work (one that holds at least a batch of claims' worth
  // of messages: its rows written in batches, its payload files listed) let the log grow
  // longer before a checkpoint; its own commit does not.
  flush_->allowLongLog(!full && uncommitted_ >= static_cast<int64_t>(kClaims));
}

int32_t EmbeddedSession::findQueue(const std::string& name, QueueRef& out) {
  Use use(findQueue_);
  use.bind(1, name);
  int rc = use.step();
  if (rc == SQLITE_DONE) return MQRC_UNKNOWN_OBJECT_NAME;
  if (rc != SQLITE_ROW) return fail(rc);
  out.id = use.i64(0);
  out.name = name;
  QueueInfo& q = out.info;
  q.name = name;
  q.maxMsgLength = use.i32(1);
  q.maxQDepth = use.i32(2);
  q.defPriority = use.i32(3);
  q.defPersistence = use.i32(4);
  q.defInputOpenOption = use.i32(5);
  q.shareability = use.i32(6);
  q.msgDeliverySequence = use.i32(7);
  q.inhibitGet = use.i32(8);
  q.inhibitPut = use.i32(9);
  q.description = use.text(10);
  q.currentDepth = use.i32(11);
  return 0;
}

int32_t EmbeddedSession::openHandle(const QueueRef& queue, InputMode input, bool output,
                                    int64_t& handleId) {
  return withReserve([&] { return openHandleOnce(queue, input, output, handleId); });
}

int32_t EmbeddedSession::openHandleOnce(const QueueRef& queue, InputMode input, bool output,
                                        int64_t& handleId) {
  setSync(false);
  Txn txn(txn_);
  int rc = txn.begin(true);
  if (rc != SQLITE_OK) return fail(rc);
  if (input != InputMode::kNone) {
    Stmt holders;
    holders.prepare(db_, "SELECT input FROM handles WHERE queue_id=?1 AND input<>0");
    Use use(holders);
    use.bind(1, queue.id);
    while (use.row()) {
      if (input == InputMode::kExclusive || use.i32(0) == 2) return MQRC_OBJECT_IN_USE;
    }
  }
  Stmt ins;
  ins.prepare(db_,
              "INSERT INTO handles(connection_id, queue_id, input, output) VALUES(?1,?2,?3,?4)");
  {
    Use use(ins);
    use.bind(1, connectionId_).bind(2, queue.id).bind(3, static_cast<int64_t>(input));
    use.bind(4, output ? 1 : 0);
    rc = use.run();
    if (rc != SQLITE_DONE) return fail(rc);
  }
  handleId = sqlite3_last_insert_rowid(db_);
  rc = txn.commit();
  return rc == SQLITE_OK ? 0 : fail(rc);
}

void EmbeddedSession::closeHandle(int64_t handleId) {
  if (broken_ != 0) return;
  setSync(false);
  Stmt del;
  del.prepare(db_, "DELETE FROM handles WHERE id=?1");
  Use use(del);
  use.bind(1, handleId);
  use.run();
}

int32_t EmbeddedSession::readQueue(int64_t queueId, QueueRow& row) {
  Use use(queueRow_);
  use.bind(1, queueId);
  int rc = use.step();
  if (rc == SQLITE_DONE) return MQRC_Q_DELETED;
  if (rc != SQLITE_ROW) return fail(rc);
  row.inhibitGet = use.i32(0);
  row.inhibitPut = use.i32(1);
  row.maxDepth = use.i32(2);
  row.maxMsgLength = use.i32(3);
  row.deliverySeq = use.i32(4);
  row.depth = use.i64(5);
  return 0;
}

// A syncpoint put reads its queue's row outside any transaction: a run of puts reads it once,
// and again after any commit (this session's included: the held rows it writes change the
// depth) or administrative change. A commit is counted just after it lets go of the write
// lock, so a put in that moment sees the row of just before, as if it had come first.
int32_t EmbeddedSession::queueForPut(int64_t queueId, QueueRow& row) {
  uint64_t commits = area()->commits.written.load();
  uint32_t adminChanges = area()->adminChanges.load();
  KnownQueue& known = knownQueue_;
  if (known.queueId == queueId && known.commits == commits && known.adminChanges == adminChanges) {
    row = known.row;
    return 0;
  }
  known.queueId = 0;
  if (int32_t reason = readQueue(queueId, row); reason != 0) return reason;
  known = KnownQueue{queueId, commits, adminChanges, row};
  return 0;
}

// A syncpoint put is checked now, its payload written now, and its row kept in memory with
// others (counted in the queue's depth through the shared area) until they are written in one
// transaction: when kPutBatch of them wait, before a put to another queue, or by the commit.
// A large payload goes to the session's payload file, unless it is the very bytes of the
// message this unit of work got last (a router passing a message on): then the new row shares
// that extent, which the got row keeps alive until the commit writes the new one.
int32_t EmbeddedSession::put(int64_t queueId, const MQMD& md, const void* data, size_t length,
                             bool syncpoint) {
  // While the reserve is gone the disk is (or was just) full: puts wait until it is back.
  if (area()->reserveGone.load() != 0 && !restoreReserve(*shared_))
    return MQRC_Q_SPACE_NOT_AVAILABLE;
  diskFull_ = false;
  int32_t reason = putChecked(queueId, md, data, length, syncpoint);
  return reason == 0 ? 0 : putFailed(reason);
}

int32_t EmbeddedSession::putChecked(int64_t queueId, const MQMD& md, const void* data,
                                    size_t length, bool syncpoint) {
  if (!syncpoint) return putNow(queueId, md, data, length);
  if (uncommitted_ >= info_.maxUncommittedMsgs) return MQRC_SYNCPOINT_LIMIT_REACHED;
  bool inFile = length > kInlinePayloadLimit;
  bool reuse = inFile && sameBytes(lastGot_, data, length);
  // Writing the held rows first keeps a failure to write them this put's failure, not a later
  // one's, and leaves the rows of a file in the database before the file is sealed.
  bool full = buffered_.size() >= kPutBatch || bufferedBytes_ >= kPutBatchBytes;
  bool otherQueue = !buffered_.empty() && buffered_.back().queueId != queueId;
  if (full || otherQueue || (inFile && !reuse && writer_.needsRoll(length)))
    if (int32_t reason = flushBuffered(); reason != 0) return reason;
  QueueRow q;
  if (int32_t reason = queueForPut(queueId, q); reason != 0) return reason;
  if (int32_t reason = checkPut(q, queueId, length); reason != 0) return reason;
  BufferedPut put{queueId, md, md.Expiry > 0 ? nowMs() + int64_t{md.Expiry} * 100 : 0, {}, {}};
  if (reuse) {
    put.extent = lastGot_;
  } else if (inFile) {
    if (int32_t reason = writer_.reserve(length); reason != 0) return reason;
    if (int32_t reason = writer_.append(data, length, put.extent); reason != 0) return reason;
    crashPoint("payload-appended");
  } else {
    put.extent.length = static_cast<int64_t>(length);
    put.inlineData.assign(static_cast<const char*>(data), length);
  }
  bufferedBytes_ += sizeof put + put.inlineData.size();
  buffered_.push_back(std::move(put));
  PendingPuts& pending = area()->pending[slot_];
  pending.queueId.store(queueId);
  pending.count.fetch_add(1);
  ++uncommitted_;
  putQueues_.insert(queueId);
  return 0;
}

int32_t EmbeddedSession::checkPut(const QueueRow& q, int64_t queueId, size_t length) {
  if (q.inhibitPut == MQQA_PUT_INHIBITED) return MQRC_PUT_INHIBITED;
  if (length > static_cast<size_t>(q.maxMsgLength)) return MQRC_MSG_TOO_BIG_FOR_Q;
  if (q.depth + shared_->depthAdjustment(queueId) >= q.maxDepth) return MQRC_Q_FULL;
  return 0;
}

bool EmbeddedSession::sameBytes(const Extent& extent, const void* data, size_t length) {
  if (extent.fileId == 0 || extent.length != static_cast<int64_t>(length)) return false;
  if (lastGotKept_) return std::memcmp(compare_.data(), data, length) == 0;
  compare_.resize(length);
  return files_.read(extent.fileId, extent.offset, compare_.data(), length) &&
         std::memcmp(compare_.data(), data, length) == 0;
}

// Writes one message row (and its payload when kept in the database) inside the caller's
// transaction.
int EmbeddedSession::insertRow(const BufferedPut& put, int64_t state, const void* data) {
  const MQMD& md = put.md;
  Use use(insertMessage_);
  use.bind(1, put.queueId).bind(2, state);
  use.bind(3, md.Priority).bindBlob(4, md.MsgId, sizeof md.MsgId);
  use.bindBlob(5, md.CorrelId, sizeof md.CorrelId).bind(6, md.Persistence);
  use.bind(7, put.expires).bind(8, put.extent.length).bindBlob(9, &md, sizeof md);
  use.bind(10, put.extent.fileId).bind(11, put.extent.offset);
  int rc = use.run();
  if (rc != SQLITE_DONE || put.extent.fileId != 0) return rc;
  Use payload(insertPayload_);
  payload.bind(1, sqlite3_last_insert_rowid(db_));
  payload.bindBlob(2, data, static_cast<size_t>(put.extent.length));
  return payload.run();
}

int EmbeddedSession::addDepth(int64_t queueId, int64_t delta) {
  Use use(depthDelta_);
  use.bind(1, delta).bind(2, queueId);
  return use.run();
}

// Writes the held puts inside the caller's transaction, as `state` (their unit of work's, or
// committed). Returns an MQ reason.
int32_t EmbeddedSession::writeBuffered(int64_t state) {
  if (buffered_.empty()) return 0;
  int64_t queueId = buffered_.front().queueId;
  QueueRow q;
  if (int32_t reason = readQueue(queueId, q); reason != 0) return reason;
  for (const BufferedPut& put : buffered_)
    if (int rc = insertRow(put, state, put.inlineData.data()); rc != SQLITE_DONE) return fail(rc);
  int rc = addDepth(queueId, static_cast<int64_t>(buffered_.size()));
  return rc == SQLITE_DONE ? 0 : fail(rc);
}

// The held puts are in the database now (or dropped): they no longer count in the shared area.
void EmbeddedSession::forgetBuffered() {
  if (slot_ < kSlots) area()->pending[slot_].count.store(0);
  buffered_.clear();
  bufferedBytes_ = 0;
}

int32_t EmbeddedSession::flushBuffered() {
  if (buffered_.empty()) return 0;
  setSync(false);
  Txn txn(txn_);
  int rc = txn.begin(true);
  if (rc != SQLITE_OK) return fail(rc);
  if (int32_t reason = writeBuffered(putState(connectionId_)); reason != 0) return reason;
  if ((rc = txn.commit()) != SQLITE_OK) return fail(rc);
  forgetBuffered();
  return 0;
}

// A put outside syncpoint is written at once; a persistent one is durable before it returns.
int32_t EmbeddedSession::putNow(int64_t queueId, const MQMD& md, const void* data, size_t length) {
  bool inFile = length > kInlinePayloadLimit;
  if (inFile)
    if (int32_t reason = writer_.reserve(length); reason != 0) return reason;
  bool durable = md.Persistence == MQPER_PERSISTENT;
  setSync(durable);
  Txn txn(txn_);
  int rc = txn.begin(true);
  if (rc != SQLITE_OK) return fail(rc);
  QueueRow q;
  if (int32_t reason = readQueue(queueId, q); reason != 0) return reason;
  if (int32_t reason = checkPut(q, queueId, length); reason != 0) return reason;
  BufferedPut put{queueId, md, md.Expiry > 0 ? nowMs() + int64_t{md.Expiry} * 100 : 0, {}, {}};
  put.extent.length = static_cast<int64_t>(length);
  if (inFile) {
    if (int32_t reason = writer_.append(data, length, put.extent); reason != 0) return reason;
    if (durable)
      if (int32_t reason = writer_.flush(); reason != 0) return reason;
  }
  if ((rc = insertRow(put, 0, data)) != SQLITE_DONE) return fail(rc);
  if ((rc = addDepth(queueId, 1)) != SQLITE_DONE) return fail(rc);
  if ((rc = txn.commit(false)) != SQLITE_OK) return fail(rc);
  shared_->wakeQueue(queueId);
  txn_.checkpointIfDue();
  return 0;
}

// Selector variants: bit 0 FIFO order, bit 1 match MsgId, bit 2 match CorrelId, bit 3 after
// the cursor.
Stmt& EmbeddedSession::selector(int variant) {
  Stmt& stmt = selectors_[variant];
  if (stmt.get() != nullptr) return stmt;
  bool fifo = variant & 1;
  // A match on CorrelId (with or without MsgId) seeks messages_ids and sorts the few rows it
  // finds; left alone the planner walks messages_order to spare the sort, which passes over
  // every message ahead of the match (a whole other delivery group, say).
  std::string sql = std::string("SELECT ") + kChosenColumns +
                    ((variant & 4) ? " FROM messages INDEXED BY messages_ids" : " FROM messages");
  sql += " WHERE queue_id=?1 AND state=0 AND (expires=0 OR expires>?4) AND NOT claimed(id)";
  if (variant & 2) sql += " AND msg_id=?2";
  if (variant & 4) sql += " AND correl_id=?3";
  if (variant & 8) sql += fifo ? " AND id>?6" : " AND (priority<?5 OR (priority=?5 AND id>?6))";
  sql += fifo ? " ORDER BY id LIMIT 1" : " ORDER BY priority DESC, id LIMIT 1";
  stmt.prepare(db_, sql);
  return stmt;
}

// The chosen message's row comes with the choice: one statement per get. The message under a
// cursor is read by its id, and may have been got or claimed since the browse.
int32_t EmbeddedSession::selectMessage(const GetRequest& r, int32_t deliverySeq,
                                       ChosenMessage& out) {
  bool underCursor = r.mode == GetMode::kBrowseUnderCursor || r.mode == GetMode::kGetUnderCursor;
  if (underCursor) {
    if (r.cursor == nullptr || r.cursor->messageId == 0) return MQRC_NO_MSG_UNDER_CURSOR;
    Use use(messageRow_);
    use.bind(1, r.cursor->messageId).bind(2, r.queueId);
    int rc = use.step();
    if (rc == SQLITE_DONE || shared_->claimed(r.cursor->messageId)) return MQRC_NO_MSG_UNDER_CURSOR;
    if (rc != SQLITE_ROW || !readChosen(use, out)) return fail(rc);
    return 0;
  }
  bool after = r.mode == GetMode::kBrowseNext && r.cursor != nullptr && r.cursor->messageId != 0;
  int variant = (deliverySeq == MQMDS_FIFO ? 1 : 0) | (r.matchMsgId ? 2 : 0) |
                (r.matchCorrelId ? 4 : 0) | (after ? 8 : 0);
  Stmt& stmt = selector(variant);
  if (stmt.get() == nullptr) return MQRC_UNEXPECTED_ERROR;
  Use use(stmt);
  use.bind(1, r.queueId).bind(4, nowMs());
  if (r.matchMsgId) use.bindBlob(2, r.msgId, sizeof r.msgId);
  if (r.matchCorrelId) use.bindBlob(3, r.correlId, sizeof r.correlId);
  if (after) use.bind(5, r.cursor->priority).bind(6, r.cursor->messageId);
  int rc = use.step();
  if (rc == SQLITE_DONE) return MQRC_NO_MSG_AVAILABLE;
  if (rc != SQLITE_ROW || !readChosen(use, out)) return fail(rc);
  return 0;
}

// Deletes a message row and its payload row (if it has one); returns an sqlite3 code.
int EmbeddedSession::deleteRow(int64_t id) {
  for (Stmt* stmt : {&deletePayload_, &deleteMessage_}) {
    Use use(*stmt);
    use.bind(1, id);
    if (int rc = use.run(); rc != SQLITE_DONE) return rc;
  }
  return SQLITE_DONE;
}

// A get outside syncpoint removes the message for good.
int32_t EmbeddedSession::removeMessage(int64_t id, int64_t queueId) {
  int rc = deleteRow(id);
  if (rc == SQLITE_DONE) rc = addDepth(queueId, -1);
  return rc == SQLITE_DONE ? 0 : fail(rc);
}

// Marks the claimed messages as held by the unit of work, in one transaction.
int32_t EmbeddedSession::flushClaims() {
  if (claims_.empty()) return 0;
  setSync(false);
  Txn txn(txn_);
  int rc = txn.begin(true);
  if (rc != SQLITE_OK) return fail(rc);
  for (int64_t id : claims_) {
    Use use(holdMessage_);
    use.bind(1, gotState(connectionId_)).bind(2, id);
    if ((rc = use.run()) != SQLITE_DONE) return fail(rc);
  }
  if ((rc = addDepth(claimQueue_, -static_cast<int64_t>(claims_.size()))) != SQLITE_DONE)
    return fail(rc);
  if ((rc = txn.commit()) != SQLITE_OK) return fail(rc);
  getQueues_.insert(claimQueue_);
  forgetClaims();
  return 0;
}

// Inside the commit's transaction: the claimed messages go. Returns an sqlite3 code.
int EmbeddedSession::deleteClaimed() {
  for (int64_t id : claims_)
    if (int rc = deleteRow(id); rc != SQLITE_DONE) return rc;
  if (claims_.empty()) return SQLITE_OK;
  int rc = addDepth(claimQueue_, -static_cast<int64_t>(claims_.size()));
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

// Only once the rows that replace the claims are committed (or nothing needs them).
void EmbeddedSession::forgetClaims() {
  if (slot_ < kSlots) shared_->dropClaims(slot_);
  claims_.clear();
}

// A browse reads from a snapshot, so the payload file of the message it chose may have been
// deleted since (the message got and its file swept): it looks again once. A get holds the
// write lock, so for it a missing file is damage.
int32_t EmbeddedSession::get(const GetRequest& r, const DeliverFn& deliver) {
  int32_t rc = withReserve([&] {
    bool retry = false;
    int32_t reason = getOnce(r, deliver, retry);
    if (retry) reason = getOnce(r, deliver, retry);
    return reason;
  });
  if (r.mode != GetMode::kGet && r.mode != GetMode::kGetUnderCursor) files_.forget();
  return rc;
}

int32_t EmbeddedSession::getOnce(const GetRequest& r, const DeliverFn& deliver, bool& retry) {
  retry = false;
  bool browse = r.mode == GetMode::kBrowseFirst || r.mode == GetMode::kBrowseNext ||
                r.mode == GetMode::kBrowseUnderCursor;
  bool mayClaim = !browse && (r.syncpoint || r.syncpointIfPersistent);
  bool claimsFull = claims_.size() >= kClaims;
  if (mayClaim && !claims_.empty() && (claimsFull || claimQueue_ != r.queueId))
    if (int32_t reason = flushClaims(); reason != 0) return reason;
  if (!browse) setSync(!r.syncpoint);  // a final removal of a message is made durable at once
  Txn txn(txn_);
  int rc = txn.begin(!browse);
  if (rc != SQLITE_OK) return fail(rc);
  QueueRow q;
  if (int32_t reason = readQueue(r.queueId, q); reason != 0) return reason;
  if (q.inhibitGet == MQQA_GET_INHIBITED) return MQRC_GET_INHIBITED;
  ChosenMessage chosen;
  if (int32_t reason = selectMessage(r, q.deliverySeq, chosen); reason != 0) return reason;
  const int64_t id = chosen.id;
  const MQMD& md = chosen.md;
  const Extent& extent = chosen.extent;
  const bool persistent = chosen.persistent;
  bool syncpoint = !browse && (r.syncpoint || (r.syncpointIfPersistent && persistent));
  if (syncpoint && uncommitted_ >= info_.maxUncommittedMsgs) return MQRC_SYNCPOINT_LIMIT_REACHED;
  bool taken;
  bool keptCopy = false;
  {
    // The blob handle is an open read of the database: it must be closed before the commit,
    // or the checkpoint that the commit triggers finds the connection busy and the log grows
    // without bound.
    bool keep = syncpoint && extent.fileId != 0 && extent.length <= kKeepBytes;
    MessageReader reader(db_, id, extent, files_, keep ? &compare_ : nullptr);
    taken = deliver(md, extent.length, reader);
    // The copy is of this message now: it stands for lastGot_ only once this get is taken.
    keptCopy = reader.kept();
    if (keptCopy) lastGotKept_ = false;
    if (reader.failed()) {
      retry = browse && files_.missing();
      return MQRC_OBJECT_DAMAGED;
    }
  }
  if (!taken) return 0;  // nothing taken (truncated, kept)
  if (browse) {
    if (r.cursor != nullptr) *r.cursor = BrowseCursor{id, md.Priority};
    return 0;
  }
  // A syncpoint get only claims the message now (under the write lock that this transaction
  // holds, though it writes nothing); flushClaims or the commit writes the claims.
  if (syncpoint) {
    shared_->claim(slot_, r.queueId, id);
    claims_.push_back(id);
    claimQueue_ = r.queueId;
  } else if (int32_t reason = removeMessage(id, r.queueId); reason != 0) {
    return reason;
  }
  if ((rc = txn.commit()) != SQLITE_OK) return fail(rc);
  if (syncpoint) {
    ++uncommitted_;
    lastGot_ = extent;
    lastGotKept_ = keptCopy;
    gotFileRows_ = gotFileRows_ || extent.fileId != 0;
  } else if (extent.fileId != 0) {
    afterRowsRemoved();
  }
  return 0;
}

// Rows of payload files are gone: files nothing references any more are deleted, and this
// session lets go of the one it read last.
void EmbeddedSession::afterRowsRemoved() {
  files_.forget();
  sweepPayloadFiles(db_, folder_);
}

void EmbeddedSession::awaitChange(int64_t queueId, uint32_t token, int timeoutMs) {
  uint32_t w = shared_->wordFor(queueId);
  area()->waiters[w].fetch_add(1);
  platform::waitOnWord(&area()->wake[w], token, timeoutMs);
  area()->waiters[w].fetch_sub(1);
}

int32_t EmbeddedSession::describeQueue(int64_t queueId, QueueInfo& out) {
  Stmt q;
  q.prepare(db_, kQueueInfoSql);
  Use use(q);
  use.bind(1, queueId);
  int rc = use.step();
  if (rc == SQLITE_DONE) return MQRC_Q_DELETED;
  if (rc != SQLITE_ROW) return fail(rc);
  readQueueInfo(use, out);
  out.currentDepth += static_cast<int32_t>(shared_->depthAdjustment(queueId));
  return 0;
}

int32_t EmbeddedSession::setInhibit(int64_t queueId, int32_t inhibitGet, int32_t inhibitPut) {
  Stmt upd;
  upd.prepare(db_,
              "UPDATE queues SET inhibit_get=CASE WHEN ?1<0 THEN inhibit_get ELSE ?1 END,"
              " inhibit_put=CASE WHEN ?2<0 THEN inhibit_put ELSE ?2 END WHERE id=?3");
  setSync(true);
  {
    Use use(upd);
    use.bind(1, inhibitGet).bind(2, inhibitPut).bind(3, queueId);
    int rc = use.run();
    if (rc != SQLITE_DONE) return fail(rc);
  }
  if (sqlite3_changes(db_) == 0) return MQRC_Q_DELETED;
  shared_->wakeQueue(queueId);
  return 0;
}

// A commit that cannot be written even with the reserve released is backed out when that can
// be written; else the unit of work stays open, for a later commit, back-out or disconnect.
int32_t EmbeddedSession::commit() {
  int32_t reason = withReserve([&] { return commitOnce(); });
  if (reason == 0 || !diskFull_) return reason;
  return backout() == 0 ? MQRC_BACKED_OUT : reason;
}

// A committed row must never point at bytes that are not on disk: the payloads are synced
// before the rows commit. A large unit of work writes its rows (the messages got go, those put
// become available) while a thread syncs its payloads: a file of 1 GiB has 0.75 s of row work
// and about as long a sync. The write lock is then held while the sync ends.
int32_t EmbeddedSession::commitOnce() {
  if (broken_ != 0) return broken_;
  if (uncommitted_ == 0) return 0;
  std::future<int32_t> payloads;
  if (uncommitted_ >= static_cast<int64_t>(kClaims) && writer_.unsynced()) {
    try {
      payloads = std::async(std::launch::async, [this] { return writer_.flush(); });
    } catch (const std::system_error&) {  // no thread to be had: the sync comes first
    }
  }
  if (!payloads.valid())
    if (int32_t reason = writer_.flush(); reason != 0) return payloadsNotSynced(reason);
  setSync(true);
  Txn txn(txn_);
  int rc = txn.begin(true);
  int64_t count = 0;
  for (int64_t q : getQueues_)
    if (rc == SQLITE_OK) rc = batches_.remove(q, gotState(connectionId_), count);
  for (int64_t q : putQueues_)
    if (rc == SQLITE_OK) rc = batches_.release(q, putState(connectionId_), 0, count);
  if (rc == SQLITE_OK) rc = deleteClaimed();
  int32_t reason = rc == SQLITE_OK ? writeBuffered(0) : 0;
  int32_t synced = payloads.valid() ? payloads.get() : 0;
  if (rc != SQLITE_OK) return fail(rc);
  if (reason != 0) {
    txn.rollback();
    if (diskFull_) return reason;  // the caller tries again with the reserve released
    backout();
    return MQRC_BACKED_OUT;
  }
  if (synced != 0) {
    txn.rollback();
    return payloadsNotSynced(synced);
  }
  crashPoint("commit-payloads-synced");
  if ((rc = txn.commit(false)) != SQLITE_OK) return fail(rc);
  forgetBuffered();
  forgetClaims();
  uncommitted_ = 0;
  for (int64_t q : putQueues_) shared_->wakeQueue(q);
  txn_.checkpointIfDue();
  putQueues_.clear();
  getQueues_.clear();
  writer_.sealIfLarge();
  endUnitOfWork();
  return 0;
}

// The unit of work cannot commit when its payloads cannot be made durable: it is backed out.
int32_t EmbeddedSession::payloadsNotSynced(int32_t reason) {
  // The puts that follow wait for room, as when a put finds the disk full itself.
  if (reason == MQRC_Q_SPACE_NOT_AVAILABLE) releaseReserve(*shared_);
  backout();
  return MQRC_BACKED_OUT;
}

void EmbeddedSession::endUnitOfWork() {
  lastGot_ = Extent{};
  lastGotKept_ = false;
  if (gotFileRows_)
    afterRowsRemoved();
  else
    files_.forget();
  gotFileRows_ = false;
}

int32_t EmbeddedSession::backout() {
  forgetBuffered();
  if (broken_ != 0) {  // a stop already backed everything out
    forgetClaims();
    return 0;
  }
  int rc = backoutConnection(db_, *shared_, connectionId_, false, claims_);
  if (rc != SQLITE_OK) return fail(rc);
  if (!claims_.empty()) shared_->wakeQueue(claimQueue_);
  forgetClaims();
  uncommitted_ = 0;
  putQueues_.clear();
  getQueues_.clear();
  lastGot_ = Extent{};
  lastGotKept_ = false;
  gotFileRows_ = false;
  files_.forget();
  return 0;
}

int32_t EmbeddedSession::disconnect() {
  int32_t result = 0;
  if (health() == 0 && uncommitted_ > 0 && commit() != 0) {
    backout();
    result = MQRC_BACKED_OUT;
  }
  setSync(false);
  // Connected while its dead files are deleted: a process killed meanwhile is a dead
  // connection, whose reaper deletes them.
  awaitFileRemovals();
  // When the connection's row and handles cannot be removed now (the disk full even without
  // the reserve), the slot keeps the connection's id: once its lock is let go it is a dead
  // connection, which the next process to look backs out.
  bool ended = broken_ != 0 || connectionId_ == 0 ||
               backoutConnection(db_, *shared_, connectionId_, true) == SQLITE_OK;
  if (broken_ == 0) txn_.checkpointIfDue();
  forgetBuffered();
  forgetClaims();
  if (slot_ < kSlots) {
    int64_t mine = connectionId_;
    if (ended) area()->slots[slot_].connectionId.compare_exchange_strong(mine, 0);
    locks_.unlock(slot_);
    slot_ = kSlots;
  }
  locks_.close();
  broken_ = MQRC_CONNECTION_BROKEN;
  return result;
}

// The caller never destroys an abandoned session: its statements and database handle belong
// to the parent process and must not be finalized or closed here.
void EmbeddedSession::abandon() {
  locks_.abandon();
  writer_.abandon();
  files_.abandon();
  slot_ = kSlots;
  broken_ = MQRC_CONNECTION_BROKEN;
}

}  // namespace

int32_t connectSession(const std::string& qmFolder, std::unique_ptr<Session>& out) {
  auto session = std::make_unique<EmbeddedSession>();
  int32_t rc = session->open(qmFolder);
  if (rc != 0 && session->diskFull()) {
    // Connecting writes a little (the connection's row): the reserve makes room for it.
    std::shared_ptr<SharedMap> shared = SharedMap::open(qmFolder);
    session.reset();
    if (!shared || !releaseReserve(*shared)) return rc;
    session = std::make_unique<EmbeddedSession>();
    rc = session->open(qmFolder);
  }
  if (rc != 0) return rc;
  out = std::move(session);
  return 0;
}

}  // namespace mqi::embedded
