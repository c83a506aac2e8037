// The connection cycle of the delivery agent and the queue manager inquiries.
#include <cstring>
#include <iostream>

#include "common/log.h"
#include "common/reconnect.h"
#include "common/retry_pause.h"
#include "delivery_agent/delivery.h"
#include "platform/platform.h"

DeliveryAgentState DeliveryAgent;

namespace {

// Opens the queue manager object for inquiry; reports the open under `label`.
bool openQueueManager(MQHCONN hconn, const char* label, MQHOBJ* hobj) {
  MQOD od = {MQOD_DEFAULT};
  od.ObjectType = MQOT_Q_MGR;
  MQLONG compCode;
  MQLONG reason;
  *hobj = MQHO_UNUSABLE_HOBJ;
  MQOPEN(hconn, &od, MQOO_INQUIRE, hobj, &compCode, &reason);
  return reportMqCall(label, compCode, reason) != MQCC_FAILED;
}

void closeQuietly(MQHCONN hconn, MQHOBJ* hobj) {
  MQLONG compCode;
  MQLONG reason;
  MQCLOSE(hconn, hobj, MQCO_NONE, &compCode, &reason);
}

// Opens the delivery queue for input, exclusively unless InputExclusiveON says otherwise.
MQLONG openDeliveryQueue(MQHCONN hconn, MQHOBJ* hobj, MQLONG* reason) {
  const DeliverySettings& settings = DeliveryAgent.Settings;
  MQOD od = {MQOD_DEFAULT};
  std::strncpy(od.ObjectName, settings.QName, MQ_Q_NAME_LENGTH);
  std::strncpy(od.ObjectQMgrName, settings.QMgrName, MQ_Q_MGR_NAME_LENGTH);
  MQLONG options = (settings.InputExclusiveON ? MQOO_INPUT_EXCLUSIVE : MQOO_INPUT_SHARED) |
                   MQOO_FAIL_IF_QUIESCING;
  MQLONG compCode;
  *hobj = MQHO_UNUSABLE_HOBJ;
  MQOPEN(hconn, &od, options, hobj, &compCode, reason);
  return reportMqCall("Open Delivery Queue", compCode, *reason);
}

}  // namespace

void WriteErrorLine(const char* text) {
  std::cerr << logTimestamp() << text;
  std::cout << logTimestamp() << text;
}

const char* InquireQMgrName(MQHCONN hconn) {
  char* kept = DeliveryAgent.QMgrName;
  if (kept[0] != '\0') return kept;
  MQHOBJ hobj;
  if (!openQueueManager(hconn, "InquireQMgrName", &hobj)) {
    WriteErrorLine(" Cannot Inquire about QMgrName.\n");
    return kept;
  }
  MQLONG selector = MQCA_Q_MGR_NAME;
  char name[MQ_Q_MGR_NAME_LENGTH];
  MQLONG compCode;
  MQLONG reason;
  MQINQ(hconn, hobj, 1, &selector, 0, nullptr, sizeof name, name, &compCode, &reason);
  bool inquired = reportMqCall("InquireQMgrName", compCode, reason) != MQCC_FAILED;
  closeQuietly(hconn, &hobj);
  if (!inquired) {
    WriteErrorLine(" Cannot Inquire about QMgrName.\n");
    return kept;
  }
  size_t length = 0;
  while (length < sizeof name && name[length] != ' ' && name[length] != '\0') ++length;
  std::memcpy(kept, name, length);
  kept[length] = '\0';
  return kept;
}

MQLONG InquireCodedCharSetId(MQHCONN hconn) {
  MQHOBJ hobj;
  if (!openQueueManager(hconn, "InquireCodedCharSetId", &hobj)) {
    WriteErrorLine(" Cannot Inquire about CCSID\n");
    return -1;
  }
  MQLONG selector = MQIA_CODED_CHAR_SET_ID;
  MQLONG ccsid = -1;
  MQLONG compCode;
  MQLONG reason;
  MQINQ(hconn, hobj, 1, &selector, 1, &ccsid, 0, nullptr, &compCode, &reason);
  bool inquired = reportMqCall("InquireCodedCharSetId", compCode, reason) != MQCC_FAILED;
  closeQuietly(hconn, &hobj);
  if (!inquired) {
    WriteErrorLine(" Cannot Inquire about CCSID\n");
    return -1;
  }
  return ccsid;
}

void RunDeliveryAgent() {
  const DeliverySettings& settings = DeliveryAgent.Settings;
  RetryPause pause;
  for (;;) {
    const int32_t waitMs = NextPause(pause, settings.WaitMQInterval);
    MQHCONN hconn;
    if (!connectOrWait(settings.QMgrName, &hconn, waitMs)) continue;
    std::cout << logTimestamp() << " Connect to Queue Manager '" << InquireQMgrName(hconn)
              << "' successful.\n";
    DeliveryAgent.QMgrCodedCharSetId = InquireCodedCharSetId(hconn);

    MQHOBJ hobj;
    MQLONG openReason;
    if (openDeliveryQueue(hconn, &hobj, &openReason) == MQCC_FAILED) {
      disconnectAfterFailedOpen(&hconn, openReason, waitMs);
      continue;
    }
    InquirePoisonPolicy(hconn, settings.QName, &DeliveryAgent.Poison);
    bool workedOne = false;
    while (DeliverNextFile(hconn, hobj) == Turn::kNext) workedOne = true;
    closeAndDisconnect(&hconn, &hobj);
    // A connection that ends without finishing one header failed. With a wait of its own in
    // the settings the pass has waited already; without one it must not be made again at once.
    if (workedOne) {
      RestartPause(pause);
    } else if (settings.WaitMQInterval <= 0) {
      waitForNextAttempt(NextPause(pause, settings.WaitMQInterval), ".");
    }
  }
}
