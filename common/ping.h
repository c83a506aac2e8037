// The ping reply both agents send, and the descriptor defaults their status puts share.
#ifndef QT_COMMON_PING_H
#define QT_COMMON_PING_H

#include <cstddef>

#include "common/records.h"
#include "mqi/mqi.h"

// Sends the 74-byte ping record back to replyQueue (48 characters, blank-padded or
// NUL-terminated) on the connected queue manager with MQPUT1 under syncpoint, then commits.
// Neither call is tested or reported: a ping whose reply cannot be put is consumed silently.
// Returns 1, always.
int putPingReply(MQHCONN connection, const PING* record, const char* replyQueue);

// The message descriptor of a status record: the version-1 defaults with Format MQSTR and
// the given MsgId (nullptr: MQMI_NONE, the queue manager assigns one).
void initStatusDescriptor(MQMD& md, const MQBYTE24 msgId);

// Puts a status record of `length` bytes to replyToQ at replyToQMgr (each 48 characters),
// under syncpoint with FAIL_IF_QUIESCING when inUnitOfWork, else outside syncpoint; reports
// the call as "Send status message". Returns the reason code on failure, else 0.
MQLONG putStatusRecord(MQHCONN connection, const char* replyToQ, const char* replyToQMgr,
                       const MQBYTE24 msgId, bool inUnitOfWork, const void* record, MQLONG length);

// The length a status record is sent with: the bytes before its first NUL, else all `size`.
MQLONG statusRecordLength(const void* record, size_t size);

#endif  // QT_COMMON_PING_H
