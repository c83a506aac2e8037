#include "tools/qmctl/transfer_records.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "tools/qmctl/text.h"

namespace qmctl {
namespace {

std::string numberText(const NumField& field) {
  if (field.isValid()) return std::to_string(field.value());
  return fieldText(field.bytes, sizeof field.bytes);
}

template <size_t N>
std::string charText(const CharField<N>& field) {
  return std::string(field.data(), field.textLength());
}

// A comment as one line: CR and LF become blanks, trailing blanks go.
std::string oneLine(std::string text) {
  for (char& c : text) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

nlohmann::json idJson(const std::string& text) {
  if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) {
    return std::stoul(text);
  }
  return text;
}

template <typename Record>
Record readRecord(const char* data, size_t length, void (*init)(Record&)) {
  Record record;
  init(record);
  std::memcpy(&record, data, std::min(length, sizeof record));
  return record;
}

}  // namespace

mqi::Status buildJob(const JobRequest& request, SRCINFO& record) {
  initSRCINFO(record);
  if (request.path.empty()) return mqi::Status::Error("the job's path is empty");
  if (request.path.size() > sizeof record.Src_path) {
    return mqi::Status::Error("the job's path is longer than " +
                              std::to_string(sizeof record.Src_path) + " characters");
  }
  const std::string options = "-rcvrqname " + request.receiver;
  record.Src_id.assign(request.srcId);
  record.Src_path.assign(request.path.c_str());
  const char isLog[2] = {request.isLog, '\0'};
  record.Is_log.assign(isLog);
  record.Options.assign(options.c_str());
  return mqi::Status::Ok();
}

void buildPing(PING& record, uint32_t nodeId, const std::string& sendTime) {
  initPING(record);
  record.NodId.assign(nodeId);
  record.SendTms.assign(sendTime.c_str());
}

std::string pingTimestamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto micros =
      std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count() %
      1000000;
  // One thread: the shared result of localtime is safe here.
  const std::tm* local = std::localtime(&seconds);
  char text[40];
  const size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", local);
  std::snprintf(text + n, sizeof text - n, ".%06lld", static_cast<long long>(micros));
  return text;
}

std::optional<StatusRecord> parseStatus(const char* data, size_t length, const MQBYTE24 msgId) {
  if (length < 4) return std::nullopt;
  StatusRecord status;
  status.msgId = toHex(msgId, MQ_MSG_ID_LENGTH);
  if (std::memcmp(data, "KVLS", 4) == 0) {
    const LOAD_STATUS record = readRecord<LOAD_STATUS>(data, length, initLOAD_STATUS);
    status.type = "LOAD_STATUS";
    status.state = charText(record.State);
    status.srcId = numberText(record.Src_id);
    status.comment = oneLine(charText(record.Comments));
    return status;
  }
  if (std::memcmp(data, "KVDS", 4) == 0) {
    const DLVR_STATUS record = readRecord<DLVR_STATUS>(data, length, initDLVR_STATUS);
    status.type = "DLVR_STATUS";
    status.state = charText(record.State);
    status.srcId = numberText(record.Src_id);
    status.tgtId = numberText(record.Tgt_id);
    status.dpId = numberText(record.Dp_id);
    status.comment = oneLine(charText(record.Comments));
    return status;
  }
  return std::nullopt;
}

std::string statusLine(const StatusRecord& r) {
  std::string line = r.type + " " + (r.state.empty() ? "-" : r.state) + " src_id=" + r.srcId;
  if (r.type == "DLVR_STATUS") line += " tgt_id=" + r.tgtId + " dp_id=" + r.dpId;
  line += " msgid=" + r.msgId;
  if (!r.comment.empty()) line += " " + r.comment;
  return line;
}

nlohmann::json statusJson(const StatusRecord& r) {
  nlohmann::json json = {{"type", r.type}, {"state", r.state}, {"src_id", idJson(r.srcId)}};
  if (r.type == "DLVR_STATUS") {
    json["tgt_id"] = idJson(r.tgtId);
    json["dp_id"] = idJson(r.dpId);
  }
  json["msgid"] = r.msgId;
  json["comment"] = r.comment;
  return json;
}

}  // namespace qmctl
