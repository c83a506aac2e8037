// Queue manager commands: create, start, stop, delete, list, show, compact, set.
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>

#include "tools/qmctl/commands.h"
#include "tools/qmctl/text.h"
#include "tools/qmctl/views.h"

namespace qmctl {

std::string stateText(const mqi::QueueManagerInfo& info) {
  if (!info.problem.empty()) return "unreadable";
  if (info.quiescing) return "quiescing";
  return info.running ? "running" : "stopped";
}

nlohmann::json queueManagerJson(const mqi::QueueManagerInfo& info) {
  nlohmann::json object = {{"name", info.name},
                           {"state", stateText(info)},
                           {"running", info.running},
                           {"quiescing", info.quiescing},
                           {"default", info.isDefault},
                           {"ccsid", info.codedCharSetId},
                           {"max_uncommitted", info.maxUncommittedMsgs},
                           {"max_msg_length", info.maxMsgLength},
                           {"connections", info.connections},
                           {"dead_letter_queue", info.deadLetterQName},
                           {"default_backout_threshold", info.defaultBackoutThreshold},
                           {"problem", info.problem}};
  if (info.sessionLeaseSeconds > 0) object["session_lease_seconds"] = info.sessionLeaseSeconds;
  return object;
}

// What `qmctl create` gives a new queue manager unless told otherwise.
constexpr const char* kDefaultDeadLetterQueue = "SYSTEM.DEAD.LETTER.QUEUE";
constexpr int32_t kDefaultBackoutThreshold = 5;

namespace {

struct CreateOptions {
  std::string qmgr;
  mqi::QueueManagerOptions options;
  bool start = false;
  bool noDeadLetterQueue = false;
};

struct SetOptions {
  std::string qmgr;
  int32_t maxUncommitted = 0;
  CLI::Option* maxUncommittedOption = nullptr;
  bool makeDefault = false;
  std::string deadLetterQueue;
  CLI::Option* deadLetterQueueOption = nullptr;
  bool noDeadLetterQueue = false;
  int32_t defaultBackoutThreshold = 0;
  CLI::Option* defaultBackoutThresholdOption = nullptr;
  int32_t sessionLease = 0;
  CLI::Option* sessionLeaseOption = nullptr;

  mqi::QueueManagerChanges changes() const {
    mqi::QueueManagerChanges c;
    if (deadLetterQueueOption->count() > 0) c.deadLetterQName = deadLetterQueue;
    if (noDeadLetterQueue) c.deadLetterQName = "";
    if (defaultBackoutThresholdOption->count() > 0)
      c.defaultBackoutThreshold = defaultBackoutThreshold;
    if (sessionLeaseOption->count() > 0) c.sessionLeaseSeconds = sessionLease;
    return c;
  }
};

int runStart(const std::string& qmgr) {
  return finish(mqi::startQueueManager(qmgr), "queue manager " + qmgr + " started");
}

int runCreate(CreateOptions o) {
  if (o.noDeadLetterQueue) o.options.deadLetterQName.clear();
  if (mqi::Status s = mqi::createQueueManager(o.qmgr, o.options); !s.ok()) return fail(s);
  std::cout << "queue manager " << o.qmgr << " created in "
            << mqi::withoutPassword(mqi::storeLocation()) << '\n';
  if (!o.start) return kExitOk;
  return runStart(o.qmgr);
}

int runStop(const std::string& qmgr, bool quiesce) {
  return finish(mqi::stopQueueManager(qmgr, quiesce), "queue manager " + qmgr + " stopped");
}

int runDelete(const std::string& qmgr) {
  return finish(mqi::deleteQueueManager(qmgr), "queue manager " + qmgr + " deleted");
}

// Names each queue manager that could not be read on standard error; the exit code says whether
// the whole list is sound.
int reportUnreadable(const std::vector<mqi::QueueManagerInfo>& list) {
  int exitCode = kExitOk;
  for (const auto& info : list) {
    if (info.problem.empty()) continue;
    std::cerr << "qmctl: queue manager " << info.name << " cannot be read: " << info.problem
              << " (see 'qmctl check " << info.name << "')\n";
    exitCode = kExitFailed;
  }
  return exitCode;
}

int runList(bool json) {
  const auto list = mqi::listQueueManagers();
  if (!list.ok()) return fail(list.status);
  if (json) {
    nlohmann::json array = nlohmann::json::array();
    for (const auto& info : list.value) array.push_back(queueManagerJson(info));
    std::cout << array.dump(2) << '\n';
    return reportUnreadable(list.value);
  }
  std::vector<std::vector<std::string>> rows = {
      {"NAME", "STATE", "DEFAULT", "CCSID", "MAXUNCOMMITTED", "MAXMSGLENGTH", "CONNECTIONS"}};
  for (const auto& info : list.value) {
    rows.push_back({info.name, stateText(info), info.isDefault ? "yes" : "no",
                    std::to_string(info.codedCharSetId), std::to_string(info.maxUncommittedMsgs),
                    std::to_string(info.maxMsgLength), std::to_string(info.connections)});
  }
  writeTable(std::cout, rows);
  return reportUnreadable(list.value);
}

nlohmann::json spaceJson(const mqi::StoreSpace& space) {
  return {{"database_bytes", space.databaseBytes},
          {"payload_files", space.payloadFiles},
          {"payload_bytes", space.payloadBytes},
          {"live_bytes", space.liveBytes},
          {"dead_bytes", space.payloadBytes - space.liveBytes}};
}

int runShow(const std::string& qmgr, bool json) {
  const auto info = mqi::describeQueueManager(qmgr);
  if (!info.ok()) return fail(info.status);
  const auto space = mqi::measureSpace(qmgr);
  if (!space.ok()) return fail(space.status);
  const mqi::StoreSpace& sp = space.value;
  if (json) {
    nlohmann::json object = queueManagerJson(info.value);
    if (sp.kept) object["space"] = spaceJson(sp);
    std::cout << object.dump(2) << '\n';
    return kExitOk;
  }
  const mqi::QueueManagerInfo& i = info.value;
  std::vector<std::vector<std::string>> rows = {
      {"name:", i.name},
      {"state:", stateText(i)},
      {"default:", i.isDefault ? "yes" : "no"},
      {"ccsid:", std::to_string(i.codedCharSetId)},
      {"max-uncommitted:", std::to_string(i.maxUncommittedMsgs)},
      {"max-msg-length:", std::to_string(i.maxMsgLength)},
      {"connections:", std::to_string(i.connections)},
      {"dead-letter-queue:", i.deadLetterQName.empty() ? "-" : i.deadLetterQName},
      {"default-backout-threshold:", std::to_string(i.defaultBackoutThreshold)},
      {"store:", mqi::withoutPassword(mqi::storeLocation())}};
  if (i.sessionLeaseSeconds > 0)
    rows.insert(rows.end() - 1, {"session-lease:", std::to_string(i.sessionLeaseSeconds) + " s"});
  if (sp.kept) {
    rows.push_back({"database-bytes:", std::to_string(sp.databaseBytes)});
    rows.push_back({"payload-files:", std::to_string(sp.payloadFiles)});
    rows.push_back({"payload-bytes:", std::to_string(sp.payloadBytes)});
    rows.push_back({"live-bytes:", std::to_string(sp.liveBytes)});
    rows.push_back({"dead-bytes:", std::to_string(sp.payloadBytes - sp.liveBytes)});
  }
  writeTable(std::cout, rows);
  return kExitOk;
}

int runCompact(const std::string& qmgr, bool json) {
  const auto done = mqi::compactQueueManager(qmgr);
  if (!done.ok()) return fail(done.status);
  const mqi::CompactReport& r = done.value;
  if (json) {
    std::cout << nlohmann::json{{"files_compacted", r.filesCompacted},
                                {"files_removed", r.filesRemoved},
                                {"bytes_copied", r.bytesCopied},
                                {"bytes_freed", r.bytesFreed}}
                     .dump(2)
              << '\n';
    return kExitOk;
  }
  std::cout << "queue manager " << qmgr << " compacted: " << r.filesRemoved
            << " payload files removed (" << r.filesCompacted << " of them copied, "
            << r.bytesCopied << " bytes), " << r.bytesFreed << " bytes freed\n";
  return kExitOk;
}

// A store that cannot even be opened fails the check with the reason as its one problem.
int runCheck(const std::string& qmgr, bool json) {
  auto checked = mqi::checkQueueManager(qmgr);
  mqi::CheckReport r = checked.value;
  if (!checked.ok()) {
    if (!json) return fail(checked.status);
    r.problems.push_back(checked.status.message());
  }
  if (json) {
    std::cout << nlohmann::json{{"queue_manager", qmgr},
                                {"ok", r.ok()},
                                {"checks", r.checks},
                                {"problems", r.problems}}
                     .dump(2)
              << '\n';
    return r.ok() ? kExitOk : kExitFailed;
  }
  for (const std::string& check : r.checks) std::cout << "checked: " << check << '\n';
  for (const std::string& problem : r.problems) std::cout << "problem: " << problem << '\n';
  if (r.ok()) {
    std::cout << "queue manager " << qmgr << ": no problems found\n";
    return kExitOk;
  }
  return report("queue manager " + qmgr + ": " + std::to_string(r.problems.size()) +
                    " problems found; restore it from a backup, or move its messages to a new"
                    " queue manager",
                kExitFailed);
}

int runSet(const SetOptions& o) {
  const mqi::QueueManagerChanges changes = o.changes();
  const bool changesQueueManager =
      changes.deadLetterQName || changes.defaultBackoutThreshold || changes.sessionLeaseSeconds;
  if (o.maxUncommittedOption->count() == 0 && !o.makeDefault && !changesQueueManager) {
    return report(
        "set: nothing to change; give --max-uncommitted N, --dead-letter-queue Q,"
        " --no-dead-letter-queue, --default-backout-threshold N, --session-lease SECONDS"
        " or --default",
        kExitUsage);
  }
  if (changesQueueManager) {
    if (mqi::Status s = mqi::alterQueueManager(o.qmgr, changes); !s.ok()) return fail(s);
  }
  if (o.maxUncommittedOption->count() > 0) {
    if (mqi::Status s = mqi::setMaxUncommittedMsgs(o.qmgr, o.maxUncommitted); !s.ok()) {
      return fail(s);
    }
  }
  if (o.makeDefault) {
    if (mqi::Status s = mqi::setDefaultQueueManager(o.qmgr); !s.ok()) return fail(s);
  }
  std::cout << "queue manager " << o.qmgr << " changed\n";
  return kExitOk;
}

CLI::Option* addQueueManagerName(CLI::App* command, std::string& target) {
  return command->add_option("QM", target, "queue manager name")
      ->required()
      ->check(nameCheck("queue manager"));
}

void addCreate(CLI::App& app, int& exitCode) {
  auto o = std::make_shared<CreateOptions>();
  CLI::App* cmd = app.add_subcommand("create", "Create a queue manager (it starts stopped)");
  addQueueManagerName(cmd, o->qmgr);
  cmd->add_option("--ccsid", o->options.codedCharSetId,
                  "coded character set id of the queue manager (default 819)")
      ->check(CLI::Range(1, 65535));
  cmd->add_option("--max-uncommitted", o->options.maxUncommittedMsgs,
                  "most messages one unit of work may hold (default 100000000)")
      ->check(CLI::Range(1, 999999999));
  cmd->add_option("--max-msg-length", o->options.maxMsgLength,
                  "longest message of the queue manager in bytes (default 4194304)")
      ->check(CLI::Range(0, 104857600));
  cmd->add_flag("--default", o->options.makeDefault,
                "make it the queue manager that a blank name reaches");
  cmd->add_flag("--start", o->start, "start it right away");
  o->options.deadLetterQName = kDefaultDeadLetterQueue;
  o->options.defaultBackoutThreshold = kDefaultBackoutThreshold;
  cmd->add_option("--dead-letter-queue", o->options.deadLetterQName,
                  "the dead-letter queue to define and name (default SYSTEM.DEAD.LETTER.QUEUE)")
      ->check(nameCheck("queue"));
  cmd->add_flag("--no-dead-letter-queue", o->noDeadLetterQueue, "define no dead-letter queue");
  cmd->add_option("--default-backout-threshold", o->options.defaultBackoutThreshold,
                  "backout threshold of queues defined without one (default 5; 0: none)")
      ->check(CLI::Range(0, 999999999));
  cmd->callback([o, &exitCode] { exitCode = runCreate(*o); });
}

void addStartStopDelete(CLI::App& app, int& exitCode) {
  auto qmgr = std::make_shared<std::string>();
  auto quiesce = std::make_shared<bool>(false);
  CLI::App* start = app.add_subcommand("start", "Start a queue manager");
  addQueueManagerName(start, *qmgr);
  start->callback([qmgr, &exitCode] { exitCode = runStart(*qmgr); });

  CLI::App* stop = app.add_subcommand(
      "stop", "Stop a queue manager: at once, or with --quiesce after its connections finish");
  addQueueManagerName(stop, *qmgr);
  stop->add_flag("--quiesce", *quiesce,
                 "let connections finish; calls with FAIL_IF_QUIESCING end with 2161");
  stop->callback([qmgr, quiesce, &exitCode] { exitCode = runStop(*qmgr, *quiesce); });

  CLI::App* del = app.add_subcommand("delete", "Delete a stopped queue manager and its queues");
  addQueueManagerName(del, *qmgr);
  del->callback([qmgr, &exitCode] { exitCode = runDelete(*qmgr); });
}

void addListShowSet(CLI::App& app, int& exitCode) {
  auto qmgr = std::make_shared<std::string>();
  auto json = std::make_shared<bool>(false);
  CLI::App* list = app.add_subcommand("list", "List the queue managers of the store");
  list->add_flag("--json", *json, "print a JSON array");
  list->callback([json, &exitCode] { exitCode = runList(*json); });

  CLI::App* show = app.add_subcommand("show", "Show one queue manager");
  addQueueManagerName(show, *qmgr);
  show->add_flag("--json", *json, "print a JSON object");
  show->callback([qmgr, json, &exitCode] { exitCode = runShow(*qmgr, *json); });

  CLI::App* compact = app.add_subcommand(
      "compact",
      "Free the space of consumed messages: copy what is left of mostly dead payload"
      " files, delete files nothing references (safe while the queue manager runs)");
  addQueueManagerName(compact, *qmgr);
  compact->add_flag("--json", *json, "print a JSON object");
  compact->callback([qmgr, json, &exitCode] { exitCode = runCompact(*qmgr, *json); });

  CLI::App* check = app.add_subcommand(
      "check",
      "Check the store of a queue manager: the database's integrity, and that its messages,"
      " payloads, counts and shared file agree (safe while it runs)");
  addQueueManagerName(check, *qmgr);
  check->add_flag("--json", *json, "print a JSON object");
  check->callback([qmgr, json, &exitCode] { exitCode = runCheck(*qmgr, *json); });

  auto o = std::make_shared<SetOptions>();
  CLI::App* set = app.add_subcommand("set", "Change attributes of a queue manager");
  addQueueManagerName(set, o->qmgr);
  o->maxUncommittedOption =
      set->add_option("--max-uncommitted", o->maxUncommitted,
                      "most messages one unit of work may hold (2024 beyond it)")
          ->check(CLI::Range(1, 999999999));
  set->add_flag("--default", o->makeDefault, "make it the queue manager that a blank name reaches");
  o->deadLetterQueueOption =
      set->add_option("--dead-letter-queue", o->deadLetterQueue,
                      "name an existing local queue as the dead-letter queue")
          ->check(nameCheck("queue"));
  set->add_flag("--no-dead-letter-queue", o->noDeadLetterQueue, "name no dead-letter queue")
      ->excludes(o->deadLetterQueueOption);
  o->defaultBackoutThresholdOption =
      set->add_option("--default-backout-threshold", o->defaultBackoutThreshold,
                      "backout threshold of queues defined without one (0: none)")
          ->check(CLI::Range(0, 999999999));
  o->sessionLeaseOption =
      set->add_option("--session-lease", o->sessionLease,
                      "seconds a session may go without renewing its lease before the others"
                      " end it and back out its work (PostgreSQL store; default 15)")
          ->check(CLI::Range(mqi::kMinSessionLease, mqi::kMaxSessionLease));
  set->callback([o, &exitCode] { exitCode = runSet(*o); });
}

}  // namespace

void addQueueManagerCommands(CLI::App& app, int& exitCode) {
  addCreate(app, exitCode);
  addStartStopDelete(app, exitCode);
  addListShowSet(app, exitCode);
}

}  // namespace qmctl
