// Message commands: put, browse, get.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>

#include "common/records.h"
#include "tools/qmctl/commands.h"
#include "tools/qmctl/message_view.h"
#include "tools/qmctl/session.h"
#include "tools/qmctl/text.h"

namespace qmctl {
namespace {

// Which messages a browse or get selects: version-1 matching on MsgId and CorrelId.
struct MatchOptions {
  std::string msgId;
  std::string correlId;
  int64_t segment = -1;

  void applyTo(MQMD& md) const {
    if (!msgId.empty()) parseIdentifier(msgId, md.MsgId);
    if (!correlId.empty()) parseIdentifier(correlId, md.CorrelId);
    if (segment >= 0) setSegmentCorrelId(md.CorrelId, static_cast<uint32_t>(segment));
  }
};

struct PutOptions {
  std::string qmgr, queue;
  std::string file, data;
  CLI::Option* dataOption = nullptr;
  MatchOptions ids;
  std::string format;
  int32_t ccsid = MQCCSI_Q_MGR;
  std::string replyToQ, replyToQMgr;
  int32_t priority = MQPRI_PRIORITY_AS_Q_DEF;
  bool persistent = false, notPersistent = false, syncpoint = false, json = false;
};

struct ReadOptions {
  std::string qmgr, queue;
  MatchOptions ids;
  int64_t count = 1;
  int32_t waitMs = 0;
  int64_t maxBytes = 1024;
  bool raw = false, json = false;
};

mqi::Status readBody(const PutOptions& o, std::string& body) {
  if (o.dataOption->count() > 0) {
    body = o.data;
    return mqi::Status::Ok();
  }
  if (o.file.empty() || o.file == "-") {
    body.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    return mqi::Status::Ok();
  }
  std::error_code ec;
  if (std::filesystem::is_directory(o.file, ec))
    return mqi::Status::Error("cannot read '" + o.file + "': it is a folder, not a file");
  std::ifstream in(o.file, std::ios::binary);
  if (!in) return mqi::Status::Error("cannot open '" + o.file + "' for reading");
  body.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) return mqi::Status::Error("cannot read '" + o.file + "'");
  return mqi::Status::Ok();
}

void fillPutDescriptor(const PutOptions& o, MQMD& md) {
  o.ids.applyTo(md);
  if (!o.format.empty()) setField(md.Format, sizeof md.Format, o.format);
  // A format is blank-padded like every output field; NULs would read the same on input.
  for (char& c : md.Format) c = c == '\0' ? ' ' : c;
  md.CodedCharSetId = o.ccsid;
  md.Priority = o.priority;
  if (o.persistent) md.Persistence = MQPER_PERSISTENT;
  if (o.notPersistent) md.Persistence = MQPER_NOT_PERSISTENT;
  setField(md.ReplyToQ, sizeof md.ReplyToQ, o.replyToQ);
  setField(md.ReplyToQMgr, sizeof md.ReplyToQMgr, o.replyToQMgr);
}

int runPut(const PutOptions& o) {
  std::string body;
  if (mqi::Status s = readBody(o, body); !s.ok()) return fail(s);
  Session session(o.qmgr);
  if (mqi::Status s = session.connect(); !s.ok()) return fail(s);

  MQOD od = {MQOD_DEFAULT};
  setField(od.ObjectName, sizeof od.ObjectName, o.queue);
  MQMD md = {MQMD_DEFAULT};
  fillPutDescriptor(o, md);
  MQPMO pmo = {MQPMO_DEFAULT};
  pmo.Options = (o.syncpoint ? MQPMO_SYNCPOINT : MQPMO_NO_SYNCPOINT) | MQPMO_FAIL_IF_QUIESCING;
  MQLONG cc = 0;
  MQLONG rc = 0;
  MQPUT1(session.handle(), &od, &md, &pmo, static_cast<MQLONG>(body.size()), body.data(), &cc,
         &rc);
  if (cc == MQCC_FAILED) return fail(session.failure("MQPUT1", o.queue, rc));
  if (o.syncpoint) {
    if (mqi::Status s = session.commit(); !s.ok()) return fail(s);
  }
  const std::string msgId = toHex(md.MsgId, sizeof md.MsgId);
  if (o.json) {
    std::cout << nlohmann::json{{"queue", o.queue}, {"qmgr", o.qmgr}, {"msgid", msgId},
                                {"length", body.size()}}
                     .dump()
              << '\n';
  } else {
    std::cout << "put " << body.size() << " bytes to queue " << o.queue << ", MsgId " << msgId
              << '\n';
  }
  return kExitOk;
}

void showMessage(const ReadOptions& o, const Message& message, int64_t number) {
  const size_t maxBytes = static_cast<size_t>(o.maxBytes);
  if (o.raw) {
    std::cout.write(message.data.data(), static_cast<std::streamsize>(message.data.size()));
  } else if (o.json) {
    nlohmann::json json = messageJson(message, maxBytes);
    json["queue"] = o.queue;
    std::cout << json.dump() << '\n';
  } else {
    std::cout << "message " << number << " of queue " << o.queue << ":\n";
    writeMessageText(std::cout, message, maxBytes);
  }
  std::cout.flush();
}

// Browses (browse) or gets (not browse) up to o.count messages (0: all) and shows them.
int runRead(const ReadOptions& o, bool browse) {
  Session session(o.qmgr);
  if (mqi::Status s = session.connect(); !s.ok()) return fail(s);
  OpenQueue queue(session, o.queue);
  const MQLONG openOptions = (browse ? MQOO_BROWSE : MQOO_INPUT_AS_Q_DEF) | MQOO_FAIL_IF_QUIESCING;
  if (mqi::Status s = queue.open(openOptions); !s.ok()) return fail(s);

  int64_t shown = 0;
  Message message;
  while (o.count == 0 || shown < o.count) {
    message.md = MQMD{MQMD_DEFAULT};
    o.ids.applyTo(message.md);
    MQGMO gmo = {MQGMO_DEFAULT};
    gmo.Options = MQGMO_FAIL_IF_QUIESCING |
                  (browse ? (shown == 0 ? MQGMO_BROWSE_FIRST : MQGMO_BROWSE_NEXT)
                          : MQGMO_NO_SYNCPOINT);
    if (o.waitMs != 0) {
      gmo.Options |= MQGMO_WAIT;
      gmo.WaitInterval = o.waitMs;
    }
    const mqi::Status s = getMessage(session, queue, gmo, message);
    if (s.reason() == MQRC_NO_MSG_AVAILABLE) break;
    if (!s.ok()) return fail(s);
    showMessage(o, message, ++shown);
  }
  if (shown == 0) {
    return report("no message on queue '" + o.queue + "' of '" + o.qmgr + "'", kExitNothing);
  }
  return kExitOk;
}

void addMatchOptions(CLI::App* cmd, MatchOptions& ids) {
  cmd->add_option("--msgid", ids.msgId, "select by MsgId (hex, up to 48 digits)")
      ->check(identifierCheck());
  CLI::Option* correl =
      cmd->add_option("--correlid", ids.correlId, "select by CorrelId (hex, up to 48 digits)")
          ->check(identifierCheck());
  cmd->add_option("--segment", ids.segment,
                  "select by the CorrelId of segment N (0 = header) of a file")
      ->check(CLI::Range(int64_t{0}, int64_t{4294967295}))
      ->excludes(correl);
}

void addQueueArguments(CLI::App* cmd, std::string& qmgr, std::string& queue) {
  cmd->add_option("QM", qmgr, "queue manager name")->required()->check(nameCheck("queue manager"));
  cmd->add_option("Q", queue, "queue name")->required()->check(nameCheck("queue"));
}

void addPut(CLI::App& app, int& exitCode) {
  auto o = std::make_shared<PutOptions>();
  CLI::App* cmd = app.add_subcommand(
      "put", "Put one message, read from a file, --data or standard input");
  addQueueArguments(cmd, o->qmgr, o->queue);
  CLI::Option* file =
      cmd->add_option("--file", o->file, "read the message from this file ('-': standard input)");
  o->dataOption = cmd->add_option("--data", o->data, "the message text itself")->excludes(file);
  cmd->add_option("--msgid", o->ids.msgId, "MsgId as hex (default: the queue manager makes one)")
      ->check(identifierCheck());
  CLI::Option* correl = cmd->add_option("--correlid", o->ids.correlId, "CorrelId as hex")
                            ->check(identifierCheck());
  cmd->add_option("--segment", o->ids.segment, "CorrelId of segment N of a file (0 = header)")
      ->check(CLI::Range(int64_t{0}, int64_t{4294967295}))
      ->excludes(correl);
  cmd->add_option("--format", o->format, "Format, up to 8 characters (e.g. MQSTR)")
      ->check(CLI::Validator(
          [](std::string& v) { return v.size() <= 8 ? "" : std::string("longer than 8"); },
          "TEXT"));
  cmd->add_option("--ccsid", o->ccsid, "CodedCharSetId (default: the queue manager's)")
      ->check(CLI::Range(0, 65535));
  cmd->add_option("--reply-to-q", o->replyToQ, "ReplyToQ")->check(nameCheck("queue"));
  cmd->add_option("--reply-to-qmgr", o->replyToQMgr, "ReplyToQMgr")
      ->check(nameCheck("queue manager"));
  cmd->add_option("--priority", o->priority, "Priority 0-9 (default: the queue's)")
      ->check(CLI::Range(0, 9));
  CLI::Option* persistent = cmd->add_flag("--persistent", o->persistent, "persistent message");
  cmd->add_flag("--not-persistent", o->notPersistent, "message not persistent")
      ->excludes(persistent);
  cmd->add_flag("--syncpoint", o->syncpoint, "put under syncpoint, then commit");
  cmd->add_flag("--json", o->json, "print the result as JSON");
  cmd->callback([o, &exitCode] { exitCode = runPut(*o); });
}

void addReadOptions(CLI::App* cmd, ReadOptions& o, bool browse) {
  addQueueArguments(cmd, o.qmgr, o.queue);
  o.count = browse ? 0 : 1;
  cmd->add_option("--count", o.count,
                  browse ? "browse at most N messages (default 0: all)"
                         : "get at most N messages (default 1; 0: until the queue is empty)")
      ->check(CLI::Range(int64_t{0}, int64_t{1} << 40));
  addMatchOptions(cmd, o.ids);
  cmd->add_option("--max-bytes", o.maxBytes,
                  "show at most N bytes of each message (default 1024; 0: all)")
      ->check(CLI::Range(int64_t{0}, int64_t{1} << 40));
  CLI::Option* raw = cmd->add_flag("--raw", o.raw, "write only the message data, as it is");
  cmd->add_flag("--json", o.json, "one JSON object per message, one per line")->excludes(raw);
}

void addBrowseGet(CLI::App& app, int& exitCode) {
  auto b = std::make_shared<ReadOptions>();
  CLI::App* browse =
      app.add_subcommand("browse", "Show messages without removing them: descriptor and dump");
  addReadOptions(browse, *b, true);
  browse->callback([b, &exitCode] { exitCode = runRead(*b, true); });

  auto g = std::make_shared<ReadOptions>();
  CLI::App* get = app.add_subcommand("get", "Remove messages and show them: descriptor and dump");
  addReadOptions(get, *g, false);
  get->add_option("--wait", g->waitMs, "wait up to MS milliseconds for each message (-1: ever)")
      ->check(CLI::Range(-1, 2147483647));
  get->callback([g, &exitCode] { exitCode = runRead(*g, false); });
}

}  // namespace

void addMessageCommands(CLI::App& app, int& exitCode) {
  addPut(app, exitCode);
  addBrowseGet(app, exitCode);
}

}  // namespace qmctl
