#include "mqi/embedded/sqlite_util.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "mqi/mqi.h"
#include "platform/host.h"
#include "platform/ipc.h"
#include "platform/platform.h"

namespace mqi::sqlite {
namespace {

// The log is checkpointed into the database once a commit finds it holding this many pages
// (4 MiB): it holds rows only (larger payloads live in payload files). A checkpoint flushes the
// log and the database, and the log is cut back to its first 4 MiB afterwards.
constexpr int kCheckpointPages = 1024;
// The commits inside a large unit of work (its claims and puts written in batches as they pile
// up, its payload files listed) make a long log, 30 to 90 MiB in each agent for a file of
// 1 GiB: they checkpoint only past this many pages (256 MiB), so that a file of up to about
// 3 GiB crosses each agent without one. A checkpoint's flush of the log waits for every block
// that the file system allocated since its last commit: in a delivery that is the target
// file's bytes on their way to the disk, up to 0.6 s for a file of 1 GiB, and at 32 MiB a
// file of 1 GiB crossed the road 17% slower. Every other commit keeps the short log, whose
// blocks a stream of small units of work writes over rather than allocating anew: at 32 MiB
// for every commit that is not durable, small files crossed 3-4% slower.
constexpr int kDeferredCheckpointPages = 65536;
// A writer gives up waiting for the write lock after this long.
constexpr int64_t kBusyLimitUs = 60'000'000;
// A flush of another process that takes longer than this may belong to a process that died
// in it: the waiter flushes the log itself.
constexpr int64_t kFlushWaitUs = 20'000;

int64_t steadyMicroseconds() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

void raiseTo(std::atomic<uint64_t>& value, uint64_t at_least) {
  uint64_t seen = value.load();
  while (seen < at_least && !value.compare_exchange_weak(seen, at_least)) {
  }
}

// Sleeps until *word moves past `seen`, counted among `sleepers` so that the waker knows to
// wake; at most timeoutMs.
void sleepOn(std::atomic<uint32_t>& word, uint32_t seen, std::atomic<uint32_t>& sleepers,
             int timeoutMs) {
  sleepers.fetch_add(1);
  platform::waitOnWord(&word, seen, timeoutMs);
  sleepers.fetch_sub(1);
}

void bump(std::atomic<uint32_t>& word, const std::atomic<uint32_t>& sleepers,
          int wakeAtMost = INT_MAX) {
  word.fetch_add(1);
  if (sleepers.load() != 0) platform::wakeWord(&word, wakeAtMost);
}

// Without shared counters a waiting writer polls: often (0.1 ms) at first, since writers hold
// the lock for one short transaction, then every millisecond, for about 60 seconds.
int pollWhileBusy(void*, int attempt) {
  if (attempt > 60000) return 0;
  platform::sleepMicroseconds(attempt < 100 ? 100 : 1000);
  return 1;
}

// Commits of a connection between two sessions: durable, and sharing nothing. It holds no
// state of its own, so every thread may use it.
CommitFlush& unattended() {
  static CommitFlush alone;
  return alone;
}

// The file that a connection which may be kept was opened on, as openDatabase was given it,
// so that a kept connection is never taken for a file made at its path since.
struct OpenedFile {
  std::string path;
  platform::FileIdentity identity;
};

struct OpenedFiles {
  std::mutex mutex;
  std::map<sqlite3*, OpenedFile> files;
};

OpenedFiles& openedFiles() {
  static OpenedFiles* opened = new OpenedFiles;  // never destroyed: threads may outlive statics
  return *opened;
}

void remember(sqlite3* db, const OpenedFile& file) {
  std::lock_guard<std::mutex> guard(openedFiles().mutex);
  openedFiles().files[db] = file;
}

std::optional<OpenedFile> recall(sqlite3* db) {
  std::lock_guard<std::mutex> guard(openedFiles().mutex);
  auto it = openedFiles().files.find(db);
  if (it == openedFiles().files.end()) return std::nullopt;
  return it->second;
}

// Statements kept for reuse, by connection (only the connections that openDatabase opened
// for sessions, which closeConnection closes) and text. Each is reset and unbound.
constexpr size_t kKeptStatementsPerConnection = 128;

struct KeptStatements {
  std::mutex mutex;
  std::map<sqlite3*, std::multimap<std::string, sqlite3_stmt*, std::less<>>> byConnection;
};

KeptStatements& keptStatements() {
  static KeptStatements* kept = new KeptStatements;  // never destroyed, as openedFiles
  return *kept;
}

void keepStatementsOf(sqlite3* db) {
  std::lock_guard<std::mutex> guard(keptStatements().mutex);
  keptStatements().byConnection[db];
}

void finalizeKeptStatements(sqlite3* db) {
  std::multimap<std::string, sqlite3_stmt*, std::less<>> statements;
  {
    std::lock_guard<std::mutex> guard(keptStatements().mutex);
    auto it = keptStatements().byConnection.find(db);
    if (it == keptStatements().byConnection.end()) return;
    statements.swap(it->second);
    keptStatements().byConnection.erase(it);
  }
  for (auto& [sql, stmt] : statements) sqlite3_finalize(stmt);
}

// A statement of the connection that is under way (stepped, not yet reset).
bool hasBusyStatement(sqlite3* db) {
  for (sqlite3_stmt* s = sqlite3_next_stmt(db, nullptr); s != nullptr; s = sqlite3_next_stmt(db, s))
    if (sqlite3_stmt_busy(s)) return true;
  return false;
}

void closeConnection(sqlite3* db) {
  {
    std::lock_guard<std::mutex> guard(openedFiles().mutex);
    openedFiles().files.erase(db);
  }
  finalizeKeptStatements(db);
  sqlite3_close_v2(db);  // statements still held by a Stmt close it when they are finalized
}

// The connection that closeDatabase kept for a thread, until the thread opens the same file
// again, keeps another, or ends.
struct IdleConnection {
  sqlite3* db = nullptr;
  int32_t process = 0;
};

// Every thread's kept connection, by thread, in one table rather than in each thread's own
// storage: deleting a queue manager closes those of every thread (Windows deletes no open
// file), and with MinGW a thread's own storage may be gone or not yet destroyed when the
// thread has been joined.
struct IdleConnections {
  std::mutex mutex;
  std::map<std::thread::id, IdleConnection> byThread;
};

IdleConnections& idleConnections() {
  static IdleConnections* all = new IdleConnections;  // never destroyed, as openedFiles
  return *all;
}

void closeIdle(const IdleConnection& kept) {
  // A forked child leaves the connection of its parent alone.
  if (kept.db != nullptr && kept.process == platform::currentProcessId())
    closeConnection(kept.db);
}

// Takes this thread's kept connection out of the table (db nullptr when there is none).
IdleConnection releaseIdle() {
  IdleConnections& all = idleConnections();
  std::lock_guard<std::mutex> guard(all.mutex);
  auto it = all.byThread.find(std::this_thread::get_id());
  if (it == all.byThread.end()) return {};
  IdleConnection kept = it->second;
  all.byThread.erase(it);
  return kept;
}

// Closes the thread's kept connection when the thread ends; it holds no data of its own.
struct IdleOnThreadEnd {
  ~IdleOnThreadEnd() { closeIdle(releaseIdle()); }
};
thread_local IdleOnThreadEnd idleOnThreadEnd;

void keepIdle(sqlite3* connection) {
  closeIdle(releaseIdle());
  (void)&idleOnThreadEnd;  // constructed on first use, so that the thread's end closes it
  IdleConnections& all = idleConnections();
  std::lock_guard<std::mutex> guard(all.mutex);
  all.byThread[std::this_thread::get_id()] = {connection, platform::currentProcessId()};
}

// This thread's kept connection when it is this process's, idle, and on the file that `path`
// names now; nullptr otherwise.
sqlite3* takeIdle(const std::string& path) {
  IdleConnection kept = releaseIdle();
  if (kept.db == nullptr) return nullptr;
  std::optional<OpenedFile> file = recall(kept.db);
  platform::FileIdentity now;
  if (kept.process != platform::currentProcessId() || !file || file->path != path ||
      !platform::identifyFile(path, &now) || !(now == file->identity) ||
      hasBusyStatement(kept.db)) {
    closeIdle(kept);
    return nullptr;
  }
  return kept.db;
}

}  // namespace

void CommitFlush::attach(sqlite3* db) {
  sqlite3_busy_handler(db, share_ != nullptr ? whileBusy : pollWhileBusy, this);
  // Replaces the automatic checkpoint, which afterCommit does in its place.
  sqlite3_wal_hook(db, afterCommit, this);
  sqlite3_rollback_hook(db, afterRollback, this);
}

// Called by SQLite after each commit, once the write lock is released. An error returned
// here fails the COMMIT statement, though the commit has taken place.
int CommitFlush::afterCommit(void* self, sqlite3* db, const char* name, int logPages) {
  auto* flush = static_cast<CommitFlush*>(self);
  uint64_t commit = flush->share_ != nullptr ? flush->share_->written.fetch_add(1) + 1 : 0;
  flush->announceWriteEnd();
  int rc = SQLITE_OK;
  if (flush->durable_) {
    rc = flush->share_ != nullptr ? flush->flushThrough(db, name, commit)
                                  : flush->flushLog(db, name);
  }
  int checkpointAt = flush->allowLongLog_ ? kDeferredCheckpointPages : kCheckpointPages;
  if (rc == SQLITE_OK && logPages >= checkpointAt) {
    if (flush->holdCheckpoints_)
      flush->checkpointDue_ = true;
    else
      sqlite3_wal_checkpoint(db, name);
  }
  return rc;
}

void CommitFlush::checkpointIfDue(sqlite3* db) {
  if (!checkpointDue_) return;
  checkpointDue_ = false;
  sqlite3_wal_checkpoint(db, "main");
}

void CommitFlush::afterRollback(void* self) {
  static_cast<CommitFlush*>(self)->announceWriteEnd();
}

void CommitFlush::announceWriteEnd() {
  // One waiter at a time: the lock goes to one writer anyway, and waking all of them has
  // the losers spend the processors that the winner needs.
  if (share_ != nullptr) bump(share_->writeEnded, share_->lockSleepers, 1);
}

// Sleeps until a transaction of another connection ends, rather than polling: the wait ends
// when that commit or rollback lets go of the lock. A holder that ends otherwise (a process
// killed in the middle) is noticed by the millisecond timeout.
// The count is read before each attempt, never after a failed one: a holder that let go
// between the failed attempt and the read would leave the waiter asleep for the whole
// timeout. The first failure came before any read, so it is retried at once.
int CommitFlush::whileBusy(void* self, int attempt) {
  auto* flush = static_cast<CommitFlush*>(self);
  int64_t now = steadyMicroseconds();
  if (attempt == 0) flush->busySinceUs_ = now;
  if (now - flush->busySinceUs_ > kBusyLimitUs) return 0;
  CommitShare& share = *flush->share_;
  if (attempt > 0) sleepOn(share.writeEnded, flush->writeEndSeen_, share.lockSleepers, 1);
  flush->writeEndSeen_ = share.writeEnded.load();
  return 1;
}

// Makes commit number `commit` durable. Every commit counted in `written` had its frames
// written before it was counted, so a flush that starts after reading the count covers all
// of them. While another connection's flush is under way this one waits for it: either it
// covers this commit, or the next flush (by whichever waiter gets there first) covers all
// commits that came meanwhile.
int CommitFlush::flushThrough(sqlite3* db, const char* name, uint64_t commit) {
  CommitShare& share = *share_;
  const int64_t deadline = steadyMicroseconds() + kFlushWaitUs;
  for (;;) {
    uint32_t seen = share.flushEnded.load();
    if (share.flushed.load() >= commit) return SQLITE_OK;
    int64_t left = deadline - steadyMicroseconds();
    if (share.flushing.load() <= share.flushed.load() || left <= 0) break;
    sleepOn(share.flushEnded, seen, share.flushSleepers,
            static_cast<int>(std::max<int64_t>(1, left / 1000)));
  }
  uint64_t through = share.written.load();
  raiseTo(share.flushing, through);
  int rc = flushLog(db, name);
  if (rc != SQLITE_OK) return rc;
  raiseTo(share.flushed, through);
  bump(share.flushEnded, share.flushSleepers);
  return SQLITE_OK;
}

// Through a descriptor the process keeps, rather than SQLite's own: SQLite flushes the folder
// too at the first flush of every connection, which a program that connects for every file
// would pay every time. The log cannot be replaced meanwhile: this connection holds it open.
int CommitFlush::flushLog(sqlite3* db, const char* name) {
  const char* log = sqlite3_filename_wal(sqlite3_db_filename(db, name));
  return log != nullptr && platform::flushFileData(log) ? SQLITE_OK : SQLITE_IOERR_FSYNC;
}

namespace {

int openNew(const std::string& path, bool create, sqlite3** out, CommitFlush& flush) {
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
  int rc = sqlite3_open_v2(path.c_str(), out, flags, nullptr);
  if (rc != SQLITE_OK) return rc;
  sqlite3_extended_result_codes(*out, 0);
  flush.attach(*out);
  rc = exec(*out,
            "PRAGMA journal_mode=WAL;"
            // Commits write the log without flushing it: CommitFlush flushes it afterwards,
            // outside the write lock. Checkpoints still flush as they should.
            "PRAGMA synchronous=NORMAL;"
            // Payloads of any size live in payload files, so the log holds only rows: a short
            // log, cut back after each checkpoint, keeps a drained store small.
            "PRAGMA journal_size_limit=4194304;"
            // Payload pages pass through once; a small cache keeps agents' memory low and the
            // system's page cache serves re-reads.
            "PRAGMA cache_size=-2048;"
            "PRAGMA secure_delete=OFF;");
  return rc;
}

}  // namespace

int openDatabase(const std::string& path, bool create, sqlite3** out, CommitFlush* flush) {
  if (flush == nullptr) return openNew(path, create, out, unattended());
  if (sqlite3* kept = takeIdle(path)) {
    flush->attach(kept);
    *out = kept;
    return SQLITE_OK;
  }
  int rc = openNew(path, create, out, *flush);
  OpenedFile file{path, {}};
  if (rc == SQLITE_OK && platform::identifyFile(path, &file.identity)) {
    remember(*out, file);
    keepStatementsOf(*out);
  }
  return rc;
}

void closeDatabase(sqlite3* db) {
  if (db == nullptr) return;
  if (!recall(db) || sqlite3_get_autocommit(db) == 0) {
    closeConnection(db);
    return;
  }
  unattended().attach(db);  // the session's flush goes away with it
  keepIdle(db);
}

void dropKeptConnection(const std::string& path) {
  std::vector<IdleConnection> released;
  {
    IdleConnections& all = idleConnections();
    std::lock_guard<std::mutex> guard(all.mutex);
    for (auto it = all.byThread.begin(); it != all.byThread.end();) {
      std::optional<OpenedFile> file = recall(it->second.db);
      if (file && file->path != path) {
        ++it;
        continue;
      }
      released.push_back(it->second);
      it = all.byThread.erase(it);
    }
  }
  for (const IdleConnection& kept : released) closeIdle(kept);
}

bool Stmt::prepare(sqlite3* db, std::string_view sql) {
  release();
  {
    std::lock_guard<std::mutex> guard(keptStatements().mutex);
    auto connection = keptStatements().byConnection.find(db);
    if (connection != keptStatements().byConnection.end()) {
      db_ = db;
      sql_ = sql;
      auto found = connection->second.find(sql);
      if (found != connection->second.end()) {
        stmt_ = found->second;
        connection->second.erase(found);
        return true;
      }
    }
  }
  return sqlite3_prepare_v3(db, sql.data(), static_cast<int>(sql.size()),
                            SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr) == SQLITE_OK;
}

void Stmt::release() {
  sqlite3_stmt* stmt = std::exchange(stmt_, nullptr);
  sqlite3* db = std::exchange(db_, nullptr);
  if (stmt == nullptr) return;
  if (db != nullptr) {
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    std::lock_guard<std::mutex> guard(keptStatements().mutex);
    auto connection = keptStatements().byConnection.find(db);
    if (connection != keptStatements().byConnection.end() &&
        connection->second.size() < kKeptStatementsPerConnection) {
      connection->second.emplace(std::move(sql_), stmt);
      return;
    }
  }
  sqlite3_finalize(stmt);
}

int exec(sqlite3* db, const char* sql) {
  if (std::strchr(sql, ';') != nullptr) return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
  Stmt stmt;
  if (!stmt.prepare(db, sql)) return sqlite3_errcode(db);
  Use use(stmt);
  int rc = use.run();
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

int32_t reasonFor(int sqliteCode) {
  switch (sqliteCode & 0xff) {
    case SQLITE_FULL:  // puts say MQRC_Q_SPACE_NOT_AVAILABLE themselves
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_NOMEM:
      return MQRC_RESOURCE_PROBLEM;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      return MQRC_OBJECT_DAMAGED;
    default:
      return MQRC_UNEXPECTED_ERROR;
  }
}

}  // namespace mqi::sqlite
