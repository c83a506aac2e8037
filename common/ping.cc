// The ping reply and the status puts: MQPUT1 with the version-1 defaults.
#include "common/ping.h"

#include <cstring>

#include "common/log.h"

namespace {

// Copies a queue or queue manager name of at most 48 characters; the rest stays NUL.
void copyName(MQCHAR48 target, const char* name) {
  std::memset(target, 0, sizeof(MQCHAR48));
  if (name == nullptr) return;
  for (size_t i = 0; i < sizeof(MQCHAR48) && name[i] != '\0'; ++i) target[i] = name[i];
}

}  // namespace

int putPingReply(MQHCONN connection, const PING* record, const char* replyQueue) {
  MQOD od = {MQOD_DEFAULT};
  copyName(od.ObjectName, replyQueue);
  std::memset(od.ObjectQMgrName, 0, sizeof od.ObjectQMgrName);
  MQMD md = {MQMD_DEFAULT};
  std::memcpy(md.Format, MQFMT_STRING, sizeof md.Format);
  setSegmentCorrelId(md.CorrelId, 0);
  MQPMO pmo = {MQPMO_DEFAULT};
  pmo.Options = MQPMO_SYNCPOINT;
  MQLONG compCode = 0;
  MQLONG reason = 0;
  // A reply that cannot be put is dropped: the commit consumes the ping either way.
  MQPUT1(connection, &od, &md, &pmo, static_cast<MQLONG>(sizeof(PING)), const_cast<PING*>(record),
         &compCode, &reason);
  MQCMIT(connection, &compCode, &reason);
  return 1;
}

void initStatusDescriptor(MQMD& md, const MQBYTE24 msgId) {
  md = MQMD{MQMD_DEFAULT};
  std::memcpy(md.Format, MQFMT_STRING, sizeof md.Format);
  if (msgId != nullptr) std::memcpy(md.MsgId, msgId, sizeof md.MsgId);
}

MQLONG putStatusRecord(MQHCONN connection, const char* replyToQ, const char* replyToQMgr,
                       const MQBYTE24 msgId, bool inUnitOfWork, const void* record, MQLONG length) {
  MQOD od = {MQOD_DEFAULT};
  copyName(od.ObjectName, replyToQ);
  copyName(od.ObjectQMgrName, replyToQMgr);
  MQMD md;
  initStatusDescriptor(md, msgId);
  MQPMO pmo = {MQPMO_DEFAULT};
  pmo.Options = inUnitOfWork ? MQPMO_SYNCPOINT | MQPMO_FAIL_IF_QUIESCING : MQPMO_NO_SYNCPOINT;
  MQLONG compCode = 0;
  MQLONG reason = 0;
  MQPUT1(connection, &od, &md, &pmo, length, const_cast<void*>(record), &compCode, &reason);
  reportMqCall("Send status message", compCode, reason);
  return compCode == MQCC_FAILED ? reason : 0;
}

MQLONG statusRecordLength(const void* record, size_t size) {
  const void* nul = std::memchr(record, '\0', size);
  size_t length =
      nul != nullptr
          ? static_cast<size_t>(static_cast<const char*>(nul) - static_cast<const char*>(record))
          : size;
  return static_cast<MQLONG>(length);
}
