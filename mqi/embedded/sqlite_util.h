// Thin RAII helpers over the sqlite3 C API for the embedded store.
#ifndef QT_MQI_EMBEDDED_SQLITE_UTIL_H
#define QT_MQI_EMBEDDED_SQLITE_UTIL_H

#include <sqlite3.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace mqi::sqlite {

// One prepared statement; reset and unbound by Use when a use ends. On a connection that
// openDatabase opened for a session, a statement that goes away is kept, reset, for the next
// Stmt that prepares the same text on that connection: a program that connects for every file
// would otherwise parse every statement again each time.
class Stmt {
 public:
  Stmt() = default;
  ~Stmt() { release(); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  bool prepare(sqlite3* db, std::string_view sql);
  sqlite3_stmt* get() const { return stmt_; }

 private:
  void release();

  sqlite3_stmt* stmt_ = nullptr;
  sqlite3* db_ = nullptr;
  std::string sql_;
};

// One use of a prepared statement: bind, step, read columns; resets it at the end.
class Use {
 public:
  explicit Use(Stmt& stmt) : s_(stmt.get()) {}
  ~Use() {
    sqlite3_reset(s_);
    sqlite3_clear_bindings(s_);
  }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;

  Use& bind(int i, int64_t v) {
    sqlite3_bind_int64(s_, i, v);
    return *this;
  }
  Use& bind(int i, std::string_view v) {
    sqlite3_bind_text(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  // The bytes are not copied: they must live until the statement has run.
  Use& bindBlob(int i, const void* data, size_t length) {
    sqlite3_bind_blob64(s_, i, data == nullptr ? "" : data, length, SQLITE_STATIC);
    return *this;
  }
  int step() { return sqlite3_step(s_); }
  bool row() { return step() == SQLITE_ROW; }
  // Runs to the end; returns SQLITE_DONE on success or the error code.
  int run() {
    int rc;
    while ((rc = sqlite3_step(s_)) == SQLITE_ROW) {
    }
    return rc;
  }
  int64_t i64(int col) const { return sqlite3_column_int64(s_, col); }
  int32_t i32(int col) const { return static_cast<int32_t>(sqlite3_column_int64(s_, col)); }
  std::string text(int col) const {
    const unsigned char* t = sqlite3_column_text(s_, col);
    return t == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(t));
  }
  const void* blob(int col) const { return sqlite3_column_blob(s_, col); }
  int bytes(int col) const { return sqlite3_column_bytes(s_, col); }

 private:
  sqlite3_stmt* s_;
};

// Runs SQL without results; returns the sqlite3 result code. A single statement (no ';') is
// kept for reuse as a Stmt is.
int exec(sqlite3* db, const char* sql);

// Counters that the connections of every process on one database share, in shared memory
// (zero-filled at first): they let commits that end at about the same time share one flush
// of the log, and let a writer that finds the write lock taken sleep until a transaction ends.
struct CommitShare {
  std::atomic<uint64_t> written;     // commits whose log frames are written, counted
  std::atomic<uint64_t> flushing;    // the highest count that a flush under way covers
  std::atomic<uint64_t> flushed;     // the highest count known to be on disk
  std::atomic<uint32_t> flushEnded;  // bumped after every flush; flush waiters sleep on it
  std::atomic<uint32_t> flushSleepers;
  std::atomic<uint32_t> writeEnded;  // bumped after every write transaction; lock waiters
  std::atomic<uint32_t> lockSleepers;
};

// How the commits of one connection reach the disk. The database runs with synchronous=NORMAL:
// a commit writes its log frames and lets go of the write lock at once. When durable, the log
// is then flushed before the commit returns, outside the lock, so that other writers go on
// meanwhile and commits that end together share one flush. Must outlive its connection.
class CommitFlush {
 public:
  // Without a share, commits flush the log alone and lock waiters poll.
  explicit CommitFlush(CommitShare* share = nullptr) : share_(share) {}
  CommitFlush(const CommitFlush&) = delete;
  CommitFlush& operator=(const CommitFlush&) = delete;

  void setDurable(bool durable) { durable_ = durable; }
  bool durable() const { return durable_; }
  // While held, a commit that fills the log only marks a checkpoint as due, for
  // checkpointIfDue: the committer can first wake the processes waiting for its messages,
  // which then run beside the checkpoint rather than after it.
  void holdCheckpoints(bool hold) { holdCheckpoints_ = hold; }
  void checkpointIfDue(sqlite3* db);
  // For the commits inside a large unit of work: they let the log grow longer before a
  // checkpoint.
  void allowLongLog(bool allow) { allowLongLog_ = allow; }

  // Installs the commit, rollback and busy callbacks on db.
  void attach(sqlite3* db);

 private:
  static int afterCommit(void* self, sqlite3* db, const char* name, int logPages);
  static void afterRollback(void* self);
  static int whileBusy(void* self, int attempt);
  void announceWriteEnd();
  int flushThrough(sqlite3* db, const char* name, uint64_t commit);
  int flushLog(sqlite3* db, const char* name);

  CommitShare* share_;
  bool durable_ = true;
  bool holdCheckpoints_ = false;
  bool allowLongLog_ = false;
  bool checkpointDue_ = false;
  int64_t busySinceUs_ = 0;
  uint32_t writeEndSeen_ = 0;  // the count of ended write transactions before the last attempt
};

// Opens a queue manager database with the settings every connection uses: WAL journal with
// commits flushed as `flush` says, a busy handler that wakes when the lock holder ends, foreign
// keys off. Without a flush, every commit is durable and flushes alone. With one, the
// connection may be the one that closeDatabase kept on this thread for the same file.
int openDatabase(const std::string& path, bool create, sqlite3** out, CommitFlush* flush = nullptr);

// Ends the use of a connection that openDatabase gave with a flush, on the thread that opened
// it. Outside a transaction the connection is kept, idle, for the next openDatabase of the
// same file on this thread (one per thread; a forked child never reuses its parent's): a
// program that connects for every file then reads the schema and maps SQLite's index of the
// log once. Its statements must all be finalized before the thread opens a database again.
void closeDatabase(sqlite3* db);
// Closes the connections that closeDatabase kept, on any thread of this process, on the file
// at `path`: before that file is deleted, which Windows refuses while the file is open.
void dropKeptConnection(const std::string& path);

// The MQ reason code for an sqlite3 failure: disk full or busy 2102, damage 2101, anything
// else 2195.
int32_t reasonFor(int sqliteCode);

}  // namespace mqi::sqlite

#endif  // QT_MQI_EMBEDDED_SQLITE_UTIL_H
