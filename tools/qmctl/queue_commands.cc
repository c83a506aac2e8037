// Queue commands: define, alter, delete-queue, clear, queues, inhibit, allow.
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>

#include "tools/qmctl/commands.h"
#include "tools/qmctl/session.h"
#include "tools/qmctl/text.h"
#include "tools/qmctl/views.h"

namespace qmctl {
namespace {

struct QueueTarget {
  std::string qmgr;
  std::string queue;
};

// One integer attribute option; applied only when given.
struct AttributeOption {
  int32_t value = 0;
  CLI::Option* option = nullptr;
  void applyTo(std::optional<int32_t>& attribute) const {
    if (option != nullptr && option->count() > 0) attribute = value;
  }
};

// The attribute options of define and alter.
struct AttributeOptions {
  QueueTarget target;
  AttributeOption maxMsgLength, maxDepth, defPriority, defPersistence, defInput, shareability,
      delivery, inhibitGet, inhibitPut, backoutThreshold;
  std::string description, backoutQueue;
  CLI::Option* descriptionOption = nullptr;
  CLI::Option* backoutQueueOption = nullptr;

  mqi::QueueAttributes attributes() const {
    mqi::QueueAttributes a;
    maxMsgLength.applyTo(a.maxMsgLength);
    maxDepth.applyTo(a.maxQDepth);
    defPriority.applyTo(a.defPriority);
    defPersistence.applyTo(a.defPersistence);
    defInput.applyTo(a.defInputOpenOption);
    shareability.applyTo(a.shareability);
    delivery.applyTo(a.msgDeliverySequence);
    inhibitGet.applyTo(a.inhibitGet);
    inhibitPut.applyTo(a.inhibitPut);
    backoutThreshold.applyTo(a.backoutThreshold);
    if (descriptionOption->count() > 0) a.description = description;
    if (backoutQueueOption->count() > 0) a.backoutRequeueQName = backoutQueue;
    return a;
  }
};

using Names = std::map<std::string, int32_t>;

const Names kPersistenceNames = {{"yes", MQPER_PERSISTENT}, {"no", MQPER_NOT_PERSISTENT}};
const Names kInputNames = {{"shared", MQOO_INPUT_SHARED}, {"exclusive", MQOO_INPUT_EXCLUSIVE}};
const Names kShareNames = {{"yes", MQQA_SHAREABLE}, {"no", MQQA_NOT_SHAREABLE}};
const Names kDeliveryNames = {{"priority", MQMDS_PRIORITY}, {"fifo", MQMDS_FIFO}};
const Names kGetNames = {{"allowed", MQQA_GET_ALLOWED}, {"inhibited", MQQA_GET_INHIBITED}};
const Names kPutNames = {{"allowed", MQQA_PUT_ALLOWED}, {"inhibited", MQQA_PUT_INHIBITED}};

std::string nameOf(const Names& names, int32_t value) {
  for (const auto& [name, v] : names) {
    if (v == value) return name;
  }
  return std::to_string(value);
}

void addTarget(CLI::App* command, QueueTarget& target) {
  command->add_option("QM", target.qmgr, "queue manager name")
      ->required()
      ->check(nameCheck("queue manager"));
  command->add_option("Q", target.queue, "queue name")->required()->check(nameCheck("queue"));
}

void addAttributeOptions(CLI::App* cmd, AttributeOptions& o) {
  auto number = [cmd](const char* name, AttributeOption& field, const char* help, int32_t low,
                      int32_t high) {
    field.option = cmd->add_option(name, field.value, help)->check(CLI::Range(low, high));
  };
  auto choice = [cmd](const char* name, AttributeOption& field, const char* help,
                      const Names& names) {
    field.option =
        cmd->add_option(name, field.value, help)->transform(CLI::CheckedTransformer(names));
  };
  number("--max-msg-length", o.maxMsgLength, "longest message in bytes (default 4194304)", 0,
         999999999);
  number("--max-depth", o.maxDepth, "most messages on the queue (default 999999999)", 0, 999999999);
  number("--def-priority", o.defPriority, "priority of messages put 'as queue' (0-9)", 0, 9);
  choice("--def-persistence", o.defPersistence,
         "persistence of messages put 'as queue' (default yes)", kPersistenceNames);
  choice("--def-input", o.defInput, "input mode of MQOO_INPUT_AS_Q_DEF (default shared)",
         kInputNames);
  choice("--share", o.shareability, "whether several handles may open it for input", kShareNames);
  choice("--delivery", o.delivery, "message delivery sequence (default priority)", kDeliveryNames);
  choice("--get", o.inhibitGet, "get allowed or inhibited", kGetNames);
  choice("--put", o.inhibitPut, "put allowed or inhibited", kPutNames);
  o.descriptionOption = cmd->add_option("--description", o.description, "free text");
  number("--backout-threshold", o.backoutThreshold,
         "backouts after which the agents set a message aside (0: never; default: the queue"
         " manager's)",
         0, 999999999);
  o.backoutQueueOption = cmd->add_option(
      "--backout-queue", o.backoutQueue,
      "where messages at the threshold go (\"\": the queue manager's dead-letter queue)");
}

std::vector<std::string> queueRow(const mqi::QueueInfo& q) {
  return {q.name,
          std::to_string(q.currentDepth),
          std::to_string(q.openInputCount),
          std::to_string(q.openOutputCount),
          nameOf(kGetNames, q.inhibitGet),
          nameOf(kPutNames, q.inhibitPut),
          std::to_string(q.maxQDepth),
          std::to_string(q.maxMsgLength),
          std::to_string(q.defPriority),
          nameOf(kPersistenceNames, q.defPersistence),
          nameOf(kInputNames, q.defInputOpenOption),
          nameOf(kShareNames, q.shareability),
          nameOf(kDeliveryNames, q.msgDeliverySequence),
          std::to_string(q.backoutThreshold),
          q.backoutRequeueQName.empty() ? "-" : q.backoutRequeueQName,
          q.description};
}

const std::vector<std::string> kQueueHeading = {
    "QUEUE",    "DEPTH",     "INPUT",    "OUTPUT",     "GET",       "PUT",
    "MAXDEPTH", "MAXMSGLEN", "PRIORITY", "PERSISTENT", "INPUTMODE", "SHARE",
    "DELIVERY", "BACKOUT",   "BACKOUTQ", "DESCRIPTION"};

int runQueues(const QueueTarget& t, bool json) {
  std::vector<mqi::QueueInfo> queues;
  if (t.queue.empty()) {
    auto list = mqi::listQueues(t.qmgr);
    if (!list.ok()) return fail(list.status);
    queues = std::move(list.value);
  } else {
    auto one = mqi::describeQueue(t.qmgr, t.queue);
    if (!one.ok()) return fail(one.status);
    queues.push_back(std::move(one.value));
  }
  if (json) {
    nlohmann::json array = nlohmann::json::array();
    for (const auto& q : queues) array.push_back(queueJson(q));
    std::cout << array.dump(2) << '\n';
    return kExitOk;
  }
  std::vector<std::vector<std::string>> rows = {kQueueHeading};
  for (const auto& q : queues) rows.push_back(queueRow(q));
  writeTable(std::cout, rows);
  return kExitOk;
}

int runInhibit(const QueueTarget& t, const std::vector<std::string>& operations, bool inhibit) {
  const mqi::Status s =
      setInhibit(t.qmgr, t.queue, operations, inhibit, [&](const std::string& operation) {
        std::cout << operation << (inhibit ? " inhibited" : " allowed") << " on queue " << t.queue
                  << '\n';
      });
  return s.ok() ? kExitOk : fail(s);
}

void addDefineAlter(CLI::App& app, int& exitCode) {
  auto d = std::make_shared<AttributeOptions>();
  CLI::App* define = app.add_subcommand("define", "Define a local queue");
  addTarget(define, d->target);
  addAttributeOptions(define, *d);
  define->callback([d, &exitCode] {
    exitCode = finish(mqi::defineQueue(d->target.qmgr, d->target.queue, d->attributes()),
                      "queue " + d->target.queue + " defined on " + d->target.qmgr);
  });

  auto a = std::make_shared<AttributeOptions>();
  CLI::App* alter = app.add_subcommand("alter", "Change attributes of a queue");
  addTarget(alter, a->target);
  addAttributeOptions(alter, *a);
  alter->callback([a, &exitCode] {
    exitCode = finish(mqi::alterQueue(a->target.qmgr, a->target.queue, a->attributes()),
                      "queue " + a->target.queue + " altered on " + a->target.qmgr);
  });
}

void addDeleteClear(CLI::App& app, int& exitCode) {
  auto t = std::make_shared<QueueTarget>();
  auto purge = std::make_shared<bool>(false);
  CLI::App* del = app.add_subcommand("delete-queue",
                                     "Delete a queue that is not open (and empty, unless --purge)");
  addTarget(del, *t);
  del->add_flag("--purge", *purge, "delete its messages with it");
  del->callback([t, purge, &exitCode] {
    exitCode = finish(mqi::deleteQueue(t->qmgr, t->queue, *purge),
                      "queue " + t->queue + " deleted from " + t->qmgr);
  });

  CLI::App* clear = app.add_subcommand(
      "clear", "Remove every committed message of a queue that no unit of work holds");
  addTarget(clear, *t);
  clear->callback([t, &exitCode] {
    const auto removed = mqi::clearQueue(t->qmgr, t->queue);
    if (!removed.ok()) {
      exitCode = fail(removed.status);
      return;
    }
    std::cout << removed.value << " messages removed from queue " << t->queue << '\n';
  });
}

void addQueuesInhibitAllow(CLI::App& app, int& exitCode) {
  auto t = std::make_shared<QueueTarget>();
  auto json = std::make_shared<bool>(false);
  CLI::App* queues = app.add_subcommand(
      "queues", "List the queues of a queue manager with depth, open counts and attributes");
  queues->add_option("QM", t->qmgr, "queue manager name")
      ->required()
      ->check(nameCheck("queue manager"));
  queues->add_option("Q", t->queue, "only this queue")->check(nameCheck("queue"));
  queues->add_flag("--json", *json, "print a JSON array");
  queues->callback([t, json, &exitCode] { exitCode = runQueues(*t, *json); });

  auto operations = std::make_shared<std::vector<std::string>>();
  for (const bool inhibit : {true, false}) {
    CLI::App* cmd = app.add_subcommand(
        inhibit ? "inhibit" : "allow",
        inhibit ? "Inhibit get or put on a queue (MQSET); waiting gets end with 2016"
                : "Allow get or put on a queue again (MQSET)");
    addTarget(cmd, *t);
    cmd->add_option("OPERATION", *operations, "get, put or both")
        ->required()
        ->expected(1, 2)
        ->check(CLI::IsMember({"get", "put"}));
    cmd->callback(
        [t, operations, inhibit, &exitCode] { exitCode = runInhibit(*t, *operations, inhibit); });
  }
}

}  // namespace

nlohmann::json queueJson(const mqi::QueueInfo& q) {
  return {{"name", q.name},
          {"depth", q.currentDepth},
          {"open_input", q.openInputCount},
          {"open_output", q.openOutputCount},
          {"get", nameOf(kGetNames, q.inhibitGet)},
          {"put", nameOf(kPutNames, q.inhibitPut)},
          {"max_depth", q.maxQDepth},
          {"max_msg_length", q.maxMsgLength},
          {"def_priority", q.defPriority},
          {"def_persistence", nameOf(kPersistenceNames, q.defPersistence)},
          {"def_input", nameOf(kInputNames, q.defInputOpenOption)},
          {"share", nameOf(kShareNames, q.shareability)},
          {"delivery", nameOf(kDeliveryNames, q.msgDeliverySequence)},
          {"backout_threshold", q.backoutThreshold},
          {"backout_queue", q.backoutRequeueQName},
          {"description", q.description}};
}

mqi::Status setInhibit(const std::string& qmgr, const std::string& queue,
                       const std::vector<std::string>& operations, bool inhibit,
                       const std::function<void(const std::string&)>& done) {
  Session session(qmgr);
  if (mqi::Status s = session.connect(); !s.ok()) return s;
  OpenQueue opened(session, queue);
  if (mqi::Status s = opened.open(MQOO_SET); !s.ok()) return s;
  for (const std::string& operation : operations) {
    const bool isGet = operation == "get";
    const MQLONG selector = isGet ? MQIA_INHIBIT_GET : MQIA_INHIBIT_PUT;
    const MQLONG value = inhibit ? (isGet ? MQQA_GET_INHIBITED : MQQA_PUT_INHIBITED)
                                 : (isGet ? MQQA_GET_ALLOWED : MQQA_PUT_ALLOWED);
    if (mqi::Status s = opened.setAttribute(selector, value); !s.ok()) return s;
    done(operation);
  }
  return mqi::Status::Ok();
}

void addQueueCommands(CLI::App& app, int& exitCode) {
  addDefineAlter(app, exitCode);
  addDeleteClear(app, exitCode);
  addQueuesInhibitAllow(app, exitCode);
}

}  // namespace qmctl
