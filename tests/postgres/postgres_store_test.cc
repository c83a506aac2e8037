// The PostgreSQL store beyond what the conformance suite checks: a server that cannot be
// reached, a server that stops and starts under live connections, the schema made by several
// first users at once or brought up to date, and rows that must not outlive their owners. Run through with_server.sh, which provides the server.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "mqi/admin.h"
#include "mqi/mqi.h"
#include "mqi/postgres/postgres.h"
#include "tests/postgres/server_control.h"
#include "tests/support/queue_manager.h"

namespace {

void setField(MQCHAR* field, size_t size, const std::string& text) {
  std::memset(field, ' ', size);
  std::memcpy(field, text.data(), std::min(size, text.size()));
}

class PostgresStore : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = environmentValue("QM_TEST_STORE");
    if (store_.empty()) GTEST_SKIP() << "QM_TEST_STORE not set: run through with_server.sh";
    setenv("QM_STORE", store_.c_str(), 1);
    qmgr_ = testsupport::TestStore::uniqueName("PT");
    ASSERT_TRUE(mqi::createQueueManager(qmgr_, {}).ok());
    ASSERT_TRUE(mqi::startQueueManager(qmgr_).ok());
    ASSERT_TRUE(mqi::defineQueue(qmgr_, "Q1", {}).ok());
  }
  void TearDown() override {
    if (qmgr_.empty()) return;
    setenv("QM_STORE", store_.c_str(), 1);
    mqi::stopQueueManager(qmgr_, false);
    mqi::deleteQueueManager(qmgr_);
  }

  MQHCONN connect(MQLONG* reason = nullptr) {
    MQCHAR48 name;
    setField(name, 48, qmgr_);
    MQHCONN h = MQHC_UNUSABLE_HCONN;
    MQLONG cc, rc;
    MQCONN(name, &h, &cc, &rc);
    if (reason != nullptr) *reason = rc;
    return h;
  }
  MQHOBJ open(MQHCONN h, MQLONG options, const std::string& queue = "Q1") {
    MQOD od = {MQOD_DEFAULT};
    setField(od.ObjectName, 48, queue);
    MQHOBJ o = MQHO_UNUSABLE_HOBJ;
    MQLONG cc, rc;
    MQOPEN(h, &od, options, &o, &cc, &rc);
    EXPECT_EQ(rc, MQRC_NONE);
    return o;
  }
  // `ids` gives the message's MsgId and CorrelId (to put) or those to match (to get).
  MQLONG put(MQHCONN h, MQHOBJ o, const std::string& text, MQLONG options,
             const MQMD* ids = nullptr) {
    MQMD md = {MQMD_DEFAULT};
    if (ids != nullptr) md = *ids;
    md.Persistence = MQPER_PERSISTENT;
    MQPMO pmo = {MQPMO_DEFAULT};
    pmo.Options = options;
    MQLONG cc, rc;
    MQPUT(h, o, &md, &pmo, static_cast<MQLONG>(text.size()), const_cast<char*>(text.data()), &cc,
          &rc);
    return rc;
  }
  MQLONG get(MQHCONN h, MQHOBJ o, MQLONG options, std::string& text, MQLONG* backouts = nullptr,
             MQLONG waitMs = MQWI_UNLIMITED, const MQMD* ids = nullptr) {
    MQMD md = {MQMD_DEFAULT};
    if (ids != nullptr) md = *ids;
    MQGMO gmo = {MQGMO_DEFAULT};
    gmo.Options = options;
    gmo.WaitInterval = waitMs;
    std::string buffer(32768, '\0');
    MQLONG length = 0, cc, rc;
    MQGET(h, o, &md, &gmo, static_cast<MQLONG>(buffer.size()), buffer.data(), &length, &cc,
          &rc);
    text = rc == MQRC_NONE ? buffer.substr(0, static_cast<size_t>(length)) : "";
    if (backouts != nullptr) *backouts = md.BackoutCount;
    return rc;
  }

  std::string store_;
  std::string qmgr_;
};

TEST_F(PostgresStore, UnreachableServerGives2059) {
  setenv("QM_STORE", "postgresql:///qt?host=/nonexistent-qt-socket-dir&port=5432", 1);
  MQLONG reason = 0;
  connect(&reason);
  EXPECT_EQ(reason, MQRC_Q_MGR_NOT_AVAILABLE);
  mqi::Status made = mqi::createQueueManager("NOSERVER", {});
  EXPECT_FALSE(made.ok());
  EXPECT_EQ(made.reason(), MQRC_Q_MGR_NOT_AVAILABLE) << made.message();
  EXPECT_NE(made.message().find("cannot reach the PostgreSQL server"), std::string::npos)
      << made.message();
  EXPECT_NE(mqi::lastConnectError().find("/nonexistent-qt-socket-dir"), std::string::npos)
      << mqi::lastConnectError();
}

// The calls of several statements (a commit, an open for input, a disconnect) run them together:
// one transaction, so a failure undoes what came before it, and a setting made for the
// transaction (a commit's synchronous_commit) holds for all of them and ends with them. A
// statement the server refused to prepare is prepared again when it next runs.
TEST_F(PostgresStore, StatementsRunTogetherShareOneTransaction) {
  mqi::pg::Conn conn;
  ASSERT_TRUE(conn.open(store_));
  const std::string insert = "INSERT INTO together VALUES(1)";
  const std::string broken = "SELECT 1/0";
  const std::string count = "SELECT count(*) FROM together";
  const std::string flush = "SELECT set_config('synchronous_commit', 'off', true)";
  const std::string setting = "SELECT current_setting('synchronous_commit')";
  mqi::pg::Params none;
  std::vector<mqi::pg::Rows> early = conn.runTogether({{insert, none}});
  EXPECT_EQ(early[0].sqlState(), "42P01");  // no such table yet
  ASSERT_TRUE(conn.exec("CREATE TEMPORARY TABLE together(v int)").ok());

  std::vector<mqi::pg::Rows> failed =
      conn.runTogether({{insert, none}, {broken, none}, {insert, none}});
  EXPECT_TRUE(failed[0].ok());
  EXPECT_EQ(failed[1].sqlState(), "22012");
  EXPECT_FALSE(failed[2].ok());
  EXPECT_EQ(conn.run(count, none).text(0, 0), "0") << "the first insert was rolled back";

  std::vector<mqi::pg::Rows> done =
      conn.runTogether({{flush, none}, {insert, none}, {setting, none}, {count, none}});
  ASSERT_TRUE(done[3].ok());
  EXPECT_EQ(done[2].text(0, 0), "off");
  EXPECT_EQ(done[3].text(0, 0), "1");
  EXPECT_EQ(conn.run(setting, none).text(0, 0), "on") << "the setting ended with them";
}

// A refused password and a missing database each name their cause, to the operator and in the
// agents' log, and the password shows nowhere.
TEST_F(PostgresStore, ConnectFailuresNameTheirCauseWithoutThePassword) {
  std::string socket = environmentValue("PG_TEST_SOCKET_DIR");
  auto failure = [&](const std::string& location) {
    setenv("QM_STORE", location.c_str(), 1);
    MQLONG reason = 0;
    connect(&reason);
    EXPECT_EQ(reason, MQRC_Q_MGR_NOT_AVAILABLE);
    std::string logged = mqi::lastConnectError();
    mqi::Status made = mqi::createQueueManager("NOLOGIN", {});
    EXPECT_FALSE(made.ok());
    return logged + " | " + made.message();
  };
  std::string refused =
      failure("postgresql://qtpass:wrong-s3cret@/qt?host=" + socket + "&port=5432");
  EXPECT_NE(refused.find("password authentication failed"), std::string::npos) << refused;
  EXPECT_NE(refused.find("refused the login"), std::string::npos) << refused;
  EXPECT_EQ(refused.find("wrong-s3cret"), std::string::npos) << refused;
  std::string unknown = failure("postgresql:///nosuchdb?host=" + socket +
                                "&port=5432&user=qtpass&password=qt-right-pw");
  EXPECT_NE(unknown.find("has no such database"), std::string::npos) << unknown;
  EXPECT_EQ(unknown.find("qt-right-pw"), std::string::npos) << unknown;
  // The right password connects, and the text of the last failure goes with the next MQCONN.
  setenv("QM_STORE", ("postgresql://qtpass:qt-right-pw@/qt?host=" + socket + "&port=5432").c_str(),
         1);
  MQLONG reason = 0;
  MQHCONN h = connect(&reason);
  EXPECT_EQ(reason, MQRC_NONE);
  EXPECT_EQ(mqi::lastConnectError(), "");
  MQLONG cc, rc;
  MQDISC(&h, &cc, &rc);
}

// Committed messages survive, an open unit of work is backed out (its get comes back with
// BackoutCount 1, its put vanishes), old connections fail with 2009 and new ones get 2059
// until the server is back.
TEST_F(PostgresStore, ServerRestartLosesNothingCommitted) {
  MQHCONN h = connect();
  MQHOBJ q = open(h, MQOO_INPUT_SHARED | MQOO_OUTPUT);
  ASSERT_EQ(put(h, q, "kept", MQPMO_NO_SYNCPOINT), MQRC_NONE);
  ASSERT_EQ(put(h, q, "taken", MQPMO_NO_SYNCPOINT), MQRC_NONE);
  std::string text;
  ASSERT_EQ(get(h, q, MQGMO_SYNCPOINT, text), MQRC_NONE);
  ASSERT_EQ(text, "kept");
  ASSERT_EQ(put(h, q, "uncommitted", MQPMO_SYNCPOINT), MQRC_NONE);

  serverControl("stop");
  EXPECT_EQ(put(h, q, "lost", MQPMO_NO_SYNCPOINT), MQRC_CONNECTION_BROKEN);
  MQLONG cc, rc;
  MQDISC(&h, &cc, &rc);  // the old connection is gone; disconnecting it must not hang or crash
  MQLONG reason = 0;
  connect(&reason);
  EXPECT_EQ(reason, MQRC_Q_MGR_NOT_AVAILABLE);
  serverControl("start");

  MQHCONN again = connect(&reason);
  ASSERT_EQ(reason, MQRC_NONE);
  MQHOBJ q2 = open(again, MQOO_INPUT_SHARED);
  MQLONG backouts = -1;
  ASSERT_EQ(get(again, q2, MQGMO_NO_SYNCPOINT, text, &backouts), MQRC_NONE);
  EXPECT_EQ(text, "kept");
  EXPECT_EQ(backouts, 1);
  ASSERT_EQ(get(again, q2, MQGMO_NO_SYNCPOINT, text), MQRC_NONE);
  EXPECT_EQ(text, "taken");
  EXPECT_EQ(get(again, q2, MQGMO_NO_SYNCPOINT, text), MQRC_NO_MSG_AVAILABLE) << text;
  MQDISC(&again, &cc, &rc);
}

// A waiting get ends with a connection reason when the server goes away, instead of waiting on.
TEST_F(PostgresStore, WaitingGetEndsWhenTheServerStops) {
  MQLONG waited = 0;
  std::thread waiter([&] {
    MQHCONN h = connect();
    MQHOBJ q = open(h, MQOO_INPUT_SHARED);
    std::string text;
    waited = get(h, q, MQGMO_WAIT | MQGMO_NO_SYNCPOINT, text);
    MQLONG cc, rc;
    MQDISC(&h, &cc, &rc);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  serverControl("stop");
  waiter.join();
  serverControl("start");
  EXPECT_TRUE(waited == MQRC_CONNECTION_BROKEN || waited == MQRC_Q_MGR_STOPPING) << waited;
}

// Waiting getters sleep until a notification on their queue's channel: each change that makes
// a message available must send one (a put outside syncpoint, a commit of puts, a backout of
// gets), or the getters only see it at their next periodic look.
TEST_F(PostgresStore, ChangesThatMakeMessagesAvailableNotifyWaiters) {
  PGconn* listener = PQconnectdb(store_.c_str());
  ASSERT_EQ(PQstatus(listener), CONNECTION_OK);
  PGresult* id = PQexec(listener, ("SELECT id FROM mqi.queues WHERE qmgr='" + qmgr_ +
                                   "' AND name='Q1'").c_str());
  ASSERT_EQ(PQntuples(id), 1);
  std::string channel = "qt.q." + std::string(PQgetvalue(id, 0, 0));
  PQclear(id);
  PQclear(PQexec(listener, ("LISTEN \"" + channel + "\"").c_str()));
  // True when a notification on the channel arrives within 10 s; takes all that arrived.
  auto notified = [&] {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool seen = false;
    while (!seen && std::chrono::steady_clock::now() < until) {
      pollfd fd = {PQsocket(listener), POLLIN, 0};
      poll(&fd, 1, 100);
      PQconsumeInput(listener);
      while (PGnotify* n = PQnotifies(listener)) {
        seen = seen || channel == n->relname;
        PQfreemem(n);
      }
    }
    return seen;
  };

  MQHCONN h = connect();
  MQHOBJ q = open(h, MQOO_INPUT_SHARED | MQOO_OUTPUT);
  MQLONG cc, rc;
  ASSERT_EQ(put(h, q, "now", MQPMO_NO_SYNCPOINT), MQRC_NONE);
  EXPECT_TRUE(notified()) << "put outside syncpoint";
  ASSERT_EQ(put(h, q, "later", MQPMO_SYNCPOINT), MQRC_NONE);
  MQCMIT(h, &cc, &rc);
  ASSERT_EQ(rc, MQRC_NONE);
  EXPECT_TRUE(notified()) << "commit";
  std::string text;
  ASSERT_EQ(get(h, q, MQGMO_SYNCPOINT, text), MQRC_NONE);
  MQBACK(h, &cc, &rc);
  ASSERT_EQ(rc, MQRC_NONE);
  EXPECT_TRUE(notified()) << "backout of a get";
  MQDISC(&h, &cc, &rc);
  PQfinish(listener);
}

// The first users of a fresh database race to create the schema; all of them succeed.
TEST_F(PostgresStore, SchemaIsMadeOnceByConcurrentFirstUsers) {
  std::string database = "fresh" + std::to_string(getpid());
  PGconn* admin = PQconnectdb(store_.c_str());
  ASSERT_EQ(PQstatus(admin), CONNECTION_OK);
  PQclear(PQexec(admin, ("CREATE DATABASE " + database).c_str()));
  std::string fresh = store_;
  fresh.replace(fresh.find("/qt?"), 4, "/" + database + "?");
  setenv("QM_STORE", fresh.c_str(), 1);
  std::vector<std::thread> users;
  std::atomic<int> made{0};
  for (int i = 0; i < 4; ++i)
    users.emplace_back([&, i] {
      mqi::Status s = mqi::createQueueManager("FIRST" + std::to_string(i), {});
      if (s.ok()) ++made;
      else ADD_FAILURE() << s.message();
    });
  for (auto& t : users) t.join();
  EXPECT_EQ(made.load(), 4);
  mqi::Result<std::vector<mqi::QueueManagerInfo>> listed = mqi::listQueueManagers();
  ASSERT_TRUE(listed.ok()) << listed.status.message();
  EXPECT_EQ(listed.value.size(), 4u);
  int defaults = 0;
  for (const auto& qm : listed.value) defaults += qm.isDefault ? 1 : 0;
  EXPECT_EQ(defaults, 1) << "exactly one queue manager is the default";
  PQclear(PQexec(admin, ("DROP DATABASE " + database + " WITH (FORCE)").c_str()));
  PQfinish(admin);
}

// A one-statement get that takes a message the caller cannot receive (truncation) puts it
// back in its place: same order, same depth, same BackoutCount.
TEST_F(PostgresStore, TruncatedGetInsideAUnitOfWorkLeavesTheMessageInPlace) {
  MQHCONN h = connect();
  MQHOBJ q = open(h, MQOO_INPUT_SHARED | MQOO_OUTPUT);
  ASSERT_EQ(put(h, q, "first message", MQPMO_NO_SYNCPOINT), MQRC_NONE);
  ASSERT_EQ(put(h, q, "second", MQPMO_NO_SYNCPOINT), MQRC_NONE);
  MQMD md = {MQMD_DEFAULT};
  MQGMO gmo = {MQGMO_DEFAULT};
  gmo.Options = MQGMO_SYNCPOINT | MQGMO_NO_WAIT;
  char small[4];
  MQLONG length = 0, cc, rc;
  MQGET(h, q, &md, &gmo, sizeof small, small, &length, &cc, &rc);
  EXPECT_EQ(rc, MQRC_TRUNCATED_MSG_FAILED);
  mqi::Result<mqi::QueueInfo> info = mqi::describeQueue(qmgr_, "Q1");
  ASSERT_TRUE(info.ok());
  EXPECT_EQ(info.value.currentDepth, 2);
  std::string text;
  MQLONG backouts = -1;
  ASSERT_EQ(get(h, q, MQGMO_SYNCPOINT | MQGMO_NO_WAIT, text, &backouts), MQRC_NONE);
  EXPECT_EQ(text, "first message");
  EXPECT_EQ(backouts, 0);
  MQCMIT(h, &cc, &rc);
  EXPECT_EQ(rc, MQRC_NONE);
  MQDISC(&h, &cc, &rc);
}

// A commit makes final only what its unit holds: units of gets alone, of puts alone and of both
// follow one another on one connection, and each leaves exactly its own changes.
TEST_F(PostgresStore, SuccessiveUnitsOfWorkOnOneConnectionEachCommitTheirOwn) {
  MQHCONN h = connect();
  MQHOBJ q = open(h, MQOO_INPUT_SHARED | MQOO_OUTPUT);
  MQHCONN other = connect();
  MQHOBJ browse = open(other, MQOO_BROWSE);
  auto depth = [&] { return mqi::describeQueue(qmgr_, "Q1").value.currentDepth; };
  auto first = [&] {  // the first committed message, as another connection sees it
    std::string text;
    get(other, browse, MQGMO_BROWSE_FIRST | MQGMO_NO_WAIT, text);
    return text;
  };
  MQLONG cc, rc;
  std::string text;
  ASSERT_EQ(put(h, q, "a", MQPMO_NO_SYNCPOINT), MQRC_NONE);
  ASSERT_EQ(put(h, q, "b", MQPMO_NO_SYNCPOINT), MQRC_NONE);

  ASSERT_EQ(get(h, q, MQGMO_SYNCPOINT, text), MQRC_NONE);  // gets alone
  MQCMIT(h, &cc, &rc);
  ASSERT_EQ(rc, MQRC_NONE);
  EXPECT_EQ(depth(), 1);
  EXPECT_EQ(first(), "b");

  ASSERT_EQ(put(h, q, "c", MQPMO_SYNCPOINT), MQRC_NONE);  // puts alone
  EXPECT_EQ(depth(), 2) << "an uncommitted put counts for everyone at once";
  MQCMIT(h, &cc, &rc);
  ASSERT_EQ(rc, MQRC_NONE);

  ASSERT_EQ(get(h, q, MQGMO_SYNCPOINT, text), MQRC_NONE);  // both
  ASSERT_EQ(text, "b");
  ASSERT_EQ(put(h, q, "d", MQPMO_SYNCPOINT), MQRC_NONE);
  MQCMIT(h, &cc, &rc);
  ASSERT_EQ(rc, MQRC_NONE);
  EXPECT_EQ(depth(), 2);
  EXPECT_EQ(first(), "c");

  ASSERT_EQ(get(h, q, MQGMO_SYNCPOINT, text), MQRC_NONE);  // both, backed out
  ASSERT_EQ(put(h, q, "e", MQPMO_SYNCPOINT), MQRC_NONE);
  MQBACK(h, &cc, &rc);
  ASSERT_EQ(rc, MQRC_NONE);
  MQLONG backouts = -1;
  ASSERT_EQ(get(other, open(other, MQOO_INPUT_SHARED), MQGMO_NO_SYNCPOINT, text, &backouts),
            MQRC_NONE);
  EXPECT_EQ(text, "c");
  EXPECT_EQ(backouts, 1);
  EXPECT_EQ(depth(), 1) << "d is left, e is gone";
  MQDISC(&other, &cc, &rc);
  MQDISC(&h, &cc, &rc);
}

// MQDISC keeps the server connection for the next MQCONN of the process, which must find none
// of the last session's state on it: its unit of work, the messages it held, its lock.
TEST_F(PostgresStore, AReusedConnectionCarriesNothingOfTheLastSession) {
  PGconn* c = PQconnectdb(store_.c_str());
  ASSERT_EQ(PQstatus(c), CONNECTION_OK);
  auto value = [c](const std::string& sql) {
    PGresult* r = PQexec(c, sql.c_str());
    std::string v = PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1
                        ? PQgetvalue(r, 0, 0) : "?";
    PQclear(r);
    return v;
  };
  const std::string sessionLocks =
      "FROM pg_locks WHERE locktype='advisory' AND classid=1364459521::oid AND granted";
  const std::string ownBackends =
      "SELECT count(*) FROM pg_stat_activity WHERE datname='qt' AND pid<>pg_backend_pid()";
  const std::string locksBefore = value("SELECT count(*) " + sessionLocks);

  MQHCONN h = connect();
  MQHOBJ q = open(h, MQOO_INPUT_SHARED | MQOO_OUTPUT);
  ASSERT_EQ(put(h, q, "first", MQPMO_NO_SYNCPOINT), MQRC_NONE);
  std::string text;
  ASSERT_EQ(get(h, q, MQGMO_SYNCPOINT, text), MQRC_NONE);  // held by the unit of work
  ASSERT_EQ(put(h, q, "second", MQPMO_SYNCPOINT), MQRC_NONE);
  const std::string firstPid = value("SELECT string_agg(pid::text, ',') " + sessionLocks);
  const std::string backends = value(ownBackends);
  MQLONG cc, rc;
  MQDISC(&h, &cc, &rc);  // commits: "first" gone, "second" there
  ASSERT_EQ(rc, MQRC_NONE);
  EXPECT_EQ(value("SELECT count(*) " + sessionLocks), locksBefore) << "the lock went";

  h = connect();
  EXPECT_EQ(value(ownBackends), backends) << "no new server connection";
  EXPECT_EQ(value("SELECT count(*) FROM mqi.sessions WHERE qmgr='" + qmgr_ + "'"), "1");
  EXPECT_EQ(value("SELECT string_agg(pid::text, ',') " + sessionLocks), firstPid);
  q = open(h, MQOO_INPUT_SHARED | MQOO_OUTPUT);
  ASSERT_EQ(put(h, q, "third", MQPMO_SYNCPOINT), MQRC_NONE);
  MQBACK(h, &cc, &rc);  // backs out "third" alone
  ASSERT_EQ(rc, MQRC_NONE);
  ASSERT_EQ(get(h, q, MQGMO_NO_SYNCPOINT | MQGMO_NO_WAIT, text), MQRC_NONE);
  EXPECT_EQ(text, "second");
  EXPECT_EQ(get(h, q, MQGMO_NO_SYNCPOINT | MQGMO_NO_WAIT, text), MQRC_NO_MSG_AVAILABLE);
  MQDISC(&h, &cc, &rc);
  PQfinish(c);
}

// Messages, handles and sessions carry no foreign keys: what goes with a queue, a session or a
// queue manager is deleted explicitly, and nothing is left behind.
TEST_F(PostgresStore, NoRowsOutliveTheirQueueSessionOrQueueManager) {
  ASSERT_TRUE(mqi::defineQueue(qmgr_, "Q2", {}).ok());
  MQHCONN h = connect();
  MQHOBJ q1 = open(h, MQOO_INPUT_SHARED | MQOO_OUTPUT);
  MQHOBJ q2 = open(h, MQOO_OUTPUT, "Q2");
  MQLONG cc, rc;
  ASSERT_EQ(put(h, q1, "one", MQPMO_NO_SYNCPOINT), MQRC_NONE);
  MQMD md = {MQMD_DEFAULT};
  MQPMO pmo = {MQPMO_DEFAULT};
  char two[] = "two";
  MQPUT(h, q2, &md, &pmo, 3, two, &cc, &rc);
  ASSERT_EQ(rc, MQRC_NONE);
  MQDISC(&h, &cc, &rc);  // handles still open: they go with the session
  ASSERT_EQ(rc, MQRC_NONE);
  ASSERT_TRUE(mqi::deleteQueue(qmgr_, "Q2", true).ok());

  PGconn* c = PQconnectdb(store_.c_str());
  ASSERT_EQ(PQstatus(c), CONNECTION_OK);
  auto count = [c](const std::string& sql) {
    PGresult* r = PQexec(c, sql.c_str());
    long n = PQresultStatus(r) == PGRES_TUPLES_OK ? std::atol(PQgetvalue(r, 0, 0)) : -1;
    PQclear(r);
    return n;
  };
  const char* orphans =
      "SELECT (SELECT count(*) FROM mqi.messages m WHERE NOT EXISTS"
      " (SELECT 1 FROM mqi.queues q WHERE q.id=m.queue_id))"
      " + (SELECT count(*) FROM mqi.handles h WHERE NOT EXISTS"
      " (SELECT 1 FROM mqi.queues q WHERE q.id=h.queue_id) OR NOT EXISTS"
      " (SELECT 1 FROM mqi.sessions s WHERE s.id=h.session_id))"
      " + (SELECT count(*) FROM mqi.sessions s WHERE NOT EXISTS"
      " (SELECT 1 FROM mqi.qmgrs m WHERE m.name=s.qmgr))";
  EXPECT_EQ(count(orphans), 0) << "after a disconnect with open handles and a queue deleted";
  std::string mine = "SELECT count(*) FROM mqi.sessions WHERE qmgr='" + qmgr_ + "'";
  EXPECT_EQ(count(mine), 0);
  // The check agrees, and finds a depth that no longer counts the messages.
  mqi::Result<mqi::CheckReport> checked = mqi::checkQueueManager(qmgr_);
  ASSERT_TRUE(checked.ok()) << checked.status.message();
  EXPECT_TRUE(checked.value.ok()) << checked.value.problems.front();
  PQclear(PQexec(c, ("UPDATE mqi.queues SET depth=depth+5 WHERE qmgr='" + qmgr_ + "'").c_str()));
  checked = mqi::checkQueueManager(qmgr_);
  ASSERT_EQ(checked.value.problems.size(), 1u);
  EXPECT_NE(checked.value.problems[0].find("queues whose depth differs"), std::string::npos);
  PQclear(PQexec(c, ("UPDATE mqi.queues SET depth=depth-5 WHERE qmgr='" + qmgr_ + "'").c_str()));

  // A session whose connection simply ends leaves its rows; a stop and a delete clear them.
  h = connect();
  open(h, MQOO_INPUT_SHARED);
  ASSERT_TRUE(mqi::stopQueueManager(qmgr_, false).ok());
  ASSERT_TRUE(mqi::deleteQueueManager(qmgr_).ok());
  qmgr_.clear();
  EXPECT_EQ(count(orphans), 0) << "after the queue manager was deleted";
  MQDISC(&h, &cc, &rc);
  PQfinish(c);
}

// A database made by an earlier version (foreign keys, the old dead-session function) is
// brought up to date by the first administrative call, and sessions work on it.
TEST_F(PostgresStore, AnOlderSchemaIsBroughtUpToDate) {
  PGconn* c = PQconnectdb(store_.c_str());
  ASSERT_EQ(PQstatus(c), CONNECTION_OK);
  PGresult* r = PQexec(
      c,
      "DROP INDEX mqi.messages_held;"
      " ALTER TABLE mqi.handles ADD CONSTRAINT handles_session_id_fkey FOREIGN KEY (session_id)"
      " REFERENCES mqi.sessions(id) ON DELETE CASCADE;"
      " ALTER TABLE mqi.messages ADD CONSTRAINT messages_queue_id_fkey FOREIGN KEY (queue_id)"
      " REFERENCES mqi.queues(id) ON DELETE CASCADE;"
      " CREATE FUNCTION mqi.reap(qm text) RETURNS int LANGUAGE sql AS 'SELECT 0';"
      " ALTER TABLE mqi.queues DROP COLUMN backout_threshold, DROP COLUMN backout_queue;"
      " ALTER TABLE mqi.qmgrs DROP COLUMN dead_letter, DROP COLUMN def_backout, DROP COLUMN lease;"
      " ALTER TABLE mqi.sessions DROP COLUMN renewed;"
      " ALTER TABLE mqi.messages DROP COLUMN data_from");
  ASSERT_EQ(PQresultStatus(r), PGRES_COMMAND_OK) << PQresultErrorMessage(r);
  PQclear(r);
  ASSERT_TRUE(mqi::defineQueue(qmgr_, "Q2", {}).ok());
  r = PQexec(c, "SELECT (SELECT count(*) FROM pg_constraint WHERE contype='f'"
                " AND conrelid IN ('mqi.messages'::regclass, 'mqi.handles'::regclass)),"
                " (SELECT count(*) FROM pg_indexes WHERE schemaname='mqi'"
                " AND indexname='messages_held'),"
                " (SELECT count(*) FROM pg_attribute WHERE attrelid='mqi.messages'::regclass"
                " AND attname='data_from')");
  ASSERT_EQ(PQresultStatus(r), PGRES_TUPLES_OK);
  EXPECT_STREQ(PQgetvalue(r, 0, 0), "0");
  EXPECT_STREQ(PQgetvalue(r, 0, 1), "1");
  EXPECT_STREQ(PQgetvalue(r, 0, 2), "1");
  PQclear(r);
  PQfinish(c);
  // Its queues gained the poison attributes, with none set.
  mqi::Result<mqi::QueueInfo> q2 = mqi::describeQueue(qmgr_, "Q2");
  ASSERT_TRUE(q2.ok()) << q2.status.message();
  EXPECT_EQ(q2.value.backoutThreshold, 0);
  EXPECT_EQ(mqi::describeQueueManager(qmgr_).value.deadLetterQName, "");
  EXPECT_EQ(mqi::describeQueueManager(qmgr_).value.sessionLeaseSeconds, mqi::kDefaultSessionLease);
  MQHCONN h = connect();
  MQHOBJ q = open(h, MQOO_INPUT_EXCLUSIVE | MQOO_OUTPUT);
  ASSERT_EQ(put(h, q, "after the upgrade", MQPMO_NO_SYNCPOINT), MQRC_NONE);
  std::string text;
  EXPECT_EQ(get(h, q, MQGMO_SYNCPOINT | MQGMO_NO_WAIT, text), MQRC_NONE);
  EXPECT_EQ(text, "after the upgrade");
  MQLONG cc, rc;
  MQDISC(&h, &cc, &rc);
  EXPECT_EQ(rc, MQRC_NONE);
}

// A session whose process stops (SIGSTOP: its connection open, its machine up, nothing
// answering) loses its lease: another session gets its message back within the lease, whatever
// TCP says, and the stopped process, once continued, cannot commit it and connects anew.
TEST_F(PostgresStore, AStoppedSessionLosesItsLeaseAndNeverCommitsStaleWork) {
  constexpr int kLeaseSeconds = 2;
  mqi::QueueManagerChanges lease;
  lease.sessionLeaseSeconds = kLeaseSeconds;
  ASSERT_TRUE(mqi::alterQueueManager(qmgr_, lease).ok());
  EXPECT_EQ(mqi::describeQueueManager(qmgr_).value.sessionLeaseSeconds, kLeaseSeconds);
  lease.sessionLeaseSeconds = kLeaseSeconds - 1;
  EXPECT_FALSE(mqi::alterQueueManager(qmgr_, lease).ok()) << "too short to renew in time";
  MQHCONN h = connect();
  MQHOBJ q = open(h, MQOO_INPUT_SHARED | MQOO_OUTPUT);
  ASSERT_EQ(put(h, q, "job", MQPMO_NO_SYNCPOINT), MQRC_NONE);

  int toPeer[2], fromPeer[2];
  ASSERT_EQ(pipe(toPeer), 0);
  ASSERT_EQ(pipe(fromPeer), 0);
  pid_t peer = fork();
  ASSERT_GE(peer, 0);
  if (peer == 0) {  // gets the job under syncpoint, then (after the stop) commits and reconnects
    // A group of its own: a stopped member of a group that becomes orphaned gets SIGHUP.
    setpgid(0, 0);
    MQHCONN p = connect();
    MQHOBJ pq = open(p, MQOO_INPUT_SHARED);
    std::string got;
    MQLONG results[3] = {get(p, pq, MQGMO_SYNCPOINT | MQGMO_NO_WAIT, got), 0, 0};
    if (write(fromPeer[1], results, sizeof results[0]) < 0) _exit(1);
    char go;
    if (read(toPeer[0], &go, 1) != 1) _exit(1);
    MQLONG cc;
    MQCMIT(p, &cc, &results[1]);
    MQDISC(&p, &cc, &results[2]);
    connect(&results[2]);
    if (write(fromPeer[1], results + 1, 2 * sizeof results[0]) < 0) _exit(1);
    _exit(0);
  }
  // A peer that ends early gives an end of file, not a wait for ever.
  close(fromPeer[1]);
  close(toPeer[0]);
  MQLONG peerGot = -1;
  ASSERT_EQ(read(fromPeer[0], &peerGot, sizeof peerGot), static_cast<ssize_t>(sizeof peerGot));
  ASSERT_EQ(peerGot, MQRC_NONE);
  ASSERT_EQ(kill(peer, SIGSTOP), 0);
  auto stopped = std::chrono::steady_clock::now();

  std::string text;
  MQLONG backouts = -1;
  EXPECT_EQ(get(h, q, MQGMO_WAIT | MQGMO_SYNCPOINT, text, &backouts, 15000), MQRC_NONE);
  auto took = std::chrono::steady_clock::now() - stopped;
  EXPECT_EQ(text, "job");
  EXPECT_EQ(backouts, 1);
  EXPECT_LT(took, std::chrono::seconds(kLeaseSeconds + 3));

  ASSERT_EQ(kill(peer, SIGCONT), 0);
  ASSERT_EQ(write(toPeer[1], "g", 1), 1);
  MQLONG peerResults[2] = {-1, -1};
  ASSERT_EQ(read(fromPeer[0], peerResults, sizeof peerResults),
            static_cast<ssize_t>(sizeof peerResults));
  EXPECT_EQ(peerResults[0], MQRC_CONNECTION_BROKEN) << "the stale commit";
  EXPECT_EQ(peerResults[1], MQRC_NONE) << "the new connection";
  int status = 0;
  waitpid(peer, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  MQLONG cc, rc;
  MQCMIT(h, &cc, &rc);
  EXPECT_EQ(rc, MQRC_NONE);
  EXPECT_EQ(get(h, q, MQGMO_NO_SYNCPOINT | MQGMO_NO_WAIT, text), MQRC_NO_MSG_AVAILABLE)
      << "the job once, no copy: " << text;
  mqi::Result<mqi::CheckReport> checked = mqi::checkQueueManager(qmgr_);
  ASSERT_TRUE(checked.ok());
  EXPECT_TRUE(checked.value.ok()) << checked.value.problems.front();
  MQDISC(&h, &cc, &rc);
  for (int fd : {toPeer[1], fromPeer[0]}) close(fd);
}

// Input modes hold across processes, and a dead holder never blocks: the open that finds its
// exclusive handle backs its session out first. MQINQ counts the handles that are left.
TEST_F(PostgresStore, ADeadProcessesExclusiveHandleGivesWayToTheNextOpen) {
  int fromPeer[2];
  ASSERT_EQ(pipe(fromPeer), 0);
  pid_t peer = fork();
  ASSERT_GE(peer, 0);
  if (peer == 0) {  // holds Q1 for exclusive input until killed
    MQHCONN p = connect();
    MQOD od = {MQOD_DEFAULT};
    setField(od.ObjectName, 48, "Q1");
    MQHOBJ o = MQHO_UNUSABLE_HOBJ;
    MQLONG cc, rc;
    MQOPEN(p, &od, MQOO_INPUT_EXCLUSIVE, &o, &cc, &rc);
    if (write(fromPeer[1], &rc, sizeof rc) < 0) _exit(1);
    pause();
    _exit(0);
  }
  close(fromPeer[1]);  // a peer that ends early gives an end of file
  MQLONG peerOpened = -1;
  ASSERT_EQ(read(fromPeer[0], &peerOpened, sizeof peerOpened),
            static_cast<ssize_t>(sizeof peerOpened));
  ASSERT_EQ(peerOpened, MQRC_NONE);

  MQHCONN h = connect();
  MQOD od = {MQOD_DEFAULT};
  setField(od.ObjectName, 48, "Q1");
  MQHOBJ refused = MQHO_UNUSABLE_HOBJ;
  MQLONG cc, rc;
  for (MQLONG mode : {MQOO_INPUT_SHARED, MQOO_INPUT_EXCLUSIVE}) {
    MQOPEN(h, &od, mode, &refused, &cc, &rc);
    EXPECT_EQ(rc, MQRC_OBJECT_IN_USE) << "input mode " << mode;
  }
  MQHOBJ inquire = open(h, MQOO_INQUIRE | MQOO_OUTPUT);
  auto openInputCount = [&] {
    MQLONG selector = MQIA_OPEN_INPUT_COUNT, count = -1;
    MQINQ(h, inquire, 1, &selector, 1, &count, 0, nullptr, &cc, &rc);
    EXPECT_EQ(rc, MQRC_NONE);
    return count;
  };
  EXPECT_EQ(openInputCount(), 1);

  ASSERT_EQ(kill(peer, SIGKILL), 0);
  int status = 0;
  waitpid(peer, &status, 0);
  MQHOBJ mine = open(h, MQOO_INPUT_EXCLUSIVE);
  EXPECT_EQ(openInputCount(), 1) << "the dead handle gone, this one counted";
  MQCLOSE(h, &mine, MQCO_NONE, &cc, &rc);
  EXPECT_EQ(rc, MQRC_NONE);
  EXPECT_EQ(openInputCount(), 0);
  MQDISC(&h, &cc, &rc);
  close(fromPeer[0]);
}

// A put that passes on the payload its unit of work just got (a router's segment) stores none:
// the commit moves the got message into the put's place. Whatever ends the unit, each message
// is whole where it should be: a backout, a commit (in the order put, the same payload put
// twice), and a source queue deleted before the commit.
TEST_F(PostgresStore, APassedOnPayloadMovesWithItsUnitOfWork) {
  ASSERT_TRUE(mqi::defineQueue(qmgr_, "Q2", {}).ok());
  MQHCONN h = connect();
  MQHOBJ in = open(h, MQOO_INPUT_SHARED | MQOO_OUTPUT);
  MQHOBJ out = open(h, MQOO_INPUT_SHARED | MQOO_OUTPUT, "Q2");
  MQLONG cc, rc, backouts = -1;
  std::string payload(24575, '\0'), got;
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7 + i / 251);
  std::string other = payload;
  other[100] ^= 1;
  const MQLONG kUnit = MQGMO_SYNCPOINT | MQGMO_NO_WAIT, kNow = MQGMO_NO_SYNCPOINT | MQGMO_NO_WAIT;

  ASSERT_EQ(put(h, out, "first on Q2", MQPMO_NO_SYNCPOINT), MQRC_NONE);
  ASSERT_EQ(put(h, in, payload, MQPMO_NO_SYNCPOINT), MQRC_NONE);
  ASSERT_EQ(get(h, in, kUnit, got), MQRC_NONE);
  ASSERT_EQ(put(h, out, got, MQPMO_SYNCPOINT), MQRC_NONE);
  MQBACK(h, &cc, &rc);
  ASSERT_EQ(rc, MQRC_NONE);
  EXPECT_EQ(mqi::describeQueue(qmgr_, "Q2").value.currentDepth, 1);

  ASSERT_EQ(get(h, in, kUnit, got, &backouts), MQRC_NONE);
  EXPECT_EQ(got, payload);
  EXPECT_EQ(backouts, 1);
  ASSERT_EQ(put(h, out, other, MQPMO_SYNCPOINT), MQRC_NONE);  // another payload: copied
  ASSERT_EQ(put(h, out, got, MQPMO_SYNCPOINT), MQRC_NONE);    // moved
  ASSERT_EQ(put(h, out, got, MQPMO_SYNCPOINT), MQRC_NONE);    // the same again: copied
  MQCMIT(h, &cc, &rc);
  ASSERT_EQ(rc, MQRC_NONE);
  EXPECT_EQ(get(h, in, kNow, got), MQRC_NO_MSG_AVAILABLE);
  for (const std::string& expected : {std::string("first on Q2"), other, payload, payload}) {
    ASSERT_EQ(get(h, out, kNow, got, &backouts), MQRC_NONE);
    EXPECT_EQ(got, expected) << "in the order put";
    EXPECT_EQ(backouts, 0);
  }

  ASSERT_EQ(put(h, in, payload, MQPMO_NO_SYNCPOINT), MQRC_NONE);
  ASSERT_EQ(get(h, in, kUnit, got), MQRC_NONE);
  ASSERT_EQ(put(h, out, got, MQPMO_SYNCPOINT), MQRC_NONE);
  MQCLOSE(h, &in, MQCO_NONE, &cc, &rc);
  ASSERT_TRUE(mqi::deleteQueue(qmgr_, "Q1", true).ok());
  MQCMIT(h, &cc, &rc);
  EXPECT_EQ(rc, MQRC_BACKED_OUT);
  EXPECT_EQ(get(h, out, kNow, got), MQRC_NO_MSG_AVAILABLE);
  MQDISC(&h, &cc, &rc);
  mqi::Result<mqi::CheckReport> checked = mqi::checkQueueManager(qmgr_);
  ASSERT_TRUE(checked.ok());
  EXPECT_TRUE(checked.value.ok()) << checked.value.problems.front();
}

// A get by MsgId and CorrelId (the router and qdrop taking a file's segments one by one) seeks
// its message, whatever the statistics say: here they were gathered while the messages were
// still in their loading unit of work, which once made every such get walk the queue.
TEST_F(PostgresStore, GetsByCorrelIdSeekTheirMessageWhateverTheStatistics) {
  constexpr int kMessages = 200;
  PGconn* c = PQconnectdb(store_.c_str());
  ASSERT_EQ(PQstatus(c), CONNECTION_OK);
  auto indexStat = [c](const std::string& column, const std::string& index) {
    PGresult* r = PQexec(c, ("SELECT " + column + " FROM pg_stat_user_indexes"
                             " WHERE indexrelname='" + index + "'").c_str());
    long n = PQresultStatus(r) == PGRES_TUPLES_OK ? std::atol(PQgetvalue(r, 0, 0)) : -1;
    PQclear(r);
    return n;
  };
  auto segment = [](int number) {
    MQMD md = {MQMD_DEFAULT};
    std::memset(md.MsgId, 'F', sizeof md.MsgId);
    std::snprintf(reinterpret_cast<char*>(md.CorrelId), sizeof md.CorrelId, "segment %06d",
                  number);
    return md;
  };
  MQHCONN h = connect();
  MQHOBJ q = open(h, MQOO_OUTPUT);
  MQLONG cc, rc;
  for (int n = 1; n <= kMessages; ++n) {
    MQMD md = segment(n);
    ASSERT_EQ(put(h, q, "data", MQPMO_SYNCPOINT, &md), MQRC_NONE);
  }
  PQclear(PQexec(c, "ANALYZE mqi.messages"));
  MQCMIT(h, &cc, &rc);
  ASSERT_EQ(rc, MQRC_NONE);
  long seeks = indexStat("idx_scan", "messages_ids");
  long walked = indexStat("idx_tup_read", "messages_order");

  // In a process of its own, whose server connection reports its counts as it ends.
  pid_t getter = fork();
  ASSERT_GE(getter, 0);
  if (getter == 0) {
    MQHCONN g = connect();
    MQHOBJ in = open(g, MQOO_INPUT_SHARED);
    std::string text;
    for (int n = 1; n <= kMessages; ++n) {
      MQMD md = segment(n);
      if (get(g, in, MQGMO_SYNCPOINT | MQGMO_NO_WAIT, text, nullptr, 0, &md) != 0) _exit(1);
    }
    MQCMIT(g, &cc, &rc);
    _exit(rc == MQRC_NONE ? 0 : 2);
  }
  int status = 0;
  waitpid(getter, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  for (int i = 0; i < 100 && indexStat("idx_scan", "messages_ids") - seeks < kMessages &&
                  indexStat("idx_tup_read", "messages_order") - walked < kMessages;
       ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_GE(indexStat("idx_scan", "messages_ids") - seeks, kMessages);
  EXPECT_LT(indexStat("idx_tup_read", "messages_order") - walked, kMessages)
      << "the gets walked the queue in order";
  PQfinish(c);
  MQDISC(&h, &cc, &rc);
}

// An operator lists the sessions with what they hold, and ends one from any machine: its
// work is backed out at once and its next call fails with 2009.
TEST_F(PostgresStore, AnOperatorListsAndEndsSessions) {
  MQHCONN h = connect();
  MQHOBJ q = open(h, MQOO_INPUT_SHARED | MQOO_OUTPUT);
  ASSERT_EQ(put(h, q, "one", MQPMO_NO_SYNCPOINT), MQRC_NONE);
  std::string text;
  ASSERT_EQ(get(h, q, MQGMO_SYNCPOINT | MQGMO_NO_WAIT, text), MQRC_NONE);
  ASSERT_EQ(put(h, q, "two", MQPMO_SYNCPOINT), MQRC_NONE);

  mqi::Result<std::vector<mqi::SessionInfo>> listed = mqi::listSessions(qmgr_);
  ASSERT_TRUE(listed.ok()) << listed.status.message();
  ASSERT_EQ(listed.value.size(), 1u);
  const mqi::SessionInfo& s = listed.value[0];
  EXPECT_EQ(s.processId, getpid());
  EXPECT_EQ(s.program, "postgres_store_tests");
  EXPECT_EQ(s.machine.find('/'), std::string::npos) << s.machine;
  EXPECT_EQ(s.heldMessages, 2);
  EXPECT_GE(s.renewedAgoMs, 0);
  EXPECT_LT(s.renewedAgoMs, mqi::kDefaultSessionLease * 1000);
  EXPECT_GT(s.startedAt, 0);

  mqi::Result<mqi::SessionEnd> ended = mqi::endSession(qmgr_, s.id);
  ASSERT_TRUE(ended.ok()) << ended.status.message();
  EXPECT_EQ(ended.value, mqi::SessionEnd::kBackedOut);
  EXPECT_EQ(put(h, q, "three", MQPMO_SYNCPOINT), MQRC_CONNECTION_BROKEN);
  EXPECT_FALSE(mqi::endSession(qmgr_, s.id).ok()) << "ended once";
  EXPECT_TRUE(mqi::listSessions(qmgr_).value.empty());
  MQLONG cc, rc;
  MQDISC(&h, &cc, &rc);
  h = connect();
  q = open(h, MQOO_INPUT_SHARED);
  MQLONG backouts = -1;
  EXPECT_EQ(get(h, q, MQGMO_NO_SYNCPOINT | MQGMO_NO_WAIT, text, &backouts), MQRC_NONE);
  EXPECT_EQ(text, "one");
  EXPECT_EQ(backouts, 1);
  EXPECT_EQ(get(h, q, MQGMO_NO_SYNCPOINT | MQGMO_NO_WAIT, text), MQRC_NO_MSG_AVAILABLE)
      << "the uncommitted put vanished: " << text;

  // Ended where its server connection could not be (by another role): the commit proves the
  // lease in its own transaction and makes nothing final.
  MQHOBJ out = open(h, MQOO_OUTPUT);
  ASSERT_EQ(put(h, out, "four", MQPMO_NO_SYNCPOINT), MQRC_NONE);
  ASSERT_EQ(get(h, q, MQGMO_SYNCPOINT | MQGMO_NO_WAIT, text), MQRC_NONE);
  PGconn* c = PQconnectdb(store_.c_str());
  PQclear(PQexec(c, ("DELETE FROM mqi.sessions WHERE qmgr='" + qmgr_ + "'").c_str()));
  MQCMIT(h, &cc, &rc);
  EXPECT_EQ(rc, MQRC_CONNECTION_BROKEN);
  PGresult* left = PQexec(c, ("SELECT count(*) FROM mqi.messages m JOIN mqi.queues q"
                              " ON q.id=m.queue_id WHERE q.qmgr='" +
                              qmgr_ + "'")
                                 .c_str());
  EXPECT_STREQ(PQgetvalue(left, 0, 0), "1") << "the message got was not deleted";
  PQclear(left);
  PQfinish(c);
  MQDISC(&h, &cc, &rc);
}

}  // namespace
