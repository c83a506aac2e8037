// The call layer's bookkeeping: connections of this process, their object handles, and the
// per-call frame that applies failpoints and reports CompCode and Reason.
#ifndef QT_MQI_CONNECTION_H
#define QT_MQI_CONNECTION_H

#include <map>
#include <memory>
#include <string>
#include <thread>

#include "mqi/mqi.h"
#include "mqi/store/store.h"

namespace mqi {

struct ObjectHandle {
  bool isQueueManager = false;
  MQLONG options = 0;
  QueueRef queue;              // for queues
  Session* session = nullptr;  // the queue's queue manager (ours or another of the store)
  int64_t storeHandle = 0;     // 0 when not registered with the store
  BrowseCursor cursor;
};

struct Connection {
  MQHCONN hconn = 0;
  std::thread::id owner;
  std::string qmgrName;
  std::unique_ptr<Session> session;
  // Other queue managers of the same store that puts were addressed to.
  std::map<std::string, std::unique_ptr<Session>> others;
  std::map<MQHOBJ, ObjectHandle> objects;
  MQHOBJ nextHobj = 1;
};

// Registers a new connection for the calling thread; returns its handle.
MQHCONN addConnection(std::unique_ptr<Connection> connection);
// The calling thread's connection for `hconn`: nullptr with *reason 2018 when unknown,
// disconnected, from another thread, or made by the parent of this forked process.
Connection* findConnection(MQHCONN hconn, MQLONG* reason);
// The connection this thread holds, if any.
Connection* threadConnection();
void removeConnection(MQHCONN hconn);

// One MQI call: sets CompCode/Reason to OK on entry, applies failpoints, and offers
// helpers to finish with a reason.
class Call {
 public:
  Call(const char* name, PMQLONG compCode, PMQLONG reason);
  // True when a failpoint took the call (CC/RC already set).
  bool failed() const { return failpoint_; }
  void fail(MQLONG reason) { set(MQCC_FAILED, reason); }
  void warn(MQLONG reason) { set(MQCC_WARNING, reason); }
  void set(MQLONG cc, MQLONG reason);
  // Sets the outcome of a store reason: 0 = OK, a warning code = W, else F.
  void result(MQLONG reason);

 private:
  PMQLONG cc_;
  PMQLONG rc_;
  bool failpoint_ = false;
};

// Checks the session of a connection is usable (else fails the call); true when usable.
bool connectionUsable(Call& call, Connection& c);

// An open object handle with its connection.
struct OpenObject {
  Connection* connection = nullptr;
  ObjectHandle* handle = nullptr;
};
// The handle `hobj` of connection `hconn` for a call on an open object. On failure the call
// fails and the result holds nullptr: with findConnection's reason, 2019 for an unknown
// handle, the session's health reason, or `notOpenReason` when the handle was not opened
// with `requiredOption` (0 = any).
OpenObject findOpenObject(Call& call, MQHCONN hconn, MQHOBJ hobj, MQLONG requiredOption,
                          MQLONG notOpenReason);

}  // namespace mqi

#endif  // QT_MQI_CONNECTION_H
