// One turn of the load agent: get a job or a ping from the job queue and act on it.
#include <cstring>
#include <iostream>
#include <optional>

#include "common/log.h"
#include "common/ping.h"
#include "common/poison.h"
#include "common/reconnect.h"
#include "common/records.h"
#include "load_agent/load_agent.h"

void splitSourcePath(const char* path, char* folder, char* mask) {
  const size_t length = std::strlen(path);
  size_t separator = 0;  // 0: none found (the first character never separates)
  for (size_t i = length; i-- > 1;) {
    if (path[i] == '\\' || path[i] == '/') {
      separator = i;
      break;
    }
  }
  if (separator == 0) {
    std::snprintf(folder, kPathSize, "%s", path);
    std::snprintf(mask, kPathSize, "%s", path);
    return;
  }
  std::snprintf(folder, kPathSize, "%.*s", static_cast<int>(separator), path);
  std::snprintf(mask, kPathSize, "%s", path + separator + 1);
}

void readReceiverQueue(const char* options, char* receiverQueue) {
  const char* position = options;
  while (*position != '\0') {
    const char* word = nextToken(options, &position);
    if (std::strcmp(word, "-rcvrqname") == 0) {
      const char* name = nextToken(options, &position);
      std::snprintf(receiverQueue, kQueueNameSize, "%s", name);
    }
  }
}

namespace {

// A get that failed: reconnect after a pause, end normally on get-inhibit, else end hard.
Turn handleFailedGet(MQHCONN hConn, MQHOBJ hObj, MQLONG reason) {
  MQLONG compCode = 0;
  MQLONG closeReason = 0;
  if (isTransientReason(MqCallKind::kConnection, reason)) {
    MQDISC(&hConn, &compCode, &closeReason);
    std::cout.flush();
    platform::sleepMilliseconds(SettingsWait(LoadAgent.LoadSettings.MQWaitTime));
    return Turn::kReconnect;
  }
  if (reason == MQRC_GET_INHIBITED) {
    std::cout << logTimestamp() << " Normal exit.\n";
    MQCLOSE(hConn, &hObj, MQCO_NONE, &compCode, &closeReason);
    reportMqCall("Close Delivery Queue", compCode, closeReason);
    MQBACK(hConn, &compCode, &closeReason);
    reportMqCall("Rollback", compCode, closeReason);
    MQDISC(&hConn, &compCode, &closeReason);
    reportMqCall("Disconnect from Queue Manager", compCode, closeReason);
    EndProcess(kExitNormal);
  }
  std::cerr << logTimestamp() << " Hard MQ error has occured. Exit.\n";
  std::cout << logTimestamp() << " Hard MQ error has occured. Exit.\n";
  MQCLOSE(hConn, &hObj, MQCO_NONE, &compCode, &closeReason);
  MQDISC(&hConn, &compCode, &closeReason);
  EndProcess();
}

void answerPing(MQHCONN hConn, const SRCINFO& received, const MQMD& md) {
  PING ping;
  initPING(ping);
  std::memcpy(&ping, &received, sizeof ping);
  dumpRecord(std::cout, ping);
  putPingReply(hConn, &ping, md.ReplyToQ);
}

// A job that was backed out before is worked again only after a pause that grows with each
// retry; at the job queue's backout threshold it is set aside instead. So a job that cannot be
// done (its reply queue or LogPath missing) neither spins nor blocks the jobs behind it.
// Nothing when the job is to be worked now.
std::optional<Turn> retryOrSetAside(MQHCONN hConn, MQHOBJ hObj, const MQMD& md) {
  if (md.BackoutCount == 0) {
    ResetRetryPause(LoadAgent.JobRetry);
    return std::nullopt;
  }
  if (!ReachedBackoutThreshold(LoadAgent.Poison, md)) {
    PauseBeforeRetry(LoadAgent.JobRetry, LoadAgent.LoadSettings.MQWaitTime);
    return std::nullopt;
  }
  MQLONG compCode = 0;
  MQLONG reason = 0;
  MQBACK(hConn, &compCode, &reason);
  reportMqCall("Rollback", compCode, reason);
  const SetAside moved =
      SetAsideGroup(hConn, hObj, LoadAgent.Poison, md.MsgId, md.CorrelId, md.BackoutCount);
  if (moved == SetAside::kMoved) return Turn::kNext;
  std::cout.flush();
  platform::sleepMilliseconds(SettingsWait(LoadAgent.LoadSettings.MQWaitTime));
  return moved == SetAside::kReconnect ? Turn::kReconnect : Turn::kNext;
}

}  // namespace

Turn ProcessJob(MQHCONN hConn, MQHOBJ hObj) {
  JobContextT& context = LoadAgent.JobContext;
  MQMD md = {MQMD_DEFAULT};
  setSegmentCorrelId(md.CorrelId, 0);
  MQGMO gmo = {MQGMO_DEFAULT};
  gmo.Options = MQGMO_WAIT + MQGMO_SYNCPOINT + MQGMO_ACCEPT_TRUNCATED_MSG +
                MQGMO_FAIL_IF_QUIESCING + MQGMO_CONVERT;
  gmo.WaitInterval = MQWI_UNLIMITED;
  context.replyToQ[0] = '\0';
  context.replyToQMgr[0] = '\0';

  SRCINFO job;
  initSRCINFO(job);
  // The log is complete up to here while the agent waits for its next job.
  std::cout.flush();
  MQLONG dataLength = 0;
  MQLONG compCode = 0;
  MQLONG reason = 0;
  MQGET(hConn, hObj, &md, &gmo, sizeof job, &job, &dataLength, &compCode, &reason);
  reportMqCall("Get Header from Delivery queue", compCode, reason);
  if (compCode == MQCC_FAILED) return handleFailedGet(hConn, hObj, reason);

  if (job.StructId.equals("KVPN")) {
    answerPing(hConn, job, md);
    return Turn::kNext;
  }

  dumpRecord(std::cout, job);
  if (auto turn = retryOrSetAside(hConn, hObj, md)) return *turn;
  job.Src_path.terminate();
  job.Options.terminate();
  context.isLog = job.Is_log.data()[0];
  context.srcId = job.Src_id.value();
  std::memcpy(context.jobMsgId, md.MsgId, sizeof context.jobMsgId);
  std::memcpy(context.replyToQ, md.ReplyToQ, sizeof context.replyToQ);
  std::memcpy(context.replyToQMgr, md.ReplyToQMgr, sizeof context.replyToQMgr);

  // Full fields carry no NUL: copy their significant text into buffers one byte longer.
  char options[sizeof job.Options + 1];
  const size_t optionsLength = job.Options.textLength();
  std::memcpy(options, job.Options.data(), optionsLength);
  options[optionsLength] = '\0';
  readReceiverQueue(options, context.receiverQueue);

  char path[sizeof job.Src_path + 1];
  const size_t pathLength = job.Src_path.textLength();
  std::memcpy(path, job.Src_path.data(), pathLength);
  path[pathLength] = '\0';
  platform::toNativeSeparators(path);  // jobs come from Windows peers too
  char folder[kPathSize];
  char mask[kPathSize];
  splitSourcePath(path, folder, mask);
  // The folder may be a root itself: the mask stands for the names beneath it.
  if (!platform::isWithinRoots(LoadAgent.LoadSettings.SourceRoots, path, false)) {
    RefuseOutsideRoots(hConn, path);
    return Turn::kReconnect;  // the disconnect commits the job away
  }
  SettleLoadedFiles(hConn);
  return ScanFolder(hConn, folder, mask);
}
