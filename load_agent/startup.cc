// The load agent's entry: banner, settings, and the outer connect / open / job loop.
#include <iostream>

#include "common/log.h"
#include "common/reconnect.h"
#include "common/retry_pause.h"
#include "load_agent/load_agent.h"

LoadAgentState LoadAgent;

namespace {

// Opens the job queue, exclusively unless InputExclusiveON says otherwise.
MQLONG openJobQueue(MQHCONN hConn, MQHOBJ* hObj, MQLONG* reason) {
  const LoadSettingsT& settings = LoadAgent.LoadSettings;
  MQOD od = {MQOD_DEFAULT};
  copyObjectName(od.ObjectName, settings.SrcQueue);
  copyObjectName(od.ObjectQMgrName, settings.QMgrName);
  const MQLONG openOptions = settings.InputExclusiveON
                                 ? MQOO_INPUT_EXCLUSIVE + MQOO_FAIL_IF_QUIESCING
                                 : MQOO_INPUT_SHARED + MQOO_FAIL_IF_QUIESCING;
  MQLONG compCode = 0;
  *hObj = -1;
  MQOPEN(hConn, &od, openOptions, hObj, &compCode, reason);
  return reportMqCall("Open job Queue", compCode, *reason);
}

}  // namespace

int RunLoadAgent(int argc, char** argv) {
  initLogStreams();
  platform::keepFreedMemory();
  std::cout << "\n" << logTimestamp() << " TX-KV load agent for files has started.\n" << std::flush;
  ReadSettings(argc > 1 ? argv[1] : "qfeed.ini");
  const LoadSettingsT& settings = LoadAgent.LoadSettings;

  RetryPause pause;
  for (;;) {
    const int32_t waitMs = NextPause(pause, settings.MQWaitTime);
    MQHCONN hConn = -1;
    if (!connectOrWait(settings.QMgrName, &hConn, waitMs)) continue;
    std::cout << logTimestamp() << " Connect to Queue Manager successful.\n";

    MQHOBJ hObj = -1;
    MQLONG openReason = 0;
    if (openJobQueue(hConn, &hObj, &openReason) == MQCC_FAILED) {
      disconnectAfterFailedOpen(&hConn, openReason, waitMs);
      continue;
    }
    InquirePoisonPolicy(hConn, settings.SrcQueue, &LoadAgent.Poison);
    RestartPause(pause);
    while (ProcessJob(hConn, hObj) == Turn::kNext) {
    }
    closeAndDisconnect(&hConn, &hObj);
  }
}
