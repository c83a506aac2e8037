// Inside the embedded store: the files of one queue manager and the memory its processes
// share. Layout of a queue manager folder <data folder>/<name>/:
//   qm.db      SQLite database (WAL): attributes, queues, messages, small payloads,
//              connections, open handles
//   payloads/  the payload files of larger messages (payload_files.h)
//   shared     the shared area below, mapped by every connected process
//   conns.lock one lock byte per connection slot; a slot whose byte nobody holds belongs to a
//              dead process
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
  uint32_t reserved;
};

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
  uint32_t reserved;
  std::atomic<uint32_t> wake[kWakeWords];     // bumped on every change a getter may want
  std::atomic<uint32_t> waiters[kWakeWords];  // sleepers per word, so idle puts skip the wake
  Slot slots[kSlots];
  sqlite::CommitShare commits;  // shared by the database connections of every process
  PendingPuts pending[kSlots];  // by slot
  Claims claims[kSlots];        // by slot
};

// The shared area of one queue manager, mapped for the life of the object.
class SharedMap {
 public:
  ~SharedMap() { platform::unmapSharedFile(area_, sizeof(SharedArea)); }
  // The area of the queue manager in `folder`. Mappings are kept by the process for reuse
  // (a few folders' worth), so that a program that connects for every file does not map and
  // unmap the area each time: each unmap makes every processor the program ran on drop its
  // address translations. A shared file that was replaced (the queue manager deleted and
  // made again) is mapped anew.
  static std::shared_ptr<SharedMap> open(const std::string& folder);
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
  static std::shared_ptr<SharedMap> map(const std::string& folder);

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

// The state of a message row held by the open unit of work of a connection (0 = committed).
inline int64_t putState(int64_t connectionId) {
  return connectionId * 2 + 1;
}
inline int64_t gotState(int64_t connectionId) {
  return connectionId * 2 + 2;
}

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
// row: used for dead connections and by a stop. Runs its own transaction; wakes getters of
// queues that got messages back. Returns an sqlite3 code.
// `claimed`: messages the connection claimed, which get BackoutCount + 1 too.
int backoutConnection(sqlite3* db, SharedMap& shared, int64_t connectionId, bool forget,
                      const std::vector<int64_t>& claimed = {});

// Backs out what a connection that is gone left in its slot: its rows, and the messages it
// claimed (BackoutCount + 1, as for held rows); then empties the slot's claims and puts.
int backoutSlot(sqlite3* db, SharedMap& shared, uint32_t slot, int64_t connectionId);

// Registers the SQL function claimed(id) on a connection to the database.
bool registerClaimed(sqlite3* db, SharedMap& shared);

// Backs out units of work of connections whose process died, seen through their slot locks.
void reapDeadConnections(sqlite3* db, SharedMap& shared, platform::LockFile& locks,
                         uint32_t ownSlot);

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
