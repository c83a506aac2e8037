// How qmctl shows a message: its descriptor and a hex-and-text dump as readable text, or one
// JSON object.
#ifndef QT_TOOLS_QMCTL_MESSAGE_VIEW_H
#define QT_TOOLS_QMCTL_MESSAGE_VIEW_H

#include <cstddef>
#include <iosfwd>
#include <string>

#include <nlohmann/json.hpp>

#include "mqi/mqi.h"
#include "tools/qmctl/session.h"

namespace qmctl {

// "segment N" when the CorrelId is a segment correlation identifier, else "".
std::string segmentNote(const MQBYTE24 correlId);

// The descriptor, one field a line, then the first `maxBytes` bytes of data as a dump
// (0: all of it).
void writeMessageText(std::ostream& out, const Message& message, size_t maxBytes);

// {"msgid": hex, "correlid": hex, "segment": n|null, "format", "ccsid", "encoding",
//  "priority", "persistence", "msg_type", "expiry", "report", "feedback", "backout_count",
//  "reply_to_q", "reply_to_qmgr", "user_identifier", "put_appl_type", "put_appl_name",
//  "put_date", "put_time", "length", "data_hex", "data_text", "data_truncated"}
nlohmann::json messageJson(const Message& message, size_t maxBytes);

}  // namespace qmctl

#endif  // QT_TOOLS_QMCTL_MESSAGE_VIEW_H
