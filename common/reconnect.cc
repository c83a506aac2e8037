// The transient reason sets of the MQ calls.
#include "common/reconnect.h"

#include <algorithm>
#include <initializer_list>
#include <iostream>

#include "common/log.h"
#include "mqi/connect_cause.h"
#include "platform/platform.h"

namespace {

bool isAmong(MQLONG reason, std::initializer_list<MQLONG> reasons) {
  return std::find(reasons.begin(), reasons.end(), reason) != reasons.end();
}

// Queue manager or connection quiescing, stopping or gone; the other sets build on it.
bool isQueueManagerGone(MQLONG reason) {
  return isAmong(reason, {MQRC_Q_MGR_NOT_AVAILABLE, MQRC_Q_MGR_QUIESCING, MQRC_Q_MGR_STOPPING,
                          MQRC_CONNECTION_QUIESCING, MQRC_CONNECTION_STOPPING});
}

// The store is short of something for a while: a full disk (2056 for puts, 2102 for every
// other call) or a busy database (2102). Waited out like a queue manager that is away.
bool isStoreShort(MQLONG reason) {
  return reason == MQRC_RESOURCE_PROBLEM || reason == MQRC_Q_SPACE_NOT_AVAILABLE;
}

}  // namespace

bool isTransientReason(MqCallKind kind, MQLONG reason) {
  const bool broken = reason == MQRC_CONNECTION_BROKEN;
  switch (kind) {
    case MqCallKind::kConnection:
      return broken || isStoreShort(reason) || isQueueManagerGone(reason);
    case MqCallKind::kQueueOpen:
      return reason == MQRC_HANDLE_NOT_AVAILABLE ||
             isTransientReason(MqCallKind::kConnection, reason);
    case MqCallKind::kReceiverOpen:
      return broken || reason == MQRC_HANDLE_NOT_AVAILABLE || reason == MQRC_RESOURCE_PROBLEM ||
             isQueueManagerGone(reason);
    case MqCallKind::kDeferGet:
      return broken || reason == MQRC_RESOURCE_PROBLEM || isQueueManagerGone(reason);
    case MqCallKind::kDeferPut:
      return isStoreShort(reason) || isQueueManagerGone(reason);
  }
  return false;
}

namespace {

[[noreturn]] void endAfterHardError() {
  std::cerr << logTimestamp() << " Hard MQ error has occured. Exit.\n";
  std::cout << logTimestamp() << " Hard MQ error has occured. Exit.\n";
  EndProcess();
}

// The store's own words on the failed connect (a refused password reads differently from a
// stopped server); while it repeats, the log's filter folds it into a count.
void reportConnectCause() {
  std::string cause = mqi::lastConnectError();
  if (cause.empty()) return;
  for (std::ostream* out : {&std::cerr, &std::cout})
    *out << logTimestamp() << " Cause: " << cause << std::endl;
}

}  // namespace

void waitForNextAttempt(int32_t waitMs, const char* tail) {
  std::cerr << logTimestamp() << " MQ error has occured. Waiting " << waitMs
            << " ms for next attempt" << tail << "\n";
  std::cout << logTimestamp() << " MQ error has occured. Waiting " << waitMs
            << " ms for next attempt" << tail << "\n";
  std::cout.flush();
  platform::sleepMilliseconds(static_cast<uint32_t>(waitMs));
}

bool connectOrWait(const char* qmgrName, MQHCONN* hConn, int32_t waitMs) {
  MQLONG compCode = 0;
  MQLONG reason = 0;
  *hConn = MQHC_UNUSABLE_HCONN;
  MQCONN(qmgrName, hConn, &compCode, &reason);
  if (reportMqCall("Connect to Queue Manager", compCode, reason) != MQCC_FAILED) return true;
  reportConnectCause();
  if (!isTransientReason(MqCallKind::kConnection, reason)) endAfterHardError();
  waitForNextAttempt(waitMs, ".");
  return false;
}

void disconnectAfterFailedOpen(MQHCONN* hConn, MQLONG openReason, int32_t waitMs) {
  MQLONG compCode = 0;
  MQLONG reason = 0;
  MQDISC(hConn, &compCode, &reason);
  reportMqCall("Disconnect from Queue Manager", compCode, reason);
  if (!isTransientReason(MqCallKind::kQueueOpen, openReason)) endAfterHardError();
  waitForNextAttempt(waitMs, " to proceed folder.");
}

void closeAndDisconnect(MQHCONN* hConn, MQHOBJ* hObj) {
  MQLONG compCode = 0;
  MQLONG reason = 0;
  MQCLOSE(*hConn, hObj, MQCO_NONE, &compCode, &reason);
  reportMqCall("Close Delivery queue ", compCode, reason);
  MQDISC(hConn, &compCode, &reason);
  reportMqCall("Disconnect from Queue Manager ", compCode, reason);
}
