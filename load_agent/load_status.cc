// The load status record sent to a job's reply queue.
#include <cstring>
#include <iostream>

#include "common/ping.h"
#include "common/records.h"
#include "load_agent/load_agent.h"

MQLONG SendLoadStatus(MQHCONN hConn, const char* state, const char* comment, const MQBYTE* msgId,
                      bool inSyncpoint) {
  const JobContextT& context = LoadAgent.JobContext;
  LOAD_STATUS status;
  initLOAD_STATUS(status);
  status.StructId.assign("KVLS");
  status.Version.assign(1);
  status.Src_id.assign(context.srcId);
  status.Reserved1.assign(" ");
  status.State.assign(state);
  status.Reserved2.assign(" ");
  status.Comments.assign(comment);
  status.Comments.terminate();
  dumpRecord(std::cout, status);
  // The message is the record up to the NUL after the comment (all of it when the comment
  // fills its field).
  const MQLONG length =
      static_cast<MQLONG>(strnlen(reinterpret_cast<const char*>(&status), sizeof status));
  return putStatusRecord(hConn, context.replyToQ, context.replyToQMgr, msgId, inSyncpoint, &status,
                         length);
}
