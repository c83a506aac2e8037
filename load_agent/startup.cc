// The load agent's entry: banner, settings, and the outer connect / open / job loop.
#include <cstring>
#include <iostream>

#include "common/log.h"
#include "load_agent/load_agent.h"

bool isTransientConnectReason(MQLONG reason) {
  switch (reason) {
    case 2009:
    case 2059:
    case 2102:
    case 2161:
    case 2162:
    case 2202:
    case 2203:
      return true;
    default:
      return false;
  }
}

namespace {

bool isTransientOpenReason(MQLONG reason) {
  return reason == 2017 || isTransientConnectReason(reason);
}

void announceWait(const char* tail) {
  std::cerr << logTimestamp() << " MQ error has occured. Waiting " << LoadSettings.MQWaitTime
            << tail;
  std::cout << logTimestamp() << " MQ error has occured. Waiting " << LoadSettings.MQWaitTime
            << tail;
}

[[noreturn]] void hardErrorExit() {
  std::cerr << logTimestamp() << " Hard MQ error has occured. Exit.\n";
  std::cout << logTimestamp() << " Hard MQ error has occured. Exit.\n";
  EndProcess();
}

void sleepWaitTime() {
  std::cout.flush();
  platform::sleepMilliseconds(static_cast<uint32_t>(LoadSettings.MQWaitTime));
}

}  // namespace

void EndProcess() {
  std::cout.flush();
  std::cerr.flush();
  std::exit(0);
}

int RunLoadAgent(int argc, char** argv) {
  initLogStreams();
  std::cout << "\n" << logTimestamp() << " TX-KV load agent for files has started.\n" << std::flush;
  ReadSettings(argc > 1 ? argv[1] : "qfeed.ini");

  for (;;) {
    MQLONG compCode = 0;
    MQLONG reason = 0;
    MQHCONN hConn = -1;
    MQCONN(LoadSettings.QMgrName, &hConn, &compCode, &reason);
    reportMqCall("Connect to Queue Manager", compCode, reason);
    if (compCode == MQCC_FAILED) {
      if (!isTransientConnectReason(reason)) hardErrorExit();
      announceWait(" ms for next attempt.\n");
      sleepWaitTime();
      continue;
    }
    std::cout << logTimestamp() << " Connect to Queue Manager successful.\n";

    MQOD od = {MQOD_DEFAULT};
    copyObjectName(od.ObjectName, LoadSettings.SrcQueue);
    copyObjectName(od.ObjectQMgrName, LoadSettings.QMgrName);
    const MQLONG openOptions = LoadSettings.InputExclusiveON
                                   ? MQOO_INPUT_EXCLUSIVE + MQOO_FAIL_IF_QUIESCING
                                   : MQOO_INPUT_SHARED + MQOO_FAIL_IF_QUIESCING;
    MQHOBJ hObj = -1;
    MQOPEN(hConn, &od, openOptions, &hObj, &compCode, &reason);
    reportMqCall("Open job Queue", compCode, reason);
    if (compCode == MQCC_FAILED) {
      const MQLONG openReason = reason;
      MQDISC(&hConn, &compCode, &reason);
      reportMqCall("Disconnect from Queue Manager", compCode, reason);
      if (!isTransientOpenReason(openReason)) hardErrorExit();
      announceWait(" ms for next attempt to proceed folder.\n");
      sleepWaitTime();
      continue;
    }

    while (ProcessJob(hConn, hObj) == 1) {
    }

    MQCLOSE(hConn, &hObj, MQCO_NONE, &compCode, &reason);
    reportMqCall("Close Delivery queue ", compCode, reason);
    MQDISC(&hConn, &compCode, &reason);
    reportMqCall("Disconnect from Queue Manager ", compCode, reason);
  }
}
