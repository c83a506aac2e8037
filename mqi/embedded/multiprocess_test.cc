// Several processes on one queue manager: dead units of work, fork, waits across processes,
// quiesce.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "mqi/test_fixture.h"
#include "platform/platform.h"

namespace mqi::testing {
namespace {

// Runs body in a child process and returns its exit status (or the signal that ended it).
template <typename F>
int inChild(F body) {
  pid_t pid = fork();
  if (pid == 0) {
    body();
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status);
}

TEST_F(QmTest, KilledProcessHasItsUnitOfWorkBackedOut) {
  connect();
  MQHOBJ out = open("Q1", MQOO_OUTPUT);
  ASSERT_EQ(put(out, "kept"), MQRC_NONE);
  int status = inChild([] {
    MQHCONN h;
    MQLONG cc, rc;
    MQCHAR48 name = "QM1";
    MQCONN(name, &h, &cc, &rc);
    if (rc != 0) _exit(1);
    MQOD od = {MQOD_DEFAULT};
    std::strcpy(od.ObjectName, "Q1");
    MQHOBJ q;
    MQOPEN(h, &od, MQOO_INPUT_EXCLUSIVE | MQOO_OUTPUT, &q, &cc, &rc);
    MQMD md = {MQMD_DEFAULT};
    MQGMO gmo = {MQGMO_DEFAULT};
    gmo.Options = MQGMO_SYNCPOINT;
    char buf[16];
    MQLONG len;
    MQGET(h, q, &md, &gmo, sizeof buf, buf, &len, &cc, &rc);
    if (rc != 0) _exit(2);
    MQMD md2 = {MQMD_DEFAULT};
    MQPMO pmo = {MQPMO_DEFAULT};
    pmo.Options = MQPMO_SYNCPOINT;
    MQPUT(h, q, &md2, &pmo, 4, const_cast<char*>("lost"), &cc, &rc);
    if (rc != 0) _exit(3);
    raise(SIGKILL);
  });
  ASSERT_EQ(status, -SIGKILL);
  // The next call of this connection notices the dead one: the exclusive open is free again,
  // the got message is back with its backout count, the put is gone.
  MQHOBJ in = open("Q1", MQOO_INPUT_EXCLUSIVE);
  std::string data;
  MQMD md = {MQMD_DEFAULT};
  ASSERT_EQ(get(in, data, MQGMO_NO_SYNCPOINT, &md), MQRC_NONE);
  EXPECT_EQ(data, "kept");
  EXPECT_EQ(md.BackoutCount, 1);
  EXPECT_EQ(get(in, data), MQRC_NO_MSG_AVAILABLE);
  EXPECT_EQ(describeQueue("QM1", "Q1").value.currentDepth, 0);
}

// Puts three large messages (kept in a payload file) on Q1 in one unit of work and commits, on
// a connection of its own; returns the commit's reason.
MQLONG putLargeAndCommit(const std::string& data) {
  MQHCONN h;
  MQLONG cc, rc;
  MQCHAR48 name = "QM1";
  MQCONN(name, &h, &cc, &rc);
  MQOD od = {MQOD_DEFAULT};
  std::strcpy(od.ObjectName, "Q1");
  for (int i = 0; i < 3; ++i) {
    MQMD md = {MQMD_DEFAULT};
    MQPMO pmo = {MQPMO_DEFAULT};
    pmo.Options = MQPMO_SYNCPOINT;
    MQPUT1(h, &od, &md, &pmo, static_cast<MQLONG>(data.size()), const_cast<char*>(data.data()),
           &cc, &rc);
  }
  MQCMIT(h, &cc, &rc);
  return rc;
}

// A process killed while it writes payloads, or between syncing them and committing their
// rows, loses its unit of work and nothing else; a compaction killed between its copy and
// moving the rows leaves every message readable. No file is left behind.
TEST_F(QmTest, CrashesAroundPayloadWritesLoseOnlyTheOpenUnitOfWork) {
  const std::string large(300 * 1024, 'L');
  connect();
  MQHOBJ q = open("Q1", MQOO_INPUT_SHARED);
  for (const char* point : {"payload-appended", "commit-payloads-synced"}) {
    int status = inChild([&] {
      setenv("QM_CRASHPOINT", point, 1);
      putLargeAndCommit(large);
      _exit(1);
    });
    ASSERT_EQ(status, -SIGKILL) << point;
    std::string data;
    EXPECT_EQ(get(q, data, MQGMO_NO_SYNCPOINT, nullptr, 400 * 1024), MQRC_NO_MSG_AVAILABLE);
    EXPECT_EQ(describeQueue("QM1", "Q1").value.currentDepth, 0) << point;
    EXPECT_EQ(measureSpace("QM1").value.payloadFiles, 0) << point;
  }

  // Five messages of which four are then got: a mostly dead file for the compaction.
  ASSERT_EQ(putLargeAndCommit(large), MQRC_NONE);
  ASSERT_EQ(putLargeAndCommit(large), MQRC_NONE);
  std::string data;
  for (int i = 0; i < 5; ++i)
    ASSERT_EQ(get(q, data, MQGMO_NO_SYNCPOINT, nullptr, 400 * 1024), MQRC_NONE);
  int status = inChild([] {
    setenv("QM_CRASHPOINT", "compact-copied", 1);
    compactQueueManager("QM1");
    _exit(1);
  });
  ASSERT_EQ(status, -SIGKILL);
  ASSERT_EQ(get(q, data, MQGMO_NO_SYNCPOINT, nullptr, 400 * 1024), MQRC_NONE);
  EXPECT_EQ(data, large);
  EXPECT_TRUE(compactQueueManager("QM1").ok());
  EXPECT_EQ(measureSpace("QM1").value.payloadFiles, 0);
}

TEST_F(QmTest, ForkedChildCannotUseParentHandleButConnectsItself) {
  connect();
  MQHCONN parent = hconn_;
  int status = inChild([parent] {
    MQLONG cc, rc;
    MQCMIT(parent, &cc, &rc);
    if (rc != MQRC_HCONN_ERROR) _exit(1);
    MQHCONN h;
    MQCHAR48 name = "QM1";
    MQCONN(name, &h, &cc, &rc);
    if (rc != MQRC_NONE) _exit(2);
    MQOD od = {MQOD_DEFAULT};
    std::strcpy(od.ObjectName, "Q1");
    MQMD md = {MQMD_DEFAULT};
    MQPMO pmo = {MQPMO_DEFAULT};
    MQPUT1(h, &od, &md, &pmo, 5, const_cast<char*>("child"), &cc, &rc);
    if (rc != MQRC_NONE) _exit(3);
    MQDISC(&h, &cc, &rc);
    _exit(rc == MQRC_NONE ? 0 : 4);
  });
  ASSERT_EQ(status, 0);
  MQHOBJ in = open("Q1", MQOO_INPUT_SHARED);  // the parent's connection still works
  std::string data;
  ASSERT_EQ(get(in, data), MQRC_NONE);
  EXPECT_EQ(data, "child");
}

TEST_F(QmTest, WaitInOneProcessWokenByCommitInAnother) {
  connect();
  MQHOBJ in = open("Q1", MQOO_INPUT_SHARED);
  pid_t pid = fork();
  if (pid == 0) {
    platform::sleepMilliseconds(200);
    MQHCONN h;
    _exit(commitPutOnNewConnection("hey", &h));  // no MQDISC: the commit already happened
  }
  std::string data;
  EXPECT_EQ(get(in, data, MQGMO_WAIT, nullptr, 100, 10000), MQRC_NONE);
  EXPECT_EQ(data, "hey");
  int status;
  waitpid(pid, &status, 0);
}

TEST_F(QmTest, QuiesceWakesFailIfQuiescingWaiters) {
  connect();
  MQHOBJ in = open("Q1", MQOO_INPUT_SHARED);
  std::thread stopper([] { stopQueueManager("QM1", true); });
  std::string data;
  EXPECT_EQ(get(in, data, MQGMO_WAIT | MQGMO_FAIL_IF_QUIESCING, nullptr, 100, 20000),
            MQRC_Q_MGR_QUIESCING);
  MQLONG cc, rc;
  MQDISC(&hconn_, &cc, &rc);
  stopper.join();
  MQCHAR48 name = "QM1";
  MQCONN(name, &hconn_, &cc, &rc);
  EXPECT_EQ(rc, MQRC_Q_MGR_NOT_AVAILABLE);
}

TEST_F(QmTest, AnotherQueueManagerOfTheFolderReceivesPuts) {
  ASSERT_TRUE(createQueueManager("QM2", {}).ok());
  ASSERT_TRUE(startQueueManager("QM2").ok());
  ASSERT_TRUE(defineQueue("QM2", "R", {}).ok());
  connect();
  MQOD od = {MQOD_DEFAULT};
  std::strcpy(od.ObjectName, "R");
  std::strcpy(od.ObjectQMgrName, "QM2");
  MQMD md = {MQMD_DEFAULT};
  MQPMO pmo = {MQPMO_DEFAULT};
  pmo.Options = MQPMO_SYNCPOINT;
  MQLONG cc, rc;
  MQPUT1(hconn_, &od, &md, &pmo, 1, const_cast<char*>("r"), &cc, &rc);
  ASSERT_EQ(rc, MQRC_NONE);
  MQCMIT(hconn_, &cc, &rc);
  EXPECT_EQ(describeQueue("QM2", "R").value.currentDepth, 1);
  std::strcpy(od.ObjectQMgrName, "QM9");
  MQPUT1(hconn_, &od, &md, &pmo, 1, const_cast<char*>("r"), &cc, &rc);
  EXPECT_EQ(rc, MQRC_UNKNOWN_REMOTE_Q_MGR);
}

}  // namespace
}  // namespace mqi::testing
