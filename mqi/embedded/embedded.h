// Inside the embedded store: the files of one queue manager and the memory its processes
// share. Layout of a queue manager folder <data folder>/<name>/:
//   qm.db      SQLite database (WAL): attributes, queues, messages, small payloads,
//              connections, open handles
//   payloads/  the payload files of larger messages (payload_files.h)
//   shared     the shared area below, mapped by every connected process
//   conns.lock one lock byte per connection slot; a slot whose byte nobody holds belongs to a
//              dead process
//   reserve    the space reserve (kReserveBytes of allocated disk): deleted when a write fails
//              for lack of space, so that gets, commits, back-outs and connections can still
//              write; puts are refused until it can be made again
#ifndef QT_MQI_EMBEDDED_EMBEDDED_H
#define QT_MQI_EMBEDDED_EMBEDDED_H

#include <sqlite3.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mqi/embedded/sqlite_util.h"
#include "mqi/store/store.h"
#include "platform/ipc.h"

namespace mqi::embedded {

constexpr uint32_t kSlots = 4096;
constexpr uint32_t kWakeWords = 64;

enum QmState : uint32_t { kUnknown = 0, kRunning = 1, kQuiescing = 2, kStopped = 3 };

struct Slot {
  std::atomic<int64_t> connectionId;  // 0 = free
  std::atomic<uint32_t> pid;
  // The low 32 bits of the connection id an operator ended (qmctl end-session; 0: none): the
  // connection backs itself out at its next call, since part of its unit of work is in its
  // own memory. Zero in a shared file of an earlier version.
  std::atomic<uint32_t> endRequested;
};

inline uint32_t endMark(int64_t connectionId) {
  return static_cast<uint32_t>(connectionId);
}

// The syncpoint puts a session holds in memory before writing them in one transaction: they
// count in the depth of their queue for every process. Kept after the slots, so that a shared
// file of an earlier layout only grows.
struct PendingPuts {
  std::atomic<int64_t> queueId;
  std::atomic<int64_t> count;
};

// The messages a session got under syncpoint and has not yet marked as its own in the
// database (it marks them kClaims at a time, or at the commit): every other session skips them
// and they are out of the depth of their queue. Claims are taken under the database's write
// lock and dropped only after the rows that replace them are committed. The ids live in a
// small hash table that is only ever emptied whole, so readers need no lock.
constexpr uint32_t kClaims = 64;
constexpr uint32_t kClaimBuckets = 128;

struct Claims {
  std::atomic<int64_t> queueId;
  std::atomic<int64_t> count;
  std::atomic<int64_t> ids[kClaimBuckets];  // 0 = empty
};

struct SharedArea {
  std::atomic<uint32_t> state;     // QmState; kUnknown until loaded from the database
  std::atomic<uint32_t> epoch;     // bumped by every start: older sessions are broken
  std::atomic<uint32_t> highSlot;  // slots at and above it were never used
  // Bumped after every administrative use of the database (which may change queues or
  // messages outside any session's commits): with the commit count it tells a session
  // that a queue row it read may have changed since.
  std::atomic<uint32_t> adminChanges;
  std::atomic<uint32_t> wake[kWakeWords];     // bumped on every change a getter may want
  std::atomic<uint32_t> waiters[kWakeWords];  // sleepers per word, so idle puts skip the wake
  Slot slots[kSlots];
  sqlite::CommitShare commits;  // shared by the database connections of every process
  PendingPuts pending[kSlots];  // by slot
  Claims claims[kSlots];        // by slot
  std::atomic<uint32_t> magic;  // kSharedMagic once checked; 0 in a file of an older layout
  std::atomic<uint32_t> reserveGone;  // the space reserve was released and is not back yet
};

constexpr uint32_t kSharedMagic = 0x51544d32;  // "QTM2"
// Connection ids in a shared file beyond this are damage (ids count up from 1 in the database).
constexpr int64_t kMaxConnectionId = int64_t{1} << 48;

// What is wrong with the contents of a shared area, or empty when nothing is: a file of random
// bytes, or one written by another layout, is found before anything uses its numbers.
std::string sharedAreaProblem(const SharedArea& area);

// The shared area of one queue manager, mapped for the life of the object.
class SharedMap {
 public:
  ~SharedMap() { platform::unmapSharedFile(area_, sizeof(SharedArea)); }
  // The area of the queue manager in `folder`. Mappings are kept by the process for reuse
  // (a few folders' worth), so that a program that connects for every file does not map and
  // unmap the area each time: each unmap makes every processor the program ran on drop its
  // address translations. A shared file that was replaced (the queue manager deleted and
  // made again) is mapped anew.
  // A shared file whose contents are not valid is rebuilt (emptied: the state is read again
  // from the database) when no process holds a connection slot, else not mapped. When not
  // mapped, `problem` (when given) says why, and sqliteCodeOf(problem) tells damage (an
  // sqlite3 code of damage) from a file that cannot be mapped (0).
  static std::shared_ptr<SharedMap> open(const std::string& folder, std::string* problem = nullptr);
  // Lets go of the mapping kept for `folder` (it is unmapped once no session uses it): before
  // the queue manager's files are deleted, which Windows refuses while a file is mapped.
  static void forget(const std::string& folder);
  static constexpr const char* kDamaged = "it is damaged";
  static int sqliteCodeOf(const std::string& problem) {
    return problem.rfind(kDamaged, 0) == 0 ? SQLITE_CORRUPT : 0;
  }
  SharedArea* area() const { return area_; }
  const std::string& folder() const { return folder_; }  // the queue manager's
  uint32_t wordFor(int64_t queueId) const { return static_cast<uint32_t>(queueId) % kWakeWords; }
  void wakeQueue(int64_t queueId);
  void wakeAll();
  // Puts held in memory by the sessions of every process for a queue.
  int64_t pendingPuts(int64_t queueId) const;
  // Claims: see Claims above.
  bool claimed(int64_t messageId) const;
  int64_t claimedCount(int64_t queueId) const;
  void claim(uint32_t slot, int64_t queueId, int64_t messageId);
  std::vector<int64_t> claimsOf(uint32_t slot) const;
  void dropClaims(uint32_t slot);
  // The depth a queue has for everyone: its committed messages and written puts (the
  // database's count), the puts held in memory, less the messages claimed.
  int64_t depthAdjustment(int64_t queueId) const {
    return pendingPuts(queueId) - claimedCount(queueId);
  }

 private:
  static std::shared_ptr<SharedMap> map(const std::string& folder, std::string* problem);
  SharedArea* area_ = nullptr;
  platform::FileIdentity file_;
  std::string folder_;
};

std::string folderFor(const std::string& dataFolder, const std::string& qmgr);
std::string databasePath(const std::string& qmFolder);
std::string lockPath(const std::string& qmFolder);

// The attributes and counts of one queue: kQueueInfoSql selects them (bind ?1 to the queue's
// id) and readQueueInfo copies the row a step gave into a QueueInfo.
extern const char* const kQueueInfoSql;
void readQueueInfo(sqlite::Use& row, QueueInfo& out);

// Creates the tables of a new queue manager database.
int createSchema(sqlite3* db);
// Gives the connections table the program and start time of each connection when it lacks
// them. Earlier versions ignore the columns, so the layout version stays.
int addConnectionDetails(sqlite3* db);

// The state of a message row held by the open unit of work of a connection (0 = committed).
// Computed unsigned: an id read from a damaged file must not make the arithmetic undefined.
inline int64_t putState(int64_t connectionId) {
  return static_cast<int64_t>(static_cast<uint64_t>(connectionId) * 2 + 1);
}
inline int64_t gotState(int64_t connectionId) {
  return static_cast<int64_t>(static_cast<uint64_t>(connectionId) * 2 + 2);
}

// The space reserve (see the folder layout above).
constexpr int64_t kReserveBytes = int64_t{4} << 20;
std::string reservePath(const std::string& qmFolder);
// True when an sqlite3 code or an MQ reason of a write says the disk is full.
bool isDiskFull(int sqliteCode);
// Deletes the reserve after a write failed for lack of space; true when that freed space
// (the failed write may then be tried once more).
bool releaseReserve(SharedMap& shared);
// Makes the reserve when it is missing; true when it is in place. Puts call it while the
// shared area says the reserve is gone.
bool restoreReserve(SharedMap& shared);

// The text for a store that cannot be used: the file, what is wrong (`sqliteCode` 0 for a
// system error), and what to do: for a file that cannot be opened or written, give this user
// access to the folder; for anything else, see qmctl check and restore from a backup.
std::string unusableStoreText(const std::string& file, const std::string& error, int sqliteCode,
                              const std::string& qmName);
// The text of the last system error (errno) of this thread.
std::string systemErrorText();

// Backs out the connections listed in the database that no slot holds any more (their
// process ended while a write failed, say) and whose slot nobody is taking right now.
void reapOrphanedConnections(sqlite3* db, SharedMap& shared, platform::LockFile& locks);

// Ends the rows of one queue in one state, in batches, inside the caller's transaction:
// remove() deletes them with their payloads, release() makes them committed messages.
// Both add the number of rows to `count` and return an sqlite3 code.
class RowBatches {
 public:
  bool prepare(sqlite3* db);
  int remove(int64_t queueId, int64_t state, int64_t& count);
  int release(int64_t queueId, int64_t state, int64_t backoutIncrement, int64_t& count);

 private:
  static constexpr int64_t kBatch = 4096;
  sqlite3* db_ = nullptr;
  sqlite::Stmt payloads_, messages_, release_;
};

// Backs out the unit of work of a connection, then (when forget) removes its handles and its
// row: used for dead connections and by a stop. Runs its own transaction (once more after
// releasing the space reserve when the disk is full); wakes getters of queues that got
// messages back. Returns an sqlite3 code.
// `claimed`: messages the connection claimed, which get BackoutCount + 1 too.
int backoutConnection(sqlite3* db, SharedMap& shared, int64_t connectionId, bool forget,
                      const std::vector<int64_t>& claimed = {});

// Backs out what a connection that is gone left in its slot: its rows, and the messages it
// claimed (BackoutCount + 1, as for held rows); then empties the slot's claims and puts.
int backoutSlot(sqlite3* db, SharedMap& shared, uint32_t slot, int64_t connectionId);

// Registers the SQL function claimed(id) on a connection to the database, reading `shared`;
// on a connection that has it already, points it at `shared` instead.
bool registerClaimed(sqlite3* db, SharedMap& shared);

// Backs out units of work of connections whose process died, seen through their slot locks.
// True when there was one.
bool reapDeadConnections(sqlite3* db, SharedMap& shared, platform::LockFile& locks,
                         uint32_t ownSlot);

// Checks the whole store of the queue manager whose database is `db` (see qmctl check).
CheckReport checkStore(sqlite3* db, SharedMap& shared, platform::LockFile& locks);

// Ends the process at once (SIGKILL) when QM_CRASHPOINT names this point: for the crash
// tests, which must stop a process between two writes that no call boundary separates.
// Points: "payload-appended" (a put's bytes are in the file, its row nowhere yet),
// "commit-payloads-synced" (MQCMIT synced the payload file, the rows are not committed),
// "compact-copied" (a compaction synced the copy, the rows still point at the old file).
void crashPoint(const char* name);

// A session on the queue manager in `qmFolder`.
int32_t connectSession(const std::string& qmFolder, std::unique_ptr<Session>& out);

}  // namespace mqi::embedded

#endif  // QT_MQI_EMBEDDED_EMBEDDED_H
