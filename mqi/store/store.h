// The store interface under the MQI calls: where queue managers, queues and messages live.
//
// The call layer (calls.cc) checks structures, options, handles and threads, fills message
// ids and context, converts code pages and runs failpoints; everything about keeping
// messages is a store's business and sits behind these two classes. A store is chosen by the
// scheme of QM_STORE: a folder selects the embedded store (SQLite files under that folder); a
// postgresql:// connection string selects the PostgreSQL store (store/registry.cc maps them).
//
// Units of work: a Session is one MQI connection. Syncpoint puts and gets belong to its unit
// of work until commit() or backout(); how a store keeps them is its own choice (the embedded
// store marks rows owned by the session and flips them in one short transaction; a database
// server store may hold one database transaction per unit of work). A store must never let
// one session's open unit of work block another session for longer than one call, and must
// back out the unit of work of a session whose process died.
//
// Results are MQ reason codes (0 = done); the call layer turns them into completion codes.
#ifndef QT_MQI_STORE_STORE_H
#define QT_MQI_STORE_STORE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mqi/admin.h"
#include "mqi/mqi.h"

namespace mqi {

// A local queue as a session sees it at open time.
struct QueueRef {
  int64_t id = 0;
  std::string name;
  QueueInfo info;  // attributes as read at open (depth and counts are not kept fresh)
};

enum class InputMode { kNone, kShared, kExclusive };

// A browse cursor: the message last browsed (0 = before the first message).
struct BrowseCursor {
  int64_t messageId = 0;
  int32_t priority = 0;
};

enum class GetMode { kGet, kBrowseFirst, kBrowseNext, kBrowseUnderCursor, kGetUnderCursor };

struct GetRequest {
  int64_t queueId = 0;
  GetMode mode = GetMode::kGet;
  bool matchMsgId = false;
  bool matchCorrelId = false;
  MQBYTE24 msgId = {};
  MQBYTE24 correlId = {};
  bool syncpoint = false;             // destructive get inside the unit of work
  bool syncpointIfPersistent = false;
  BrowseCursor* cursor = nullptr;     // the handle's cursor, for browse modes
};

// Reads the payload of the message being delivered, part by part, straight into the caller's
// memory.
class PayloadReader {
 public:
  virtual ~PayloadReader() = default;
  virtual bool read(int64_t offset, void* into, size_t length) = 0;
};

// Called by Session::get with the chosen message (its stored descriptor, BackoutCount set)
// and a reader of its payload. Returns whether the message is taken (removed or held by the
// unit of work, or the cursor moved); false leaves everything as it was (truncation 2080).
using DeliverFn = std::function<bool(const MQMD& md, int64_t length, PayloadReader& payload)>;

// One MQI connection to one queue manager. Used by one thread at a time.
class Session {
 public:
  virtual ~Session() = default;

  // Queue manager attributes, fixed for the life of the session.
  virtual const QueueManagerInfo& queueManager() const = 0;

  // 0 while usable; 2162 once the queue manager is stopped, 2009 when it was restarted since
  // this session connected or the session is otherwise broken. Also backs out units of work
  // of dead sessions of other processes.
  virtual int32_t health() = 0;
  virtual bool quiescing() = 0;

  virtual int32_t findQueue(const std::string& name, QueueRef& out) = 0;  // 2085 if unknown
  // Registers an open handle; 2042 when the input mode conflicts with another handle.
  virtual int32_t openHandle(const QueueRef& queue, InputMode input, bool output,
                             int64_t& handleId) = 0;
  virtual void closeHandle(int64_t handleId) = 0;

  // Stores a message whose descriptor is final (ids, context, CCSID, priority, persistence
  // resolved). Checks put-inhibit (2051), depth (2053) and MaxMsgLength (2030).
  virtual int32_t put(int64_t queueId, const MQMD& md, const void* data, size_t length,
                      bool syncpoint) = 0;
  // Finds the first suitable message and hands it to deliver. 2033 when there is none,
  // 2016 when the queue is get-inhibited, 2034 when the cursor's message is gone.
  virtual int32_t get(const GetRequest& request, const DeliverFn& deliver) = 0;

  // Waiting: take a token before looking, then sleep until something may have changed on the
  // queue (or the queue manager) after that token, or timeoutMs passed.
  virtual uint32_t changeToken(int64_t queueId) = 0;
  virtual void awaitChange(int64_t queueId, uint32_t token, int timeoutMs) = 0;

  virtual int32_t describeQueue(int64_t queueId, QueueInfo& out) = 0;
  // Sets InhibitGet / InhibitPut (-1 = leave), waking waiters of the queue.
  virtual int32_t setInhibit(int64_t queueId, int32_t inhibitGet, int32_t inhibitPut) = 0;

  virtual int64_t uncommittedCount() const = 0;
  virtual int32_t commit() = 0;   // 0, or 2003 when it had to back out
  virtual int32_t backout() = 0;
  // Ends the session: commits open work (2003 if it had to back out), closes its handles.
  virtual int32_t disconnect() = 0;
  // In a child after fork(): forgets the parent's resources without touching them.
  virtual void abandon() = 0;
};

// A store location with its queue managers: connecting and administration.
class Store {
 public:
  virtual ~Store() = default;

  // 2058 unknown name, 2059 not running, 2161 quiescing.
  virtual int32_t connect(const std::string& qmgrName, std::unique_ptr<Session>& out) = 0;
  virtual std::string defaultQueueManager() = 0;  // empty when none
  virtual bool queueManagerExists(const std::string& name) = 0;

  virtual Status createQueueManager(const std::string& name, const QueueManagerOptions& o) = 0;
  virtual Status startQueueManager(const std::string& name) = 0;
  virtual Status stopQueueManager(const std::string& name, bool quiesce) = 0;
  virtual Status deleteQueueManager(const std::string& name) = 0;
  virtual Result<std::vector<QueueManagerInfo>> listQueueManagers() = 0;
  virtual Result<QueueManagerInfo> describeQueueManager(const std::string& name) = 0;
  virtual Status setDefaultQueueManager(const std::string& name) = 0;
  virtual Status setMaxUncommittedMsgs(const std::string& name, int32_t value) = 0;
  virtual Status alterQueueManager(const std::string& name, const QueueManagerChanges& c) = 0;
  // Stores that keep no files of their own report nothing and compact nothing.
  virtual Result<StoreSpace> measureSpace(const std::string&) { return StoreSpace{}; }
  virtual Result<CompactReport> compactQueueManager(const std::string&) {
    return CompactReport{};
  }
  virtual Result<CheckReport> checkQueueManager(const std::string& name) = 0;
  virtual Result<std::vector<SessionInfo>> listSessions(const std::string& qmgr) = 0;
  virtual Result<SessionEnd> endSession(const std::string& qmgr, int64_t sessionId) = 0;

  virtual Status defineQueue(const std::string& qmgr, const std::string& queue,
                             const QueueAttributes& attributes) = 0;
  virtual Status alterQueue(const std::string& qmgr, const std::string& queue,
                            const QueueAttributes& attributes) = 0;
  virtual Status deleteQueue(const std::string& qmgr, const std::string& queue, bool purge) = 0;
  virtual Result<int64_t> clearQueue(const std::string& qmgr, const std::string& queue) = 0;
  virtual Result<std::vector<QueueInfo>> listQueues(const std::string& qmgr) = 0;
  virtual Result<QueueInfo> describeQueue(const std::string& qmgr, const std::string& queue) = 0;
};

// The host name part of a machine key (platform::machineKey), which is what an operator knows a
// machine by.
inline std::string hostOfMachineKey(const std::string& key) {
  return key.substr(0, key.find('/'));
}

// The store's own words (the server's or its client library's) on why the last connect of
// this thread failed, passwords removed; "" when it did not fail or the store has none to
// give. MQCONN clears it first; a store notes it where the connect fails.
void noteConnectError(const std::string& text);
const std::string& connectErrorText();

// The store that `location` selects (a folder, or postgresql://...). A store that is not built
// into this program gives a Status error naming it; nothing is created by opening.
Result<std::shared_ptr<Store>> openStore(const std::string& location);

}  // namespace mqi

#endif  // QT_MQI_STORE_STORE_H
