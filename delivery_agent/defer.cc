// Deferral: the move of an undeliverable file's messages to the deferred queue ("HOLD file",
// "Defer file"), in one unit of work of its own.
#include <cstring>
#include <iostream>
#include <vector>

#include "common/log.h"
#include "common/poison.h"
#include "delivery_agent/delivery.h"

namespace {

// A connection-type condition interrupted the move. The gets done so far are backed out here:
// when the connection is in fact still usable (a quiescing queue manager), the disconnect that
// follows would otherwise commit them and lose those messages.
Turn interrupted(MQHCONN hconn) {
  MQLONG compCode;
  MQLONG reason;
  MQBACK(hconn, &compCode, &reason);
  reportMqCall("Rollback", compCode, reason);
  return Turn::kReconnect;
}

[[noreturn]] void backOutAndEnd(MQHCONN hconn, const char* backLabel, const char* discLabel) {
  MQLONG compCode;
  MQLONG reason;
  MQBACK(hconn, &compCode, &reason);
  reportMqCall(backLabel, compCode, reason);
  MQDISC(&hconn, &compCode, &reason);
  reportMqCall(discLabel, compCode, reason);
  EndProcess();
}

// Puts one message to the deferred queue with the descriptor and context that its get gave.
MQLONG putDeferred(MQHCONN hconn, MQMD& md, const char* data, MQLONG length, MQLONG* reason) {
  MQOD od = {MQOD_DEFAULT};
  const char* queue = DeliveryAgent.DeferredQueue;
  std::memcpy(od.ObjectName, queue, strnlen(queue, MQ_Q_NAME_LENGTH));
  MQPMO pmo = {MQPMO_DEFAULT};
  pmo.Options = MQPMO_SYNCPOINT | MQPMO_SET_ALL_CONTEXT | MQPMO_FAIL_IF_QUIESCING;
  MQLONG compCode;
  MQPUT1(hconn, &od, &md, &pmo, length, const_cast<char*>(data), &compCode, reason);
  return reportMqCall("Defer file", compCode, *reason);
}

}  // namespace

Turn DeferFile(MQHCONN hconn, MQHOBJ hobj, const MQBYTE24 msgId, uint32_t maxSeq) {
  char buffer[kSegmentBufferSize];
  std::vector<char> overflow;
  // Segments 0..maxSeq in order, then any other message of the file (segments beyond MaxSeq
  // or numbered wrongly), so that none is left behind without its header.
  for (uint64_t segment = 0; segment <= maxSeq || GroupHasMoreMessages(hconn, hobj, msgId);
       ++segment) {
    MQMD md = {MQMD_DEFAULT};
    std::memcpy(md.MsgId, msgId, sizeof md.MsgId);
    if (segment <= maxSeq) setSegmentCorrelId(md.CorrelId, static_cast<uint32_t>(segment));
    MQGMO gmo = {MQGMO_DEFAULT};
    gmo.Options = MQGMO_WAIT | MQGMO_SYNCPOINT | MQGMO_ACCEPT_TRUNCATED_MSG |
                  MQGMO_FAIL_IF_QUIESCING;
    gmo.WaitInterval = DeliveryAgent.Settings.DeferInterval;
    const char* data;
    MQLONG length;
    MQLONG reason;
    if (GetWholeMessage(hconn, hobj, md, gmo, "HOLD file", buffer, sizeof buffer, overflow,
                        &data, &length, &reason) == MQCC_FAILED) {
      if (isTransientReason(MqCallKind::kDeferGet, reason)) return interrupted(hconn);
      backOutAndEnd(hconn, "Defer file", "Defer file");
    }
    if (putDeferred(hconn, md, data, length, &reason) == MQCC_FAILED) {
      if (isTransientReason(MqCallKind::kDeferPut, reason)) return interrupted(hconn);
      backOutAndEnd(hconn, "Rollback", "Disconnect from Queue Manager");
    }
  }
  MQLONG compCode;
  MQLONG reason;
  MQCMIT(hconn, &compCode, &reason);
  if (reportMqCall("Defer file", compCode, reason) == MQCC_FAILED) {
    std::cerr << logTimestamp() << " Unrecoverable error. Exit." << std::endl;
    std::cout << logTimestamp() << " Unrecoverable error. Exit." << std::endl;
    EndProcess();
  }
  return Turn::kNext;
}

MQLONG GetWholeMessage(MQHCONN hconn, MQHOBJ hobj, MQMD& md, MQGMO& gmo, const char* label,
                       char* buffer, MQLONG size, std::vector<char>& overflow,
                       const char** data, MQLONG* length, MQLONG* reason) {
  gmo.Options &= ~MQGMO_ACCEPT_TRUNCATED_MSG;
  MQLONG compCode;
  *length = 0;
  MQGET(hconn, hobj, &md, &gmo, size, buffer, length, &compCode, reason);
  reportMqCall(label, compCode, *reason);
  *data = buffer;
  if (compCode == MQCC_WARNING && *reason == MQRC_TRUNCATED_MSG_FAILED && *length > size) {
    // The message stayed on the queue; the descriptor now selects exactly it.
    overflow.resize(static_cast<size_t>(*length));
    MQGET(hconn, hobj, &md, &gmo, *length, overflow.data(), length, &compCode, reason);
    reportMqCall(label, compCode, *reason);
    *data = overflow.data();
  }
  return compCode;
}
