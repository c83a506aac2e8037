// Load marks: a file whose load was committed but that is still in its folder (the agent
// stopped between the commit and the delete) must be deleted, never loaded again. With
// LoadedQueue set, each load puts a mark naming the file and its identity in the load's own
// unit of work, so a mark exists exactly when the load was committed. Every job first takes the
// marks off that queue, in the job's unit of work, and deletes each marked file that is still
// there unchanged.
#include <cstring>
#include <iostream>

#include "common/log.h"
#include "common/records.h"
#include "load_agent/load_agent.h"
#include "platform/identity.h"

namespace {

struct LoadedMark {
  char structId[4];
  platform::FileVersion identity;
  char path[kPathSize];
};
constexpr char kMarkStructId[4] = {'K', 'V', 'L', 'M'};

bool marksKept() { return LoadAgent.LoadSettings.LoadedQueue[0] != '\0'; }

void deleteIfUnchanged(const LoadedMark& mark) {
  char folder[kPathSize];
  char name[kPathSize];
  splitSourcePath(mark.path, folder, name);
  platform::Folder source;
  platform::FileVersion now;
  if (!source.open(LoadAgent.LoadSettings.SourceRoots, folder) ||
      !platform::versionOf(source, name, &now) || !(now == mark.identity)) {
    return;
  }
  std::cout << logTimestamp() << " Delete file : " << mark.path << std::endl;
  // Gone already: the agent that loaded it, or another one sharing the queue, deleted it.
  if (!platform::deleteFileIn(source, name) && !platform::isNotFound(platform::lastError())) {
    std::cerr << SystemErrorText;
    std::cout << SystemErrorText;
  }
}

// Gets the next mark under syncpoint; false when there is none (or the get failed).
bool getMark(MQHCONN hConn, MQHOBJ hObj, LoadedMark* mark) {
  MQMD md = {MQMD_DEFAULT};
  MQGMO gmo = {MQGMO_DEFAULT};
  gmo.Options = MQGMO_NO_WAIT + MQGMO_SYNCPOINT + MQGMO_FAIL_IF_QUIESCING;
  MQLONG length = 0;
  MQLONG compCode = 0;
  MQLONG reason = 0;
  std::memset(mark, 0, sizeof *mark);
  MQGET(hConn, hObj, &md, &gmo, sizeof *mark, mark, &length, &compCode, &reason);
  // The end of the marks is the normal way out of the loop, not a failure worth a report.
  if (reason == MQRC_NO_MSG_AVAILABLE) return false;
  reportMqCall("Get load mark", compCode, reason);
  return compCode != MQCC_FAILED;
}

}  // namespace

MQLONG PutLoadedMark(MQHCONN hConn, const char* fileName, platform::FileHandle file) {
  if (!marksKept()) return 0;
  LoadedMark mark{};
  std::memcpy(mark.structId, kMarkStructId, sizeof mark.structId);
  std::snprintf(mark.path, sizeof mark.path, "%s", fileName);
  if (!platform::identityOfFile(file, &mark.identity)) return MQRC_UNEXPECTED_ERROR;
  MQOD od = {MQOD_DEFAULT};
  copyObjectName(od.ObjectName, LoadAgent.LoadSettings.LoadedQueue);
  MQMD md = {MQMD_DEFAULT};
  md.Persistence = MQPER_PERSISTENT;
  MQPMO pmo = {MQPMO_DEFAULT};
  pmo.Options = MQPMO_SYNCPOINT + MQPMO_FAIL_IF_QUIESCING;
  MQLONG compCode = 0;
  MQLONG reason = 0;
  MQPUT1(hConn, &od, &md, &pmo, sizeof mark, &mark, &compCode, &reason);
  reportMqCall("Put load mark", compCode, reason);
  return compCode == MQCC_FAILED ? reason : 0;
}

void SettleLoadedFiles(MQHCONN hConn) {
  if (!marksKept()) return;
  MQOD od = {MQOD_DEFAULT};
  copyObjectName(od.ObjectName, LoadAgent.LoadSettings.LoadedQueue);
  MQHOBJ hObj = -1;
  MQLONG compCode = 0;
  MQLONG reason = 0;
  MQOPEN(hConn, &od, MQOO_INPUT_SHARED + MQOO_FAIL_IF_QUIESCING, &hObj, &compCode, &reason);
  if (reportMqCall("Open load mark queue", compCode, reason) == MQCC_FAILED) return;
  LoadedMark mark;
  while (getMark(hConn, hObj, &mark)) {
    if (std::memcmp(mark.structId, kMarkStructId, sizeof kMarkStructId) == 0) {
      mark.path[kPathSize - 1] = '\0';
      deleteIfUnchanged(mark);
    }
  }
  MQCLOSE(hConn, &hObj, MQCO_NONE, &compCode, &reason);
  reportMqCall("Close load mark queue", compCode, reason);
}
