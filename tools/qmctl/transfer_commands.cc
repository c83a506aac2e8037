// Commands of the road of a file: job (send an SRCINFO job to qfeed), ping (an agent's echo
// and its round-trip time), status (the LOAD_STATUS and DLVR_STATUS records of a reply queue).
#include <chrono>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <memory>
#include <random>

#include <nlohmann/json.hpp>

#include "common/records.h"
#include "tools/qmctl/commands.h"
#include "tools/qmctl/session.h"
#include "tools/qmctl/text.h"
#include "tools/qmctl/transfer_records.h"

namespace qmctl {
namespace {

using Clock = std::chrono::steady_clock;

struct JobOptions {
  std::string qmgr, queue;
  JobRequest request;
  std::string isLog = "Y";
  std::string replyToQ, replyToQMgr;
  bool json = false;
};

struct PingOptions {
  std::string qmgr, queue;
  std::string replyToQ;
  int32_t timeoutMs = 5000;
  bool json = false;
};

struct StatusOptions {
  std::string qmgr, queue;
  int32_t waitMs = 0;
  int64_t count = 0;
  bool follow = false, browse = false, json = false;
};

// The descriptor of a header message for an agent's input queue: a text record with the
// CorrelId of segment 0, on which the agents' header gets select.
MQMD headerDescriptor(const std::string& replyToQ, const std::string& replyToQMgr) {
  MQMD md = {MQMD_DEFAULT};
  std::memcpy(md.Format, MQFMT_STRING, sizeof md.Format);
  setSegmentCorrelId(md.CorrelId, 0);
  setField(md.ReplyToQ, sizeof md.ReplyToQ, replyToQ);
  setField(md.ReplyToQMgr, sizeof md.ReplyToQMgr, replyToQMgr);
  return md;
}

// MQPUT1 outside syncpoint, so that the message is visible at once.
mqi::Status putOne(Session& session, const std::string& queue, MQMD& md, const void* data,
                   size_t length) {
  MQOD od = {MQOD_DEFAULT};
  setField(od.ObjectName, sizeof od.ObjectName, queue);
  MQPMO pmo = {MQPMO_DEFAULT};
  pmo.Options = MQPMO_NO_SYNCPOINT | MQPMO_FAIL_IF_QUIESCING;
  MQLONG cc = 0;
  MQLONG rc = 0;
  MQPUT1(session.handle(), &od, &md, &pmo, static_cast<MQLONG>(length),
         const_cast<void*>(data), &cc, &rc);
  if (cc == MQCC_FAILED) return session.failure("MQPUT1", queue, rc);
  return mqi::Status::Ok();
}

// Removes the message under the browse cursor of `queue`.
mqi::Status takeBrowsed(Session& session, OpenQueue& queue) {
  Message taken;
  MQGMO gmo = {MQGMO_DEFAULT};
  gmo.Options = MQGMO_MSG_UNDER_CURSOR | MQGMO_NO_SYNCPOINT | MQGMO_ACCEPT_TRUNCATED_MSG;
  taken.data.resize(1);
  MQLONG dataLength = 0;
  MQLONG cc = 0;
  MQLONG rc = 0;
  MQGET(session.handle(), queue.handle(), &taken.md, &gmo, 1, taken.data.data(), &dataLength,
        &cc, &rc);
  if (cc == MQCC_FAILED) return session.failure("MQGET", queue.name(), rc);
  return mqi::Status::Ok();
}

int runJob(const JobOptions& o) {
  JobRequest request = o.request;
  request.isLog = o.isLog[0];
  SRCINFO record;
  if (mqi::Status s = buildJob(request, record); !s.ok()) return report(s.message(), kExitUsage);
  Session session(o.qmgr);
  if (mqi::Status s = session.connect(); !s.ok()) return fail(s);
  MQMD md = headerDescriptor(o.replyToQ, o.replyToQMgr);
  if (mqi::Status s = putOne(session, o.queue, md, &record, sizeof record); !s.ok()) {
    return fail(s);
  }
  const std::string msgId = toHex(md.MsgId, sizeof md.MsgId);
  if (o.json) {
    std::cout << nlohmann::json{{"queue", o.queue},
                                {"qmgr", o.qmgr},
                                {"msgid", msgId},
                                {"path", request.path},
                                {"receiver", request.receiver},
                                {"src_id", request.srcId},
                                {"is_log", o.isLog},
                                {"reply_to_q", o.replyToQ},
                                {"reply_to_qmgr", o.replyToQMgr}}
                     .dump()
              << '\n';
  } else {
    std::cout << "job put to queue " << o.queue << ", MsgId " << msgId << '\n';
  }
  return kExitOk;
}

uint32_t randomNodeId() {
  std::random_device device;
  return device() % 1000000000u;
}

int reportPing(const PingOptions& o, bool echoed, double milliseconds) {
  if (o.json) {
    nlohmann::json json = {{"queue", o.queue}, {"qmgr", o.qmgr}, {"echo", echoed}};
    json["rtt_ms"] = echoed ? nlohmann::json(milliseconds) : nlohmann::json(nullptr);
    std::cout << json.dump() << '\n';
  }
  if (!echoed) {
    return report("no echo from queue '" + o.queue + "' of '" + o.qmgr + "' within " +
                      std::to_string(o.timeoutMs) + " ms",
                  kExitNothing);
  }
  if (!o.json) {
    std::cout << "echo from queue " << o.queue << " in " << std::fixed << std::setprecision(3)
              << milliseconds << " ms\n";
  }
  return kExitOk;
}

// Browses the reply queue for the echo of `sent` until the deadline; true when found (and
// removed).
mqi::Result<bool> awaitEcho(Session& session, OpenQueue& replies, const PING& sent,
                            Clock::time_point deadline) {
  Message message;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    message.md = MQMD{MQMD_DEFAULT};
    setSegmentCorrelId(message.md.CorrelId, 0);
    MQGMO gmo = {MQGMO_DEFAULT};
    gmo.Options = MQGMO_BROWSE_NEXT | MQGMO_WAIT | MQGMO_FAIL_IF_QUIESCING;
    gmo.WaitInterval = static_cast<MQLONG>(std::max<int64_t>(left, 0));
    const mqi::Status s = getMessage(session, replies, gmo, message);
    if (s.reason() == MQRC_NO_MSG_AVAILABLE) return false;
    if (!s.ok()) return s;
    if (message.data.size() == sizeof sent &&
        std::memcmp(message.data.data(), &sent, sizeof sent) == 0) {
      if (mqi::Status taken = takeBrowsed(session, replies); !taken.ok()) return taken;
      return true;
    }
  }
}

int runPing(const PingOptions& o) {
  Session session(o.qmgr);
  if (mqi::Status s = session.connect(); !s.ok()) return fail(s);
  // The reply queue is opened first so that a wrong name fails before anything is sent.
  OpenQueue replies(session, o.replyToQ);
  if (mqi::Status s = replies.open(MQOO_BROWSE | MQOO_INPUT_AS_Q_DEF | MQOO_FAIL_IF_QUIESCING);
      !s.ok()) {
    return fail(s);
  }
  PING ping;
  buildPing(ping, randomNodeId(), pingTimestamp());
  MQMD md = headerDescriptor(o.replyToQ, "");
  md.Persistence = MQPER_NOT_PERSISTENT;
  // A ping nobody answered in time expires instead of being echoed long after.
  md.Expiry = (o.timeoutMs + 99) / 100;
  const Clock::time_point start = Clock::now();
  if (mqi::Status s = putOne(session, o.queue, md, &ping, sizeof ping); !s.ok()) return fail(s);
  const auto found =
      awaitEcho(session, replies, ping, start + std::chrono::milliseconds(o.timeoutMs));
  const double elapsed =
      std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  if (!found.ok()) return fail(found.status);
  return reportPing(o, found.value, elapsed);
}

void printStatus(const StatusOptions& o, const StatusRecord& record) {
  if (o.json) {
    std::cout << statusJson(record).dump() << '\n';
  } else {
    std::cout << statusLine(record) << '\n';
  }
  std::cout.flush();
}

int runStatus(const StatusOptions& o) {
  Session session(o.qmgr);
  if (mqi::Status s = session.connect(); !s.ok()) return fail(s);
  OpenQueue replies(session, o.queue);
  const MQLONG openOptions =
      MQOO_BROWSE | MQOO_FAIL_IF_QUIESCING | (o.browse ? 0 : MQOO_INPUT_AS_Q_DEF);
  if (mqi::Status s = replies.open(openOptions); !s.ok()) return fail(s);
  int64_t printed = 0;
  // After a record is taken the cursor rests on a message that is gone; browsing starts from
  // the first message again rather than from the place of a removed one.
  bool fromFirst = true;
  Message message;
  while (o.count == 0 || printed < o.count) {
    message.md = MQMD{MQMD_DEFAULT};
    MQGMO gmo = {MQGMO_DEFAULT};
    gmo.Options = (fromFirst ? MQGMO_BROWSE_FIRST : MQGMO_BROWSE_NEXT) | MQGMO_FAIL_IF_QUIESCING;
    const MQLONG wait = o.follow ? MQWI_UNLIMITED : o.waitMs;
    if (wait != 0) {
      gmo.Options |= MQGMO_WAIT;
      gmo.WaitInterval = wait;
    }
    const mqi::Status s = getMessage(session, replies, gmo, message);
    if (s.reason() == MQRC_NO_MSG_AVAILABLE) break;
    // Inhibiting get on the reply queue is the way to end a --follow.
    if (s.reason() == MQRC_GET_INHIBITED && o.follow) return kExitOk;
    if (!s.ok()) return fail(s);
    fromFirst = false;
    const auto record = parseStatus(message.data.data(), message.data.size(), message.md.MsgId);
    if (!record) continue;  // not a status record: left where it is
    if (!o.browse) {
      if (mqi::Status taken = takeBrowsed(session, replies); !taken.ok()) return fail(taken);
      fromFirst = true;
    }
    printStatus(o, *record);
    ++printed;
  }
  if (printed == 0 || (o.count > 0 && printed < o.count)) {
    return report("read " + std::to_string(printed) + " status records from queue '" + o.queue +
                      "'" + (o.count > 0 ? ", " + std::to_string(o.count) + " asked" : ""),
                  kExitNothing);
  }
  return kExitOk;
}

void addQueueArguments(CLI::App* cmd, std::string& qmgr, std::string& queue, const char* what) {
  cmd->add_option("QM", qmgr, "queue manager name")->required()->check(nameCheck("queue manager"));
  cmd->add_option("Q", queue, what)->required()->check(nameCheck("queue"));
}

void addJob(CLI::App& app, int& exitCode) {
  auto o = std::make_shared<JobOptions>();
  CLI::App* cmd = app.add_subcommand(
      "job", "Put an SRCINFO job on qfeed's job queue: load the files of FOLDER/MASK");
  addQueueArguments(cmd, o->qmgr, o->queue, "the job queue of qfeed");
  cmd->add_option("--path", o->request.path, "folder and file mask, e.g. /data/in/*.xml")
      ->required();
  cmd->add_option("--receiver", o->request.receiver, "queue that receives the loaded files")
      ->required()
      ->check(nameCheck("queue"));
  cmd->add_option("--reply-to-q", o->replyToQ, "queue for the LOAD_STATUS records")
      ->required()
      ->check(nameCheck("queue"));
  cmd->add_option("--reply-to-qmgr", o->replyToQMgr, "queue manager of the reply queue")
      ->check(nameCheck("queue manager"));
  cmd->add_option("--is-log", o->isLog,
                  "Y: a LOAD_STATUS for every file loaded too, N: for failures only (default Y)")
      ->check(CLI::IsMember({"Y", "N"}));
  cmd->add_option("--src-id", o->request.srcId, "job identifier, 0-999999999 (default 0)")
      ->check(CLI::Range(0u, 999999999u));
  cmd->add_flag("--json", o->json, "print the result as JSON");
  cmd->callback([o, &exitCode] { exitCode = runJob(*o); });
}

void addPing(CLI::App& app, int& exitCode) {
  auto o = std::make_shared<PingOptions>();
  CLI::App* cmd = app.add_subcommand(
      "ping", "Send a PING to an agent's input queue and wait for its echo");
  addQueueArguments(cmd, o->qmgr, o->queue, "the agent's input queue");
  cmd->add_option("--reply-to-q", o->replyToQ, "queue on which the echo comes back")
      ->required()
      ->check(nameCheck("queue"));
  cmd->add_option("--timeout", o->timeoutMs, "wait up to MS milliseconds (default 5000)")
      ->check(CLI::Range(1, 86400000));
  cmd->add_flag("--json", o->json, "print the result as JSON");
  cmd->callback([o, &exitCode] { exitCode = runPing(*o); });
}

void addStatus(CLI::App& app, int& exitCode) {
  auto o = std::make_shared<StatusOptions>();
  CLI::App* cmd = app.add_subcommand(
      "status", "Read LOAD_STATUS and DLVR_STATUS records from a reply queue");
  addQueueArguments(cmd, o->qmgr, o->queue, "the reply queue");
  CLI::Option* wait =
      cmd->add_option("--wait", o->waitMs, "wait up to MS milliseconds for each next record")
          ->check(CLI::Range(0, 2147483647));
  cmd->add_option("--count", o->count, "stop after N records (default 0: all there are)")
      ->check(CLI::Range(int64_t{0}, int64_t{1} << 40));
  cmd->add_flag("--follow", o->follow,
                "keep reading as records arrive, until get is inhibited on the queue")
      ->excludes(wait);
  cmd->add_flag("--browse", o->browse, "leave the records on the queue");
  cmd->add_flag("--json", o->json, "one JSON object per record, one per line");
  cmd->callback([o, &exitCode] { exitCode = runStatus(*o); });
}

}  // namespace

void addTransferCommands(CLI::App& app, int& exitCode) {
  addJob(app, exitCode);
  addPing(app, exitCode);
  addStatus(app, exitCode);
}

}  // namespace qmctl
