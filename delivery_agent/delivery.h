// The delivery agent qdrop: its process-wide state and the routines of its one thread.
//
// The agent connects to a queue manager, opens its delivery queue and calls DeliverNextFile
// again and again. Each pass gets one delivery header (TGTDESC) and either writes the file's
// data segments to a target file and commits with a DLVR_STATUS "D", or moves the header and
// its segments to the deferred queue with a DLVR_STATUS "W". Results are named enums that steer
// the caller's loop; every MQ call is followed by reportMqCall. The process-wide state is the
// one object DeliveryAgent; the state of one file is its Delivery.
#ifndef QT_DELIVERY_AGENT_DELIVERY_H
#define QT_DELIVERY_AGENT_DELIVERY_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/poison.h"
#include "common/retry_pause.h"
#include "common/reconnect.h"
#include "common/records.h"
#include "delivery_agent/target_path.h"
#include "mqi/mqi.h"
#include "platform/confine.h"
#include "platform/folder.h"
#include "platform/platform.h"

// ---- settings (read once at start-up) -------------------------------------------------
struct DeliverySettings {
  char QMgrName[48];      // at most 47 characters; also the delivery queue's ObjectQMgrName
  char QName[48];         // the delivery queue
  MQLONG WaitMQInterval;  // ms before the next connection attempt
  bool InputExclusiveON;  // open the delivery queue exclusively
  MQLONG DelayInterval;   // printed only
  MQLONG DeferInterval;   // ms each get of a move to the deferred queue waits
  char TargetRoots[platform::kRootListSize];  // folders targets must lie beneath; empty: any
};

// Everything the delivery agent keeps for the life of the process (the rule for state is the
// load agent's: shared state here, a file's own buffers and caches in that file).
struct DeliveryAgentState {
  DeliverySettings Settings;                // read once at start-up
  char QMgrName[MQ_Q_MGR_NAME_LENGTH + 1];  // asked once, kept for the process
  MQLONG QMgrCodedCharSetId = -1;           // set at every connection; -1 when not inquired
  // Set by the latest header that carried "-garbage", and kept for every later file that
  // names none; empty until then.
  char DeferredQueue[MQ_Q_NAME_LENGTH + 1];
  PoisonPolicy Poison;      // the delivery queue's, read at every connection
  BackoutPause HeaderRetry;  // the pause before a file that was backed out is tried again
};
extern DeliveryAgentState DeliveryAgent;

// One delivery in progress: the pass's connection, queue and header, where its status goes,
// and its target file.
struct Delivery {
  MQHCONN hconn;
  MQHOBJ hobj;
  const MQBYTE* msgId;  // 24 bytes: the MsgId of the file's messages
  const TGTDESC* header;
  char statusQueue[MQ_Q_NAME_LENGTH + 1];     // the header's ReplyToQ
  char statusQMgr[MQ_Q_MGR_NAME_LENGTH + 1];  // the header's ReplyToQMgr
  char createFileMode[10];                    // the header's Tgt_crtmod without trailing blanks
  char path[kTargetPathSize];  // the full target path, a version name once one is chosen
  bool pathFits;               // false when the template expanded beyond 259 characters
  platform::FileHandle file;
  size_t firstCreatedDirectory;  // prefix length of the first directory made, 0 when none
  // The file is written under partPath beside its final name and renamed to it once whole;
  // partPath is empty until the target is opened.
  char partPath[kTargetPathSize + 64];
  // The target's folder, opened beneath the TargetRoots when the target is opened: the file is
  // created, published and removed relative to it, never by its path again.
  platform::Folder folder;
  bool timeInPath;  // the template has time items: a repeat expands to another name
  platform::CreateMode mode;
  VersionPattern pattern;
  unsigned nextVersion;     // the version name to try when the chosen one is taken
  uint64_t written;         // bytes written so far
  bool published;           // the file is under its final name
  bool alreadyPublished;    // a delivery of the same messages put it there before a crash
};

// The settings file: "qdrop.ini" without an argument; a relative name is placed after the
// current directory. Writes at most size-1 characters and a NUL.
void SettingsFilePath(const char* argument, char* out, size_t size);
// Reads the keys of "MQSeries Objects" and "Options" (defaults for anything missing) and
// prints the start-up parameters.
void ReadDeliverySettings(const char* fileName);
// The leading decimal digits of a settings value (no digits: 0), capped at the largest MQLONG.
MQLONG SettingsNumber(const char* text);

// ---- connection (kept for the process) ------------------------------------------------
// The queue manager's name, asked once and kept for the life of the process; on failure the
// kept (possibly empty) name.
const char* InquireQMgrName(MQHCONN hconn);
// The queue manager's CCSID, or -1 when it cannot be inquired.
MQLONG InquireCodedCharSetId(MQHCONN hconn);
// The connection cycle: connects, opens the delivery queue, calls DeliverNextFile until it asks
// for a reconnect. Ends the process on a hard MQ error.
[[noreturn]] void RunDeliveryAgent();

// ---- the delivery loop ----------------------------------------------------------------
// One pass: gets one header or ping and carries the file to its end.
Turn DeliverNextFile(MQHCONN hconn, MQHOBJ hobj);
// The header and segments 1..MaxSeq were got and more messages of the file are there: backs
// out, removes the partial file and defers the file with a "W" status.
Turn FailSegmentCount(Delivery& delivery);
// Reads "-garbage" from the header's option text into DeferredQueue (the last one wins).
void ReadDeliveryOptions(const TGTDESC& header);

// Gets one message into buffer. A message longer than the buffer is not cut: the get leaves it
// on the queue (no MQGMO_ACCEPT_TRUNCATED_MSG), and a second get reads it whole into
// `overflow`. *data points at the bytes, *length is their count. Both gets are reported under
// label. Returns the completion code; *reason receives the reason code.
MQLONG GetWholeMessage(MQHCONN hconn, MQHOBJ hobj, MQMD& md, MQGMO& gmo, const char* label,
                       char* buffer, MQLONG size, std::vector<char>& overflow, const char** data,
                       MQLONG* length, MQLONG* reason);
constexpr MQLONG kSegmentBufferSize = 24576;

// ---- deferral and status --------------------------------------------------------------
// Moves the header and segments 1..maxSeq of the file msgId from the delivery queue to the
// deferred queue in one unit of work. kNext when moved and committed, kReconnect when a
// connection-type MQ condition interrupted the move; other MQ failures end the process.
Turn DeferFile(MQHCONN hconn, MQHOBJ hobj, const MQBYTE24 msgId, uint32_t maxSeq);
// Builds, dumps and puts a DLVR_STATUS of the delivery with the given State ("D" or "W") and
// comment to its status queue. Returns 0, or the reason code of a failed put.
MQLONG SendDeliveryStatus(const Delivery& delivery, const char* state, const char* comment,
                          bool syncpoint);
// Fills a DLVR_STATUS as SendDeliveryStatus sends it; returns the message length (the bytes
// before the record's first zero byte).
MQLONG BuildDeliveryStatus(DLVR_STATUS& record, const char* state, const char* comment,
                           const TGTDESC& header);

// ---- error lines ----------------------------------------------------------------------
// Writes " text" with a timestamp to standard error, then the same to standard output.
void WriteErrorLine(const char* text);

#endif  // QT_DELIVERY_AGENT_DELIVERY_H
