// The delivery loop: one pass gets one delivery header and carries its file to its end.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <vector>

#include "common/log.h"
#include "common/ping.h"
#include "common/reconnect.h"
#include "delivery_agent/delivery.h"
#include "delivery_agent/target_file.h"

namespace {

constexpr MQLONG kShortestHeader = 714;  // every TGTDESC field up to Options

void closeQueue(MQHCONN hconn, MQHOBJ hobj) {
  MQLONG compCode;
  MQLONG reason;
  MQCLOSE(hconn, &hobj, MQCO_NONE, &compCode, &reason);
  reportMqCall("Close Delivery Queue", compCode, reason);
}

void disconnect(MQHCONN hconn) {
  MQLONG compCode;
  MQLONG reason;
  MQDISC(&hconn, &compCode, &reason);
  reportMqCall("Disconnect from Queue Manager", compCode, reason);
}

void commit(MQHCONN hconn, const char* label) {
  MQLONG compCode;
  MQLONG reason;
  MQCMIT(hconn, &compCode, &reason);
  reportMqCall(label, compCode, reason);
}

// The header get failed: reconnect after a wait, end normally on get-inhibit, else end.
Turn headerGetFailed(MQHCONN hconn, MQHOBJ hobj, MQLONG reason) {
  if (isTransientReason(MqCallKind::kConnection, reason)) {
    platform::sleepMilliseconds(SettingsWait(DeliveryAgent.Settings.WaitMQInterval));
    return Turn::kReconnect;
  }
  if (reason == MQRC_GET_INHIBITED) {
    std::cout << logTimestamp() << " Normal exit.\n";
    closeQueue(hconn, hobj);
    MQLONG compCode;
    MQBACK(hconn, &compCode, &reason);
    reportMqCall("Rollback", compCode, reason);
    disconnect(hconn);
    EndProcess(kExitNormal);
  }
  WriteErrorLine(" Hard MQ error has occured. Exit.\n");
  closeQueue(hconn, hobj);
  disconnect(hconn);
  EndProcess();
}

// The header's file was backed out as often as the queue allows: the header and every segment
// of the file go to the backout or dead-letter queue. A move that fails is tried again after
// the settings' wait.
Turn setAside(MQHCONN hconn, MQHOBJ hobj, const MQMD& md) {
  MQLONG compCode;
  MQLONG reason;
  MQBACK(hconn, &compCode, &reason);
  reportMqCall("Rollback", compCode, reason);
  const SetAside moved =
      SetAsideGroup(hconn, hobj, DeliveryAgent.Poison, md.MsgId, nullptr, md.BackoutCount);
  if (moved == SetAside::kMoved) return Turn::kNext;
  platform::sleepMilliseconds(SettingsWait(DeliveryAgent.Settings.WaitMQInterval));
  return moved == SetAside::kReconnect ? Turn::kReconnect : Turn::kNext;
}

void answerPing(MQHCONN hconn, const TGTDESC& header, const MQMD& md) {
  PING ping;
  initPING(ping);
  std::memcpy(&ping, &header, sizeof ping);
  putPingReply(hconn, &ping, md.ReplyToQ);
  dumpRecord(std::cout, ping);
}

// A rejected header is committed away, or where the delivery queue has a backout or
// dead-letter queue, goes there with the segments of its file.
void rejectHeader(MQHCONN hconn, MQHOBJ hobj, const MQMD& md, MQLONG feedback,
                  const char* commitLabel) {
  if (DeliveryAgent.Poison.Destination[0] == '\0') {
    commit(hconn, commitLabel);
    return;
  }
  MQLONG compCode;
  MQLONG reason;
  MQBACK(hconn, &compCode, &reason);
  reportMqCall("Rollback", compCode, reason);
  if (SetAsideRejectedGroup(hconn, hobj, DeliveryAgent.Poison, md.MsgId, feedback,
                            "Rejected header") != SetAside::kMoved) {
    platform::sleepMilliseconds(SettingsWait(DeliveryAgent.Settings.WaitMQInterval));
  }
}

// The code page and length checks; false when the header was rejected.
bool headerUsable(MQHCONN hconn, MQHOBJ hobj, const MQMD& md, MQLONG length) {
  char text[160];
  if (md.CodedCharSetId != DeliveryAgent.QMgrCodedCharSetId) {
    std::snprintf(text, sizeof text,
                  " Invalid message CodedCharSetId = %ld for TGRDESC. Probably, configuration "
                  "error. Ignore message.\n",
                  static_cast<long>(md.CodedCharSetId));
    WriteErrorLine(text);
    rejectHeader(hconn, hobj, md, MQRC_NOT_CONVERTED, "Delete ugly message.");
    return false;
  }
  if (length < kShortestHeader) {
    std::snprintf(text, sizeof text,
                  " Invalid message length = %ld for TGTDESC (Message too short). Ignore "
                  "message.\n",
                  static_cast<long>(length));
    WriteErrorLine(text);
    rejectHeader(hconn, hobj, md, MQRC_FORMAT_ERROR, "Delete ugly message");
    return false;
  }
  return true;
}

void copyName(char* out, const MQCHAR48 name) {
  std::memcpy(out, name, MQ_Q_NAME_LENGTH);
  out[MQ_Q_NAME_LENGTH] = '\0';
}

// Target path and creation mode from the header; the path is logged.
void buildTargetPath(Delivery& delivery) {
  const TGTDESC& header = *delivery.header;
  char pathTemplate[sizeof header.Tgt_path.bytes + 1];
  size_t length = header.Tgt_path.textLength();
  std::memcpy(pathTemplate, header.Tgt_path.data(), length);
  pathTemplate[length] = '\0';
  delivery.pathFits = ExpandTargetPath(pathTemplate, delivery.path, header);
  delivery.timeInPath = TemplateUsesTime(pathTemplate, header);
  SetCreateFileMode(delivery);
  std::cout << logTimestamp() << " Path of file to be processed: '" << delivery.path << "'\n";
}

// Version pattern, directories, creation mode and open. Nothing when the file is open, else
// the pass's result from a failure path.
std::optional<Turn> openTarget(Delivery& delivery) {
  VersionPattern pattern;
  MakeVersionPattern(delivery.path, pattern);
  std::cout << " NewVersFile = " << pattern.text << std::endl;
  if (!delivery.pathFits) {
    platform::setLastError(ENAMETOOLONG);
    return FailOpen(delivery);
  }
  if (!TargetWithinRoots(delivery)) return FailOpen(delivery);
  if (!CreateTargetDirectories(delivery)) return FailDirectory(delivery);
  platform::CreateMode mode;
  if (!SelectCreateMode(delivery.createFileMode, &mode)) RejectCreateFileMode(delivery);
  if (!OpenTargetFile(delivery, mode, pattern)) return FailOpen(delivery);
  return std::nullopt;
}

// Gets segments 1..MaxSeq and writes them; nothing when all are written and flushed to disk.
std::optional<Turn> writeSegments(Delivery& delivery, MQMD& md) {
  char buffer[kSegmentBufferSize];
  std::vector<char> overflow;
  uint32_t maxSeq = delivery.header->MaxSeq.value();
  for (uint64_t segment = 1; segment <= maxSeq; ++segment) {
    setSegmentCorrelId(md.CorrelId, static_cast<uint32_t>(segment));
    MQGMO gmo = {MQGMO_DEFAULT};
    gmo.Options = MQGMO_SYNCPOINT | MQGMO_ACCEPT_TRUNCATED_MSG | MQGMO_FAIL_IF_QUIESCING;
    const char* data;
    MQLONG length;
    MQLONG reason;
    if (GetWholeMessage(delivery.hconn, delivery.hobj, md, gmo, "Delivery file (Get segment)",
                        buffer, sizeof buffer, overflow, &data, &length,
                        &reason) == MQCC_FAILED) {
      return FailSegment(delivery, static_cast<uint32_t>(segment), reason);
    }
    if (delivery.alreadyPublished) continue;  // the segments are only taken off the queue
    if (!platform::writeFile(delivery.file, data, static_cast<size_t>(length))) {
      return FailWrite(delivery);
    }
    delivery.written += static_cast<uint64_t>(length);
  }
  // A header that claims fewer segments than its file has would give a short file.
  if (GroupHasMoreMessages(delivery.hconn, delivery.hobj, delivery.msgId)) {
    return FailSegmentCount(delivery);
  }
  // The commit below removes the file's messages for good: the file must be on disk first.
  if (!FlushTargetFile(delivery)) return FailWrite(delivery);
  return std::nullopt;
}

// Closes the file, sends the "D" status and commits the whole delivery.
Turn finishDelivery(Delivery& delivery) {
  if (delivery.file != platform::kInvalidFile && !platform::closeFile(delivery.file)) {
    std::cerr << SystemErrorText;
    std::cout << SystemErrorText;
  }
  delivery.file = platform::kInvalidFile;
  char comment[kTargetPathSize + 64];
  std::snprintf(comment, sizeof comment, "File '%s' has been delivered successfully.\n",
                delivery.path);
  SendDeliveryStatus(delivery, "D", comment, true);
  MQLONG compCode;
  MQLONG reason;
  MQCMIT(delivery.hconn, &compCode, &reason);
  reportMqCall("File delivered", compCode, reason);
  if (compCode == MQCC_FAILED || reason == MQRC_BACKED_OUT) {
    // The messages go back to the queue and the file is delivered again; the file written
    // stays, since a commit that reports a failure may still have happened.
    if (compCode == MQCC_FAILED) {
      MQBACK(delivery.hconn, &compCode, &reason);
      reportMqCall("Rollback", compCode, reason);
    }
    char text[kTargetPathSize + 64];
    std::snprintf(text, sizeof text, " File '%s' has not been delivered: commit failed.\n",
                  delivery.path);
    WriteErrorLine(text);
    return Turn::kNext;
  }
  std::cout << logTimestamp() << " File '" << delivery.path
            << "' has been delivered successfuly.\n";
  return Turn::kNext;
}

}  // namespace

void ReadDeliveryOptions(const TGTDESC& header) {
  constexpr size_t kCopied = 255;
  constexpr size_t kLongest = 254;
  char options[kCopied + 1];
  std::memcpy(options, header.Options.data(), kCopied);
  size_t length = strnlen(options, kCopied);
  while (length > 0 && options[length - 1] == ' ') --length;
  if (length > kLongest) length = kLongest;
  options[length] = '\0';

  const char* position = options;
  while (*position != '\0') {
    if (std::strcmp(nextToken(options, &position), "-garbage") != 0) continue;
    std::snprintf(DeliveryAgent.DeferredQueue, sizeof DeliveryAgent.DeferredQueue, "%.*s",
                  MQ_Q_NAME_LENGTH, nextToken(options, &position));
  }
}

Turn DeliverNextFile(MQHCONN hconn, MQHOBJ hobj) {
  MQMD md = {MQMD_DEFAULT};
  setSegmentCorrelId(md.CorrelId, 0);
  MQGMO gmo = {MQGMO_DEFAULT};
  gmo.Options = MQGMO_WAIT | MQGMO_SYNCPOINT | MQGMO_ACCEPT_TRUNCATED_MSG |
                MQGMO_FAIL_IF_QUIESCING | MQGMO_CONVERT;
  gmo.WaitInterval = MQWI_UNLIMITED;
  TGTDESC header;
  initTGTDESC(header);

  // The log is complete whenever the agent waits.
  std::cout.flush();
  MQLONG length = 0;
  MQLONG compCode;
  MQLONG reason;
  MQGET(hconn, hobj, &md, &gmo, sizeof header, &header, &length, &compCode, &reason);
  if (reportMqCall("Get Header from Load queue", compCode, reason) == MQCC_FAILED) {
    return headerGetFailed(hconn, hobj, reason);
  }
  if (header.StructId.equals("KVPN")) {
    answerPing(hconn, header, md);
    return Turn::kNext;
  }
  dumpRecord(std::cout, header);
  if (md.BackoutCount == 0) {
    ResetRetryPause(DeliveryAgent.HeaderRetry);
  } else if (ReachedBackoutThreshold(DeliveryAgent.Poison, md)) {
    return setAside(hconn, hobj, md);
  } else {  // a file that failed before is tried again only after a growing pause
    PauseBeforeRetry(DeliveryAgent.HeaderRetry,
                     DeliveryAgent.Settings.WaitMQInterval);
  }
  if (!headerUsable(hconn, hobj, md, length)) return Turn::kNext;

  Delivery delivery{};
  delivery.hconn = hconn;
  delivery.hobj = hobj;
  delivery.msgId = md.MsgId;
  delivery.header = &header;
  copyName(delivery.statusQMgr, md.ReplyToQMgr);
  copyName(delivery.statusQueue, md.ReplyToQ);
  delivery.file = platform::kInvalidFile;
  buildTargetPath(delivery);
  ReadDeliveryOptions(header);

  if (auto end = openTarget(delivery)) return *end;
  if (auto end = writeSegments(delivery, md)) return *end;
  return finishDelivery(delivery);
}
