#include "tools/qmctl/message_view.h"

#include <algorithm>
#include <ostream>

#include "common/records.h"
#include "tools/qmctl/text.h"

namespace qmctl {
namespace {

size_t shownBytes(const Message& message, size_t maxBytes) {
  return maxBytes == 0 ? message.data.size() : std::min(maxBytes, message.data.size());
}

const char* persistenceName(MQLONG persistence) {
  switch (persistence) {
    case MQPER_PERSISTENT: return "persistent";
    case MQPER_NOT_PERSISTENT: return "not persistent";
    default: return "as queue";
  }
}

const char* msgTypeName(MQLONG type) {
  switch (type) {
    case MQMT_DATAGRAM: return "datagram";
    case MQMT_REQUEST: return "request";
    case MQMT_REPLY: return "reply";
    case MQMT_REPORT: return "report";
    default: return "application";
  }
}

void line(std::ostream& out, const char* label, const std::string& value) {
  out << "  " << label;
  for (size_t i = std::char_traits<char>::length(label); i < 16; ++i) out << ' ';
  out << value << '\n';
}

std::string quoted(const char* field, size_t width) { return "'" + fieldText(field, width) + "'"; }

}  // namespace

std::string segmentNote(const MQBYTE24 correlId) {
  uint32_t segment = 0;
  if (!parseSegmentCorrelId(correlId, &segment)) return "";
  return "segment " + std::to_string(segment);
}

void writeMessageText(std::ostream& out, const Message& message, size_t maxBytes) {
  const MQMD& md = message.md;
  const std::string segment = segmentNote(md.CorrelId);
  line(out, "MsgId", toHex(md.MsgId, sizeof md.MsgId));
  line(out, "CorrelId",
       toHex(md.CorrelId, sizeof md.CorrelId) + (segment.empty() ? "" : " (" + segment + ")"));
  line(out, "Format", quoted(md.Format, sizeof md.Format));
  line(out, "CodedCharSetId", std::to_string(md.CodedCharSetId));
  line(out, "Encoding", std::to_string(md.Encoding));
  line(out, "Priority", std::to_string(md.Priority));
  line(out, "Persistence",
       std::to_string(md.Persistence) + " (" + persistenceName(md.Persistence) + ")");
  line(out, "MsgType", std::to_string(md.MsgType) + " (" + msgTypeName(md.MsgType) + ")");
  line(out, "Expiry", std::to_string(md.Expiry));
  line(out, "Report", std::to_string(md.Report));
  line(out, "Feedback", std::to_string(md.Feedback));
  line(out, "BackoutCount", std::to_string(md.BackoutCount));
  line(out, "ReplyToQ", quoted(md.ReplyToQ, sizeof md.ReplyToQ));
  line(out, "ReplyToQMgr", quoted(md.ReplyToQMgr, sizeof md.ReplyToQMgr));
  line(out, "UserIdentifier", quoted(md.UserIdentifier, sizeof md.UserIdentifier));
  line(out, "PutApplType", std::to_string(md.PutApplType));
  line(out, "PutApplName", quoted(md.PutApplName, sizeof md.PutApplName));
  line(out, "PutDate", fieldText(md.PutDate, sizeof md.PutDate));
  line(out, "PutTime", fieldText(md.PutTime, sizeof md.PutTime));
  line(out, "Length", std::to_string(message.data.size()));
  if (message.reason != MQRC_NONE) line(out, "Warning", describeReason(message.reason));
  writeDump(out, message.data.data(), shownBytes(message, maxBytes), message.data.size());
}

nlohmann::json messageJson(const Message& message, size_t maxBytes) {
  const MQMD& md = message.md;
  uint32_t segment = 0;
  const bool isSegment = parseSegmentCorrelId(md.CorrelId, &segment);
  const size_t shown = shownBytes(message, maxBytes);
  const std::string_view data(message.data.data(), shown);
  nlohmann::json json = {
      {"msgid", toHex(md.MsgId, sizeof md.MsgId)},
      {"correlid", toHex(md.CorrelId, sizeof md.CorrelId)},
      {"segment", isSegment ? nlohmann::json(segment) : nlohmann::json(nullptr)},
      {"format", fieldText(md.Format, sizeof md.Format)},
      {"ccsid", md.CodedCharSetId},
      {"encoding", md.Encoding},
      {"priority", md.Priority},
      {"persistence", md.Persistence},
      {"msg_type", md.MsgType},
      {"expiry", md.Expiry},
      {"report", md.Report},
      {"feedback", md.Feedback},
      {"backout_count", md.BackoutCount},
      {"reply_to_q", fieldText(md.ReplyToQ, sizeof md.ReplyToQ)},
      {"reply_to_qmgr", fieldText(md.ReplyToQMgr, sizeof md.ReplyToQMgr)},
      {"user_identifier", fieldText(md.UserIdentifier, sizeof md.UserIdentifier)},
      {"put_appl_type", md.PutApplType},
      {"put_appl_name", fieldText(md.PutApplName, sizeof md.PutApplName)},
      {"put_date", fieldText(md.PutDate, sizeof md.PutDate)},
      {"put_time", fieldText(md.PutTime, sizeof md.PutTime)},
      {"length", message.data.size()},
      {"data_hex", toHex(data.data(), data.size())},
      {"data_text", printable(data)},
      {"data_truncated", shown < message.data.size()},
  };
  if (message.reason != MQRC_NONE) json["warning"] = message.reason;
  return json;
}

}  // namespace qmctl
