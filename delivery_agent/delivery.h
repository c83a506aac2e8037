// The delivery agent qdrop: its process-wide state and the routines of its one thread.
//
// The agent connects to a queue manager, opens its delivery queue and calls DeliverNextFile
// again and again. Each pass gets one delivery header (TGTDESC) and either writes the file's
// data segments to a target file and commits with a DLVR_STATUS "D", or moves the header and
// its segments to the deferred queue with a DLVR_STATUS "W". Results are small integers that
// steer the caller's loop; every MQ call is followed by reportMqCall.
#ifndef QT_DELIVERY_AGENT_DELIVERY_H
#define QT_DELIVERY_AGENT_DELIVERY_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/records.h"
#include "mqi/mqi.h"

// ---- settings (read once at start-up) -------------------------------------------------
struct DeliverySettings {
  char QMgrName[48];       // at most 47 characters; also the delivery queue's ObjectQMgrName
  char QName[48];          // the delivery queue
  MQLONG WaitMQInterval;   // ms before the next connection attempt
  bool InputExclusiveON;   // open the delivery queue exclusively
  MQLONG DelayInterval;    // printed only
  MQLONG DeferInterval;    // ms each get of a move to the deferred queue waits
};
extern DeliverySettings Settings;

// The settings file: "qdrop.ini" without an argument; a relative name is placed after the
// current directory. Writes at most size-1 characters and a NUL.
void SettingsFilePath(const char* argument, char* out, size_t size);
// Reads the keys of "MQSeries Objects" and "Options" (defaults for anything missing) and
// prints the start-up parameters.
void ReadDeliverySettings(const char* fileName);
// The leading decimal digits of a settings value (no digits: 0), capped at the largest MQLONG.
MQLONG SettingsNumber(const char* text);

// ---- connection (kept for the process) ------------------------------------------------
extern MQLONG QMgrCodedCharSetId;  // set at every connection; -1 when the inquiry failed
// The queue manager's name, asked once and kept for the life of the process; on failure the
// kept (possibly empty) name.
const char* InquireQMgrName(MQHCONN hconn);
// The queue manager's CCSID, or -1 when it cannot be inquired.
MQLONG InquireCodedCharSetId(MQHCONN hconn);
// The connection cycle: connects, opens the delivery queue, calls DeliverNextFile while it
// returns 0, reconnects when it returns 1. Ends the process on a hard MQ error.
[[noreturn]] void RunDeliveryAgent();

// ---- the delivery loop ----------------------------------------------------------------
// Status destination of the current file (the header's ReplyToQ and ReplyToQMgr).
extern char StatusQueue[MQ_Q_NAME_LENGTH + 1];
extern char StatusQMgr[MQ_Q_MGR_NAME_LENGTH + 1];
// Set by the latest header that carried "-garbage"; empty until then.
extern char DeferredQueue[MQ_Q_NAME_LENGTH + 1];
// One pass: 0 to be called again, 1 when the connection must be rebuilt.
int DeliverNextFile(MQHCONN hconn, MQHOBJ hobj);
// Reads "-garbage" from the header's option text into DeferredQueue (the last one wins).
void ReadDeliveryOptions(const TGTDESC& header);

// Gets one message into buffer. A message longer than the buffer is not cut: the get leaves it
// on the queue (no MQGMO_ACCEPT_TRUNCATED_MSG), and a second get reads it whole into
// `overflow`. *data points at the bytes, *length is their count. Both gets are reported under
// label. Returns the completion code; *reason receives the reason code.
MQLONG GetWholeMessage(MQHCONN hconn, MQHOBJ hobj, MQMD& md, MQGMO& gmo, const char* label,
                       char* buffer, MQLONG size, std::vector<char>& overflow,
                       const char** data, MQLONG* length, MQLONG* reason);
constexpr MQLONG kSegmentBufferSize = 24576;

// ---- deferral and status --------------------------------------------------------------
// Moves the header and segments 1..maxSeq of the file msgId from the delivery queue to the
// deferred queue in one unit of work. 0 when moved and committed, 1 when a connection-type MQ
// condition interrupted the move; other MQ failures end the process.
int DeferFile(MQHCONN hconn, MQHOBJ hobj, const MQBYTE24 msgId, uint32_t maxSeq);
// Builds, dumps and puts a DLVR_STATUS with the given State ("D" or "W") and comment to
// StatusQueue at StatusQMgr. Returns 0, or the reason code of a failed put.
MQLONG SendDeliveryStatus(MQHCONN hconn, const char* state, const char* comment,
                          const TGTDESC& header, const MQBYTE24 msgId, bool syncpoint);
// Fills a DLVR_STATUS as SendDeliveryStatus sends it; returns the message length (the bytes
// before the record's first zero byte).
MQLONG BuildDeliveryStatus(DLVR_STATUS& record, const char* state, const char* comment,
                           const TGTDESC& header);

// ---- process end and error lines ------------------------------------------------------
// Flushes standard output and ends the process with exit code 0.
[[noreturn]] void EndProcess();
// Writes " text" with a timestamp to standard error, then the same to standard output.
void WriteErrorLine(const char* text);
// True for the reasons after which a new connection may succeed (2009, 2059, 2102, 2161, 2162,
// 2202, 2203).
bool IsConnectionRetryReason(MQLONG reason);

#endif  // QT_DELIVERY_AGENT_DELIVERY_H
