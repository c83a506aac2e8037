// The snapshot of the dashboard: queue managers, queues, loads in flight, status records and
// held groups, read with browse only. Also the move of a held group back onto the road.
#include <algorithm>
#include <cstring>
#include <deque>
#include <filesystem>

#include "common/records.h"
#include "tools/qmctl/dashboard.h"
#include "tools/qmctl/session.h"
#include "tools/qmctl/text.h"
#include "tools/qmctl/transfer_records.h"
#include "tools/qmctl/views.h"

namespace qmctl {
namespace {

// A queue is browsed this far at most on every refresh; status records keep the latest ones.
constexpr int kBrowseLimit = 1000;
constexpr size_t kLatestRecords = 200;

// "YYYY-MM-DD HH:MM:SS" (UTC) from the put date and time of a descriptor.
std::string putTime(const MQMD& md) {
  const std::string date(md.PutDate, sizeof md.PutDate);
  const std::string time(md.PutTime, sizeof md.PutTime);
  return date.substr(0, 4) + "-" + date.substr(4, 2) + "-" + date.substr(6, 2) + " " +
         time.substr(0, 2) + ":" + time.substr(2, 2) + ":" + time.substr(4, 2);
}

const char* deadReason(MQLONG feedback) {
  switch (feedback - 65536) {
    case 1:
      return "not a data header";
    case 2:
      return "no route takes the file";
    case 3:
      return "a segment is missing";
    case 4:
      return "a segment is too long for qdrop";
    case 5:
      return "the delivery queue refused the group";
    default:
      return "unknown reason";
  }
}

// Browses `queue` from the first message, calling `each` for every message (at most
// kBrowseLimit). With `headersOnly`, only segment 0 of each group is read.
template <typename Each>
mqi::Status browse(Session& session, const std::string& queue, bool headersOnly, Each each) {
  OpenQueue opened(session, queue);
  if (mqi::Status s = opened.open(MQOO_BROWSE | MQOO_FAIL_IF_QUIESCING); !s.ok()) return s;
  Message message;
  for (int n = 0; n < kBrowseLimit; ++n) {
    message.md = MQMD{MQMD_DEFAULT};
    if (headersOnly) setSegmentCorrelId(message.md.CorrelId, 0);
    MQGMO gmo = {MQGMO_DEFAULT};
    gmo.Options =
        (n == 0 ? MQGMO_BROWSE_FIRST : MQGMO_BROWSE_NEXT) | MQGMO_FAIL_IF_QUIESCING | MQGMO_NO_WAIT;
    const mqi::Status s = getMessage(session, opened, gmo, message);
    if (s.reason() == MQRC_NO_MSG_AVAILABLE) break;
    if (!s.ok()) return s;
    each(message);
  }
  return mqi::Status::Ok();
}

nlohmann::json statusRecords(Session& session, const std::string& queue) {
  std::deque<nlohmann::json> latest;
  const mqi::Status s = browse(session, queue, false, [&](const Message& m) {
    const auto record = parseStatus(m.data.data(), m.data.size(), m.md.MsgId);
    if (!record) return;
    nlohmann::json json = statusJson(*record);
    json["queue"] = queue;
    json["time"] = putTime(m.md);
    latest.push_back(std::move(json));
    if (latest.size() > kLatestRecords) latest.pop_front();
  });
  if (!s.ok()) return {{"queue", queue}, {"error", s.message()}};
  return nlohmann::json(std::vector<nlohmann::json>(latest.begin(), latest.end()));
}

nlohmann::json heldGroup(const Message& m, const std::string& queue, bool dead) {
  SRCDESC header;
  initSRCDESC(header);
  std::memcpy(&header, m.data.data(), std::min(m.data.size(), sizeof header));
  nlohmann::json json = {{"queue", queue},
                         {"kind", dead ? "dead-letter" : "deferred"},
                         {"msgid", toHex(m.md.MsgId, sizeof m.md.MsgId)},
                         {"time", putTime(m.md)},
                         {"source", fieldText(header.Src_path.data(), sizeof header.Src_path)},
                         {"segments", header.MaxSeq.isValid() ? header.MaxSeq.value() : 0},
                         {"src_id", header.Src_id.isValid() ? header.Src_id.value() : 0}};
  if (!dead && m.data.size() >= sizeof(TGTDESC)) {
    TGTDESC target;
    std::memcpy(&target, m.data.data(), sizeof target);
    json["target"] = fieldText(target.Tgt_path.data(), sizeof target.Tgt_path);
  }
  json["reason"] = dead ? deadReason(m.md.Feedback) : "qdrop could not write the target file";
  return json;
}

void addHeldGroups(Session& session, const std::string& queue, bool dead, nlohmann::json& out,
                   nlohmann::json& errors) {
  const mqi::Status s = browse(session, queue, true,
                               [&](const Message& m) { out.push_back(heldGroup(m, queue, dead)); });
  if (!s.ok()) errors.push_back(s.message());
}

bool hasQueue(const nlohmann::json& queues, const std::string& name) {
  return std::any_of(queues.begin(), queues.end(),
                     [&](const nlohmann::json& q) { return q["name"] == name; });
}

// The part read through an MQ connection: status records and held groups.
void addMessages(const DashboardConfig& config, nlohmann::json& qm) {
  Session session(qm["name"].get<std::string>());
  nlohmann::json transfers = nlohmann::json::array();
  nlohmann::json held = nlohmann::json::array();
  nlohmann::json errors = nlohmann::json::array();
  if (mqi::Status s = session.connect(); !s.ok()) {
    errors.push_back(s.message());
  } else {
    for (const std::string& queue : config.replyQueues) {
      if (!hasQueue(qm["queues"], queue)) continue;
      nlohmann::json records = statusRecords(session, queue);
      if (records.is_object()) {
        errors.push_back(records["error"]);
      } else {
        for (auto& r : records) transfers.push_back(std::move(r));
      }
    }
    for (const std::string& queue : config.deferredQueues) {
      if (hasQueue(qm["queues"], queue)) addHeldGroups(session, queue, false, held, errors);
    }
    for (const std::string& queue : config.deadQueues) {
      if (hasQueue(qm["queues"], queue)) addHeldGroups(session, queue, true, held, errors);
    }
  }
  qm["transfers"] = std::move(transfers);
  qm["held"] = std::move(held);
  if (!errors.empty()) qm["error"] = errors[0];
}

nlohmann::json queueManagerSnapshot(const DashboardConfig& config,
                                    const mqi::QueueManagerInfo& info) {
  nlohmann::json qm = queueManagerJson(info);
  nlohmann::json queues = nlohmann::json::array();
  nlohmann::json inFlight = nlohmann::json::array();
  const auto list = mqi::listQueues(info.name);
  if (!list.ok()) {
    qm["queues"] = queues;
    qm["in_flight"] = inFlight;
    qm["transfers"] = nlohmann::json::array();
    qm["held"] = nlohmann::json::array();
    qm["error"] = list.status.message();
    return qm;
  }
  for (const mqi::QueueInfo& q : list.value) {
    nlohmann::json json = queueJson(q);
    json["uncommitted"] = q.uncommittedCount;
    queues.push_back(std::move(json));
    if (q.uncommittedCount > 0) {
      inFlight.push_back({{"queue", q.name},
                          {"segments", q.uncommittedCount},
                          {"bytes", int64_t{q.uncommittedCount} * kLoadSegmentBytes}});
    }
  }
  qm["queues"] = std::move(queues);
  qm["in_flight"] = std::move(inFlight);
  if (info.running) {
    addMessages(config, qm);
  } else {
    qm["transfers"] = nlohmann::json::array();
    qm["held"] = nlohmann::json::array();
    qm["error"] = "queue manager " + info.name + " is " + stateText(info);
  }
  return qm;
}

// A queue manager the page cannot read: its name and why, and nothing in it.
nlohmann::json unreadableSnapshot(const std::string& name, const std::string& why) {
  return {{"name", name},
          {"state", "unknown"},
          {"queues", nlohmann::json::array()},
          {"in_flight", nlohmann::json::array()},
          {"transfers", nlohmann::json::array()},
          {"held", nlohmann::json::array()},
          {"error", why}};
}

nlohmann::json storeJson() {
  const std::string location = mqi::storeLocation();
  nlohmann::json store = {{"location", mqi::withoutPassword(location)}};
  if (location.rfind("postgres", 0) == 0) return store;
  std::error_code error;
  const std::filesystem::space_info space = std::filesystem::space(location, error);
  if (!error) {
    store["capacity_bytes"] = space.capacity;
    store["free_bytes"] = space.available;
  }
  return store;
}

}  // namespace

nlohmann::json buildSnapshot(const DashboardConfig& config) {
  nlohmann::json snapshot = {
      {"store", storeJson()}, {"actions", config.allowActions}, {"qmgrs", nlohmann::json::array()}};
  std::vector<mqi::QueueManagerInfo> infos;
  if (config.qmgrs.empty()) {
    auto list = mqi::listQueueManagers();
    if (!list.ok()) {
      snapshot["error"] = list.status.message();
      return snapshot;
    }
    infos = std::move(list.value);
  }
  for (const std::string& name : config.qmgrs) {
    auto info = mqi::describeQueueManager(name);
    if (info.ok()) {
      infos.push_back(std::move(info.value));
    } else {
      snapshot["qmgrs"].push_back(unreadableSnapshot(name, info.status.message()));
    }
  }
  for (const mqi::QueueManagerInfo& info : infos) {
    if (!info.problem.empty()) {
      snapshot["qmgrs"].push_back(unreadableSnapshot(info.name, info.problem));
      continue;
    }
    snapshot["qmgrs"].push_back(queueManagerSnapshot(config, info));
  }
  return snapshot;
}

mqi::Result<int64_t> moveGroup(const std::string& qmgr, const std::string& from,
                               const std::string& to, const MQBYTE24 msgId) {
  Session session(qmgr);
  if (mqi::Status s = session.connect(); !s.ok()) return s;
  OpenQueue source(session, from);
  if (mqi::Status s = source.open(MQOO_INPUT_AS_Q_DEF | MQOO_FAIL_IF_QUIESCING); !s.ok()) {
    return s;
  }
  int64_t moved = 0;
  Message message;
  for (;;) {
    message.md = MQMD{MQMD_DEFAULT};
    std::memcpy(message.md.MsgId, msgId, sizeof message.md.MsgId);
    MQGMO gmo = {MQGMO_DEFAULT};
    gmo.Options = MQGMO_SYNCPOINT | MQGMO_NO_WAIT | MQGMO_FAIL_IF_QUIESCING;
    const mqi::Status got = getMessage(session, source, gmo, message);
    if (got.reason() == MQRC_NO_MSG_AVAILABLE) break;
    if (!got.ok()) {
      session.backOut();
      return got;
    }
    MQOD od = {MQOD_DEFAULT};
    setField(od.ObjectName, sizeof od.ObjectName, to);
    MQPMO pmo = {MQPMO_DEFAULT};
    pmo.Options = MQPMO_SYNCPOINT | MQPMO_SET_ALL_CONTEXT | MQPMO_FAIL_IF_QUIESCING;
    MQLONG cc = 0;
    MQLONG rc = 0;
    MQPUT1(session.handle(), &od, &message.md, &pmo, static_cast<MQLONG>(message.data.size()),
           message.data.data(), &cc, &rc);
    if (cc == MQCC_FAILED) {
      session.backOut();
      return session.failure("MQPUT1", to, rc);
    }
    ++moved;
  }
  if (moved == 0) return mqi::Status::Error("no group " + toHex(msgId, 24) + " on queue " + from);
  if (mqi::Status s = session.commit(); !s.ok()) return s;
  return moved;
}

}  // namespace qmctl
