// The connection cycle of the delivery agent and the queue manager inquiries.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "common/log.h"
#include "delivery_agent/delivery.h"
#include "platform/platform.h"

MQLONG QMgrCodedCharSetId = -1;

namespace {

char keptQMgrName[MQ_Q_MGR_NAME_LENGTH + 1];

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

void waitLine(const char* tail) {
  char text[128];
  std::snprintf(text, sizeof text, " MQ error has occured. Waiting %ld ms for next attempt%s\n",
                static_cast<long>(Settings.WaitMQInterval), tail);
  WriteErrorLine(text);
}

bool isOpenRetryReason(MQLONG reason) {
  return reason == MQRC_HANDLE_NOT_AVAILABLE || IsConnectionRetryReason(reason);
}

// Opens the delivery queue for input, exclusively unless InputExclusiveON says otherwise.
MQLONG openDeliveryQueue(MQHCONN hconn, MQHOBJ* hobj, MQLONG* reason) {
  MQOD od = {MQOD_DEFAULT};
  std::strncpy(od.ObjectName, Settings.QName, MQ_Q_NAME_LENGTH);
  std::strncpy(od.ObjectQMgrName, Settings.QMgrName, MQ_Q_MGR_NAME_LENGTH);
  MQLONG options = (Settings.InputExclusiveON ? MQOO_INPUT_EXCLUSIVE : MQOO_INPUT_SHARED) |
                   MQOO_FAIL_IF_QUIESCING;
  MQLONG compCode;
  *hobj = MQHO_UNUSABLE_HOBJ;
  MQOPEN(hconn, &od, options, hobj, &compCode, reason);
  return reportMqCall("Open Delivery Queue", compCode, *reason);
}

// Connects; false (after the wait) when the cycle should start again.
bool connect(MQHCONN* hconn) {
  MQLONG compCode;
  MQLONG reason;
  *hconn = MQHC_UNUSABLE_HCONN;
  MQCONN(Settings.QMgrName, hconn, &compCode, &reason);
  if (reportMqCall("Connect to Queue Manager", compCode, reason) != MQCC_FAILED) return true;
  if (!IsConnectionRetryReason(reason)) {
    WriteErrorLine(" Hard MQ error has occured. Exit.\n");
    EndProcess();
  }
  waitLine(".");
  platform::sleepMilliseconds(static_cast<uint32_t>(Settings.WaitMQInterval));
  return false;
}

}  // namespace

bool IsConnectionRetryReason(MQLONG reason) {
  switch (reason) {
    case MQRC_CONNECTION_BROKEN:
    case MQRC_Q_MGR_NOT_AVAILABLE:
    case MQRC_RESOURCE_PROBLEM:
    case MQRC_Q_MGR_QUIESCING:
    case MQRC_Q_MGR_STOPPING:
    case MQRC_CONNECTION_QUIESCING:
    case MQRC_CONNECTION_STOPPING:
      return true;
    default:
      return false;
  }
}

void EndProcess() {
  std::cout.flush();
  std::exit(0);
}

void WriteErrorLine(const char* text) {
  std::cerr << logTimestamp() << text;
  std::cout << logTimestamp() << text;
}

const char* InquireQMgrName(MQHCONN hconn) {
  if (keptQMgrName[0] != '\0') return keptQMgrName;
  MQHOBJ hobj;
  if (!openQueueManager(hconn, "InquireQMgrName", &hobj)) {
    WriteErrorLine(" Cannot Inquire about QMgrName.\n");
    return keptQMgrName;
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
    return keptQMgrName;
  }
  size_t length = 0;
  while (length < sizeof name && name[length] != ' ' && name[length] != '\0') ++length;
  std::memcpy(keptQMgrName, name, length);
  keptQMgrName[length] = '\0';
  return keptQMgrName;
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
  for (;;) {
    MQHCONN hconn;
    if (!connect(&hconn)) continue;
    std::cout << logTimestamp() << " Connect to Queue Manager '" << InquireQMgrName(hconn)
              << "' successful.\n";
    QMgrCodedCharSetId = InquireCodedCharSetId(hconn);

    MQHOBJ hobj;
    MQLONG compCode;
    MQLONG reason;
    MQLONG openReason;
    if (openDeliveryQueue(hconn, &hobj, &openReason) == MQCC_FAILED) {
      MQDISC(&hconn, &compCode, &reason);
      reportMqCall("Disconnect from Queue Manager", compCode, reason);
      if (!isOpenRetryReason(openReason)) {
        WriteErrorLine(" Hard MQ error has occured. Exit.\n");
        EndProcess();
      }
      waitLine(" to proceed folder.");
      platform::sleepMilliseconds(static_cast<uint32_t>(Settings.WaitMQInterval));
      continue;
    }

    while (DeliverNextFile(hconn, hobj) == 0) {
    }
    MQCLOSE(hconn, &hobj, MQCO_NONE, &compCode, &reason);
    reportMqCall("Close Delivery queue ", compCode, reason);
    MQDISC(&hconn, &compCode, &reason);
    reportMqCall("Disconnect from Queue Manager ", compCode, reason);
  }
}
