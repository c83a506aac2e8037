// qmctl's queue manager and queue commands, and its answers to bad arguments.
#include <sched.h>
#include <sys/mount.h>

#include "tests/qmctl/harness.h"

namespace qmctl_test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

TEST_F(QmctlTest, BadArgumentsGiveAMessageAndExitCode2) {
  struct Case {
    std::vector<std::string> args;
    std::string says;
  };
  const std::vector<Case> cases = {
      {{}, "qmctl:"},
      {{"frobnicate"}, "frobnicate"},
      {{"put", kQm}, "Q"},
      {{"define", kQm, "A B"}, "queue name 'A B'"},
      {{"create", std::string(49, 'M')}, "longer than 48"},
      {{"put", kQm, "Q", "--msgid", "xyz"}, "xyz"},
      {{"put", kQm, "Q", "--correlid", "01", "--segment", "1"}, "excludes"},
      {{"put", kQm, "Q", "--priority", "10"}, "priority"},
      {{"define", kQm, "Q", "--def-persistence", "maybe"}, "maybe"},
      {{"inhibit", kQm, "Q", "browse"}, "browse"},
      {{"job", kQm, "Q", "--path", "/in/*", "--receiver", "R"}, "reply-to-q"},
      {{"status", kQm, "Q", "--follow", "--wait", "5"}, "excludes"},
      {{"set", kQm}, "nothing to change"},
      {{"end-session", kQm, "x"}, "ID"},
      {{"set", kQm, "--session-lease", "1"}, "session-lease"},
  };
  for (const Case& c : cases) {
    const Outcome run = qmctl(c.args);
    std::string line;
    for (const auto& a : c.args) line += a + " ";
    EXPECT_EQ(run.code, 2) << line << run.err;
    EXPECT_THAT(run.err, HasSubstr(c.says)) << line;
    EXPECT_THAT(run.err, HasSubstr("qmctl: ")) << line;
  }
}

TEST_F(QmctlTest, HelpExitsWithZeroForEveryCommand) {
  for (const char* command :
       {"create", "start", "stop",         "delete", "list",   "show",     "compact",    "set",
        "define", "alter", "delete-queue", "clear",  "queues", "inhibit",  "allow",      "put",
        "browse", "get",   "job",          "ping",   "status", "sessions", "end-session"}) {
    const Outcome run = qmctl({command, "--help"});
    EXPECT_EQ(run.code, 0) << command;
    EXPECT_THAT(run.out, HasSubstr(std::string("Usage: qmctl ") + command)) << command;
  }
  const Outcome run = qmctl({"--help"});
  EXPECT_EQ(run.code, 0);
  EXPECT_THAT(run.out, HasSubstr("QM_STORE"));
}

TEST_F(QmctlTest, QueueManagerLifeCycle) {
  Outcome run = qmctl({"create", "QM2", "--ccsid", "1208", "--max-uncommitted", "500", "--start"});
  ASSERT_EQ(run.code, 0) << run.err;
  run = qmctl({"show", "QM2", "--json"});
  ASSERT_EQ(run.code, 0) << run.err;
  nlohmann::json shown = nlohmann::json::parse(run.out);
  EXPECT_EQ(shown["ccsid"], 1208);
  EXPECT_EQ(shown["max_uncommitted"], 500);
  EXPECT_EQ(shown["state"], "running");
  EXPECT_EQ(shown["space"]["payload_files"], 0);
  // A new queue manager comes with a dead-letter queue and a default backout threshold,
  // which its queues take unless given one.
  EXPECT_EQ(shown["dead_letter_queue"], "SYSTEM.DEAD.LETTER.QUEUE");
  EXPECT_EQ(shown["default_backout_threshold"], 5);
  ASSERT_EQ(qmctl({"define", "QM2", "IN"}).code, 0);
  run = qmctl({"queues", "QM2", "--json"});
  ASSERT_EQ(run.code, 0) << run.err;
  for (const auto& q : nlohmann::json::parse(run.out)) {
    EXPECT_EQ(q["backout_threshold"], q["name"] == "IN" ? 5 : 0) << q["name"];
  }
  ASSERT_EQ(
      qmctl({"set", "QM2", "--no-dead-letter-queue", "--default-backout-threshold", "2"}).code, 0);
  EXPECT_THAT(qmctl({"set", "QM2", "--dead-letter-queue", "NOSUCH"}).err, HasSubstr("NOSUCH"));
  run = qmctl({"show", "QM2"});
  EXPECT_THAT(run.out, ::testing::ContainsRegex("dead-letter-queue: +-\n"));
  EXPECT_THAT(run.out, ::testing::ContainsRegex("default-backout-threshold: +2\n"));
  ASSERT_EQ(qmctl({"set", "QM2", "--dead-letter-queue", "IN"}).code, 0);
  EXPECT_EQ(nlohmann::json::parse(qmctl({"show", "QM2", "--json"}).out)["dead_letter_queue"], "IN");
  run = qmctl({"compact", "QM2"});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("0 payload files removed"));

  ASSERT_EQ(qmctl({"set", "QM2", "--max-uncommitted", "700", "--default"}).code, 0);
  run = qmctl({"list", "--json"});
  ASSERT_EQ(run.code, 0) << run.err;
  const nlohmann::json list = nlohmann::json::parse(run.out);
  ASSERT_EQ(list.size(), 2u);
  for (const auto& qm : list) {
    if (qm["name"] == "QM2") {
      EXPECT_EQ(qm["max_uncommitted"], 700);
      EXPECT_EQ(qm["default"], true);
    }
  }
  EXPECT_THAT(qmctl({"list"}).out, HasSubstr("QM2"));

  EXPECT_EQ(qmctl({"delete", "QM2"}).code, 1);  // still running
  ASSERT_EQ(qmctl({"stop", "QM2", "--quiesce"}).code, 0);
  // A stopped queue manager refuses connections, and says how to start it.
  run = qmctl({"put", "QM2", "Q", "--data", "x"});
  EXPECT_EQ(run.code, 1);
  EXPECT_THAT(run.err, HasSubstr("2059"));
  EXPECT_THAT(run.err, HasSubstr("qmctl start QM2"));
  ASSERT_EQ(qmctl({"delete", "QM2"}).code, 0) << run.err;
  run = qmctl({"show", "QM2"});
  EXPECT_EQ(run.code, 1);
  EXPECT_THAT(run.err, HasSubstr("QM2"));

  ASSERT_EQ(
      qmctl({"create", "QM3", "--no-dead-letter-queue", "--default-backout-threshold", "0"}).code,
      0);
  shown = nlohmann::json::parse(qmctl({"show", "QM3", "--json"}).out);
  EXPECT_EQ(shown["dead_letter_queue"], "");
  EXPECT_EQ(shown["default_backout_threshold"], 0);
  ASSERT_EQ(qmctl({"start", "QM3"}).code, 0);
  EXPECT_EQ(qmctl({"queues", "QM3", "--json"}).out.find("DEAD"), std::string::npos);
}

TEST_F(QmctlTest, QueueDefinitionsAndListing) {
  Outcome run = qmctl({"define", kQm, "IN", "--max-depth", "5", "--def-priority", "4",
                       "--def-persistence", "no", "--delivery", "fifo", "--description", "job q",
                       "--backout-threshold", "3", "--backout-queue", "IN.BACKOUT"});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(qmctl({"define", kQm, "IN"}).code, 1);  // exists already
  ASSERT_EQ(qmctl({"alter", kQm, "IN", "--max-depth", "7", "--put", "inhibited"}).code, 0);

  run = qmctl({"queues", kQm, "IN", "--json"});
  ASSERT_EQ(run.code, 0) << run.err;
  const nlohmann::json q = nlohmann::json::parse(run.out).at(0);
  EXPECT_EQ(q["name"], "IN");
  EXPECT_EQ(q["max_depth"], 7);     // altered
  EXPECT_EQ(q["def_priority"], 4);  // kept by the alter
  EXPECT_EQ(q["def_persistence"], "no");
  EXPECT_EQ(q["delivery"], "fifo");
  EXPECT_EQ(q["put"], "inhibited");
  EXPECT_EQ(q["get"], "allowed");
  EXPECT_EQ(q["description"], "job q");
  EXPECT_EQ(q["depth"], 0);
  EXPECT_EQ(q["backout_threshold"], 3);
  EXPECT_EQ(q["backout_queue"], "IN.BACKOUT");
  ASSERT_EQ(qmctl({"alter", kQm, "IN", "--backout-queue", ""}).code, 0);
  EXPECT_EQ(
      nlohmann::json::parse(qmctl({"queues", kQm, "IN", "--json"}).out).at(0)["backout_queue"], "");
  EXPECT_EQ(qmctl({"alter", kQm, "IN", "--backout-threshold", "-1"}).code, 2);
  EXPECT_EQ(qmctl({"alter", kQm, "IN", "--backout-queue", "A B"}).code, 1);

  define("OUT");
  run = qmctl({"queues", kQm});
  ASSERT_EQ(run.code, 0);
  EXPECT_THAT(run.out, HasSubstr("QUEUE"));
  EXPECT_THAT(run.out, HasSubstr("BACKOUTQ"));
  EXPECT_THAT(run.out, HasSubstr("OUT"));

  ASSERT_EQ(qmctl({"put", kQm, "OUT", "--data", "x"}).code, 0);
  EXPECT_EQ(qmctl({"delete-queue", kQm, "OUT"}).code, 1);  // holds a message
  ASSERT_EQ(qmctl({"delete-queue", kQm, "OUT", "--purge"}).code, 0);
  EXPECT_EQ(qmctl({"queues", kQm, "OUT"}).code, 1);
}

// check passes a sound store and names what is wrong with a damaged one; a store that cannot
// be read makes every command (and an agent's MQCONN) name the file and what to do.
TEST_F(QmctlTest, CheckFindsMissingPayloadsAndDamagedStoresFailLoudly) {
  namespace fs = std::filesystem;
  define("Q");
  ASSERT_EQ(qmctl({"put", kQm, "Q", "--data", "small"}).code, 0);
  ASSERT_EQ(qmctl({"put", kQm, "Q"}, std::string(50000, 'L')).code, 0);
  EXPECT_EQ(qmctl({"check", "--help"}).code, 0);
  Outcome run = qmctl({"check", kQm});
  EXPECT_EQ(run.code, 0) << run.out << run.err;
  EXPECT_THAT(run.out, HasSubstr("checked: database integrity"));
  EXPECT_THAT(run.out, HasSubstr("no problems found"));

  run = qmctl({"put", kQm, "Q", "--file", dir_.string()});
  EXPECT_EQ(run.code, 1);
  EXPECT_THAT(run.err, HasSubstr("it is a folder"));

  // A read-only store (a read-only bind mount in a mount namespace of this test's process:
  // root ignores permissions) says what it needs.
  const char* store = store_.c_str();
  if (unshare(CLONE_NEWNS) == 0 &&
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
      mount(store, store, nullptr, MS_BIND, nullptr) == 0) {
    if (mount(nullptr, store, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0) {
      for (const std::vector<std::string>& args :
           std::vector<std::vector<std::string>>{{"queues", kQm}, {"browse", kQm, "Q"}}) {
        run = qmctl(args);
        EXPECT_EQ(run.code, 1) << args[0];
        EXPECT_THAT(run.err, HasSubstr("writable by this user")) << args[0];
      }
    }
    umount2(store, 0);
  }

  const fs::path qmFolder = store_ / kQm;
  for (const auto& entry : fs::directory_iterator(qmFolder / "payloads")) fs::remove(entry.path());
  run = qmctl({"check", kQm, "--json"});
  EXPECT_EQ(run.code, 1) << run.err;
  const nlohmann::json report = nlohmann::json::parse(run.out);
  EXPECT_FALSE(report["ok"].get<bool>());
  ASSERT_EQ(report["problems"].size(), 1u) << run.out;
  EXPECT_THAT(report["problems"][0].get<std::string>(), HasSubstr("is missing"));

  ASSERT_TRUE(mqi::stopQueueManager(kQm, false).ok());
  const fs::path db = qmFolder / "qm.db";
  const std::string sound = readAll(db);
  ASSERT_GT(sound.size(), 8192u);
  const std::string scribbled = sound.substr(0, 4096) + std::string(sound.size() - 4096, '\x5a');
  for (const std::string& damaged : {scribbled, sound.substr(0, 6000)}) {
    std::ofstream(db, std::ios::binary | std::ios::trunc) << damaged;
    for (const char* wal : {"qm.db-wal", "qm.db-shm"}) fs::remove(qmFolder / wal);
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"queues", kQm}, {"check", kQm}, {"browse", kQm, "Q"}, {"list"}}) {
      run = qmctl(args);
      EXPECT_EQ(run.code, 1) << args[0] << run.out;
      EXPECT_THAT(run.err, HasSubstr("qm.db")) << args[0];
      EXPECT_THAT(run.err, HasSubstr("qmctl check " + std::string(kQm))) << args[0];
      EXPECT_THAT(run.err, Not(HasSubstr("qmctl start"))) << args[0];
    }
    EXPECT_THAT(run.out, HasSubstr("unreadable"));  // the list names it rather than hiding it
    MQHCONN hconn;
    MQLONG cc, rc;
    MQCHAR48 name = "QMT";
    MQCONN(name, &hconn, &cc, &rc);
    EXPECT_EQ(rc, MQRC_UNEXPECTED_ERROR);
  }
}

TEST_F(QmctlTest, ClearRemovesCommittedMessages) {
  define("Q");
  for (int i = 0; i < 3; ++i) ASSERT_EQ(qmctl({"put", kQm, "Q", "--data", "m"}).code, 0);
  const Outcome run = qmctl({"clear", kQm, "Q"});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("3 messages removed"));
  EXPECT_EQ(depth("Q"), 0);
}

TEST_F(QmctlTest, InhibitAndAllowGoThroughMqset) {
  define("Q");
  ASSERT_EQ(qmctl({"inhibit", kQm, "Q", "put"}).code, 0);
  Outcome run = qmctl({"put", kQm, "Q", "--data", "x"});
  EXPECT_EQ(run.code, 1);
  EXPECT_THAT(run.err, HasSubstr("MQRC_PUT_INHIBITED"));
  ASSERT_EQ(qmctl({"allow", kQm, "Q", "put"}).code, 0);
  ASSERT_EQ(qmctl({"put", kQm, "Q", "--data", "x"}).code, 0);

  ASSERT_EQ(qmctl({"inhibit", kQm, "Q", "get", "put"}).code, 0);
  run = qmctl({"get", kQm, "Q"});
  EXPECT_EQ(run.code, 1);
  EXPECT_THAT(run.err, HasSubstr("2016"));
  ASSERT_EQ(qmctl({"allow", kQm, "Q", "get"}).code, 0);
  EXPECT_EQ(qmctl({"get", kQm, "Q"}).code, 0);
  EXPECT_EQ(qmctl({"put", kQm, "Q", "--data", "x"}).code, 1);  // put still inhibited

  run = qmctl({"inhibit", kQm, "NOSUCH", "get"});
  EXPECT_EQ(run.code, 1);
  EXPECT_THAT(run.err, HasSubstr("MQRC_UNKNOWN_OBJECT_NAME"));
}

// A live connection of this process shows in the list with what its unit of work holds; once
// ended, it backs itself out at its next call, which fails with 2009.
TEST_F(QmctlTest, SessionsAreListedAndEndedAtTheirNextCall) {
  define("Q");
  TestConnection agent(kQm);
  MQOD od = {MQOD_DEFAULT};
  std::memcpy(od.ObjectName, "Q", 1);
  MQHOBJ q;
  MQLONG cc, rc;
  MQOPEN(agent.handle(), &od, MQOO_INPUT_SHARED | MQOO_OUTPUT, &q, &cc, &rc);
  ASSERT_EQ(rc, MQRC_NONE);
  MQMD md = {MQMD_DEFAULT};
  ASSERT_EQ(agent.put("Q", md, "one"), MQRC_NONE);
  MQGMO gmo = {MQGMO_DEFAULT};
  gmo.Options = MQGMO_SYNCPOINT;
  char buffer[16];
  MQLONG length = 0;
  md = {MQMD_DEFAULT};
  MQGET(agent.handle(), q, &md, &gmo, sizeof buffer, buffer, &length, &cc, &rc);
  ASSERT_EQ(rc, MQRC_NONE);
  MQPMO pmo = {MQPMO_DEFAULT};
  pmo.Options = MQPMO_SYNCPOINT;
  md = {MQMD_DEFAULT};
  MQPUT(agent.handle(), q, &md, &pmo, 3, const_cast<char*>("two"), &cc, &rc);
  ASSERT_EQ(rc, MQRC_NONE);

  Outcome run = qmctl({"sessions", kQm, "--json"});
  ASSERT_EQ(run.code, 0) << run.err;
  nlohmann::json sessions = nlohmann::json::parse(run.out);
  ASSERT_EQ(sessions.size(), 1u) << run.out;
  EXPECT_EQ(sessions[0]["pid"], getpid());
  EXPECT_EQ(sessions[0]["program"], "qmctl_e2e_tests");
  EXPECT_EQ(sessions[0]["held_messages"], 2);
  EXPECT_TRUE(sessions[0]["renewed_ms_ago"].is_null()) << "the embedded store has no leases";
  const int64_t id = sessions[0]["id"];
  run = qmctl({"sessions", kQm});
  EXPECT_THAT(run.out, HasSubstr("ID  MACHINE"));
  EXPECT_THAT(run.out, HasSubstr("qmctl_e2e_tests"));

  run = qmctl({"end-session", kQm, std::to_string(id)});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("at its next MQ call"));
  MQPUT(agent.handle(), q, &md, &pmo, 5, const_cast<char*>("three"), &cc, &rc);
  EXPECT_EQ(rc, MQRC_CONNECTION_BROKEN);
  EXPECT_EQ(qmctl({"sessions", kQm, "--json"}).out, "[]\n");
  run = qmctl({"end-session", kQm, std::to_string(id)});
  EXPECT_EQ(run.code, 1);
  EXPECT_THAT(run.err, HasSubstr("has no session"));
  run = qmctl({"browse", kQm, "Q", "--json"});
  ASSERT_EQ(run.code, 0) << run.err;
  const auto browsed = jsonLines(run.out);
  ASSERT_EQ(browsed.size(), 1u) << "the uncommitted put vanished: " << run.out;
  EXPECT_EQ(browsed[0]["backout_count"], 1) << run.out;

  run = qmctl({"set", kQm, "--session-lease", "5"});
  EXPECT_EQ(run.code, 1);
  EXPECT_THAT(run.err, HasSubstr("no session leases"));
}

}  // namespace
}  // namespace qmctl_test
