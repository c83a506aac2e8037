// The records qmctl builds and reads for the transfer agents: the SRCINFO job, the PING, and
// the LOAD_STATUS and DLVR_STATUS records of a reply queue.
#ifndef QT_TOOLS_QMCTL_TRANSFER_RECORDS_H
#define QT_TOOLS_QMCTL_TRANSFER_RECORDS_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "common/records.h"
#include "mqi/admin.h"

namespace qmctl {

struct JobRequest {
  std::string path;      // folder and file mask, e.g. /data/in/*.xml
  std::string receiver;  // the receiver queue, carried as "-rcvrqname RECEIVER"
  char isLog = 'Y';
  uint32_t srcId = 0;
};

// The job record: initSRCINFO, then Src_id, Src_path, Is_log and Options. A path longer than
// the field (254) is refused rather than cut.
mqi::Status buildJob(const JobRequest& request, SRCINFO& record);

// A ping that only its sender's echo can match: NodId and SendTms carry the sender's process
// and the time of sending to the microsecond.
void buildPing(PING& record, uint32_t nodeId, const std::string& sendTime);
// "YYYY-MM-DD HH:MM:SS.uuuuuu", 26 characters, local time.
std::string pingTimestamp();

// A status record as read from a reply queue.
struct StatusRecord {
  std::string type;  // "LOAD_STATUS" or "DLVR_STATUS"
  std::string state;
  std::string srcId, tgtId, dpId;  // decimal without leading zeros, or the raw text when bad
  std::string comment;             // one line: line breaks become blanks, trailing ones cut
  std::string msgId;               // hex of the message's MsgId
};

// Reads a message as a status record by its StructId (KVLS, KVDS); nullopt for anything else.
// A short message (the agents cut the record after the comment) leaves the rest blank.
std::optional<StatusRecord> parseStatus(const char* data, size_t length, const MQBYTE24 msgId);

// "LOAD_STATUS X src_id=12 msgid=HEX File 'a.xml' was loaded successfully."
// "DLVR_STATUS D src_id=12 tgt_id=7 dp_id=3 msgid=HEX File '/t/a.xml' has been ..."
std::string statusLine(const StatusRecord& record);
// {"type", "state", "src_id", "tgt_id" and "dp_id" (DLVR_STATUS only), "msgid", "comment"};
// the ids are numbers when their digits are valid, else strings.
nlohmann::json statusJson(const StatusRecord& record);

}  // namespace qmctl

#endif  // QT_TOOLS_QMCTL_TRANSFER_RECORDS_H
