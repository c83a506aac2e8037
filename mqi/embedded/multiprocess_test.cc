// Several processes on one queue manager: dead units of work, fork, waits across processes,
// quiesce, commits at the same moment; and what a process keeps between its connections.
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>
#include <vector>

#include "mqi/embedded/embedded.h"
#include "mqi/embedded/sqlite_util.h"
#include "mqi/test_fixture.h"
#include "platform/data_file.h"
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
  auto getPutAndDie = [] {
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
  };
  ASSERT_EQ(inChild(getPutAndDie), -SIGKILL);
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

  // Once more while this connection is inside a unit of work, where it looks for dead
  // connections less often: a waiting get still finds the message back.
  MQLONG cc, rc;
  MQCLOSE(hconn_, &in, MQCO_NONE, &cc, &rc);
  ASSERT_EQ(put(out, "again"), MQRC_NONE);
  ASSERT_EQ(put(out, "mine", MQPMO_SYNCPOINT), MQRC_NONE);
  ASSERT_EQ(inChild(getPutAndDie), -SIGKILL);
  in = open("Q1", MQOO_INPUT_SHARED);
  MQMD again = {MQMD_DEFAULT};
  ASSERT_EQ(get(in, data, MQGMO_SYNCPOINT | MQGMO_WAIT, &again, 65536, 5000), MQRC_NONE);
  EXPECT_EQ(data, "again");
  EXPECT_EQ(again.BackoutCount, 1);
  EXPECT_EQ(describeQueue("QM1", "Q1").value.currentDepth, 1);  // the uncommitted put
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
    MQPUT1(h, &od, &md, &pmo, static_cast<MQLONG>(data.size()), const_cast<char*>(data.data()), &cc,
           &rc);
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
  // Killed before its thread deleted the files its commits let go of: whoever backs out its
  // connection deletes them.
  const std::string stray = folder_.path() + "/QM1/payloads/998.pay";
  ASSERT_EQ(inChild([&] {
              MQHCONN h;
              MQLONG cc, rc;
              MQCHAR48 name = "QM1";
              MQCONN(name, &h, &cc, &rc);
              std::ofstream(stray) << "let go of, not yet deleted";
              raise(SIGKILL);
            }),
            -SIGKILL);
  ASSERT_TRUE(std::filesystem::exists(stray));
  std::string none;
  EXPECT_EQ(get(q, none, MQGMO_NO_SYNCPOINT, nullptr, 400 * 1024), MQRC_NO_MSG_AVAILABLE);
  EXPECT_FALSE(std::filesystem::exists(stray));

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

TEST_F(QmTest, CommitsOfSeveralProcessesAtOnceAllLand) {
  // They wait for the write lock and for each other's flushes of the log.
  constexpr int kProcesses = 4, kCommits = 25;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t pid = fork();
    if (pid == 0) {
      MQHCONN h;
      for (int i = 0; i < kCommits; ++i)
        if (commitPutOnNewConnection("m", &h) != MQRC_NONE) _exit(1);
      _exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(describeQueue("QM1", "Q1").value.currentDepth, kProcesses * kCommits);
}

TEST_F(QmTest, QueueManagerMadeAgainUnderItsNameIsReachedAfresh) {
  // The process keeps the old one's database connection and shared area for its next
  // connection; neither may be taken for the new one's.
  connect();
  ASSERT_EQ(put(open("Q1", MQOO_OUTPUT), "old"), MQRC_NONE);
  MQLONG cc, rc;
  MQDISC(&hconn_, &cc, &rc);
  ASSERT_TRUE(stopQueueManager("QM1", false).ok());
  ASSERT_TRUE(deleteQueueManager("QM1").ok());
  ASSERT_TRUE(createQueueManager("QM1", {}).ok());
  ASSERT_TRUE(startQueueManager("QM1").ok());
  ASSERT_TRUE(defineQueue("QM1", "Q2", {}).ok());
  connect();
  MQLONG reason = 0;
  open("Q1", MQOO_INPUT_SHARED, &reason);
  EXPECT_EQ(reason, MQRC_UNKNOWN_OBJECT_NAME);
  MQHOBJ q2 = open("Q2", MQOO_OUTPUT | MQOO_INPUT_SHARED);
  ASSERT_EQ(put(q2, "new"), MQRC_NONE);
  std::string data;
  ASSERT_EQ(get(q2, data), MQRC_NONE);
  EXPECT_EQ(data, "new");
  // Other processes map the new shared file: this process must use that one too.
  const std::string qmFolder = embedded::folderFor(folder_.path(), "QM1");
  auto shared = embedded::SharedMap::open(qmFolder);
  auto* fresh = static_cast<embedded::SharedArea*>(
      platform::mapSharedFile(qmFolder + "/shared", sizeof(embedded::SharedArea)));
  ASSERT_NE(fresh, nullptr);
  uint32_t seen = fresh->wake[0].load();
  shared->wakeAll();
  EXPECT_NE(fresh->wake[0].load(), seen);
  platform::unmapSharedFile(fresh, sizeof(embedded::SharedArea));
}

// A shared file replaced by random bytes (a new file, as a copy or a restore leaves it) is
// rebuilt while nobody is connected, and refused with the reason while a connection lives.
TEST_F(QmTest, SharedFileOfRandomBytesIsRebuiltOrRefused) {
  const std::string qmFolder = embedded::folderFor(folder_.path(), "QM1");
  auto scribble = [&] {
    std::string bytes(sizeof(embedded::SharedArea), '\0');
    std::mt19937_64 random(7);
    for (char& c : bytes) c = static_cast<char>(random());
    std::ofstream(qmFolder + "/shared.new", std::ios::binary) << bytes;
    std::filesystem::rename(qmFolder + "/shared.new", qmFolder + "/shared");
  };
  scribble();
  connect();
  MQHOBJ q = open("Q1", MQOO_OUTPUT | MQOO_INPUT_SHARED);
  ASSERT_EQ(put(q, "after"), MQRC_NONE);
  std::string data;
  ASSERT_EQ(get(q, data), MQRC_NONE);
  EXPECT_EQ(data, "after");
  scribble();
  int status = inChild([] {
    MQHCONN h;
    MQLONG cc, rc;
    MQCHAR48 name = "QM1";
    MQCONN(name, &h, &cc, &rc);
    _exit(rc == MQRC_UNEXPECTED_ERROR ? 0 : 1);
  });
  EXPECT_EQ(status, 0);
}

// The queue manager on a small file system of its own, mounted in a mount namespace of the
// test's process (each test runs in a process of its own); skipped where that is not allowed.
class FullDiskTest : public QmTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(small_.ok());
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", small_.path().c_str(), "tmpfs", 0, "size=24m") != 0)
      GTEST_SKIP() << "cannot mount a small file system here";
    setenv("QM_STORE", small_.path().c_str(), 1);
    unsetenv("QM_FAILPOINTS");
    reloadFailpoints();
    ASSERT_TRUE(createQueueManager("QM1", {}).ok());
    ASSERT_TRUE(startQueueManager("QM1").ok());
    ASSERT_TRUE(defineQueue("QM1", "Q1", {}).ok());
    qmFolder_ = embedded::folderFor(small_.path(), "QM1");
  }
  void TearDown() override {
    QmTest::TearDown();
    umount2(small_.path().c_str(), MNT_DETACH);
  }
  // Takes every free byte with a file `name`.
  void fill(const std::string& name) {
    platform::DataFile file;
    ASSERT_TRUE(file.createNew(small_ / name));
    std::string block(64 * 1024, 'f');
    int64_t at = 0;
    while (file.writeAt(at, block.data(), block.size())) at += static_cast<int64_t>(block.size());
    for (size_t piece = 4096; piece > 0; piece /= 2)
      while (file.writeAt(at, block.data(), piece)) at += static_cast<int64_t>(piece);
  }
  bool hasReserve() { return std::filesystem::exists(embedded::reservePath(qmFolder_)); }

  TestFolder small_{"mqi-small"};
  std::string qmFolder_;
};

// Gets `count` messages of Q1 under syncpoint on a connection of its own and commits; exits
// with 0 when all of that worked.
int drainInChild(int count) {
  return inChild([count] {
    MQHCONN h;
    MQLONG cc, rc;
    MQCHAR48 name = "QM1";
    MQCONN(name, &h, &cc, &rc);
    if (rc != 0) _exit(10);
    MQOD od = {MQOD_DEFAULT};
    std::strcpy(od.ObjectName, "Q1");
    MQHOBJ q;
    MQOPEN(h, &od, MQOO_INPUT_SHARED | MQOO_BROWSE, &q, &cc, &rc);
    if (rc != 0) _exit(11);
    std::vector<char> buffer(1 << 20);
    for (int i = 0; i < count; ++i) {
      MQMD md = {MQMD_DEFAULT};
      MQGMO gmo = {MQGMO_DEFAULT};
      gmo.Options = MQGMO_SYNCPOINT;
      MQLONG length;
      MQGET(h, q, &md, &gmo, static_cast<MQLONG>(buffer.size()), buffer.data(), &length, &cc, &rc);
      if (rc != 0) _exit(12);
    }
    MQCMIT(h, &cc, &rc);
    if (rc != 0) _exit(13);
    MQDISC(&h, &cc, &rc);
    _exit(rc == 0 ? 0 : 14);
  });
}

TEST_F(FullDiskTest, ConnectsGetsAndCommitsGoOnWhilePutsWaitForSpace) {
  ASSERT_TRUE(hasReserve());
  connect();
  MQHOBJ q = open("Q1", MQOO_OUTPUT);
  ASSERT_EQ(put(q, "small"), MQRC_NONE);
  ASSERT_EQ(put(q, std::string(100000, 'L')), MQRC_NONE);
  fill("filler");
  // The first put that finds no room gives the reserve back; until there is room for it
  // again, every put fails the same way without writing.
  int32_t puts = 2;
  MQLONG rc = MQRC_NONE;
  for (int i = 0; i < 200 && rc == MQRC_NONE; ++i)
    if ((rc = put(q, std::string(100000, 'x'))) == MQRC_NONE) ++puts;
  EXPECT_EQ(rc, MQRC_Q_SPACE_NOT_AVAILABLE);
  EXPECT_FALSE(hasReserve());
  EXPECT_EQ(put(q, "more"), MQRC_Q_SPACE_NOT_AVAILABLE);
  // Another process connects, drains the queue and commits; reads of the operator work.
  EXPECT_EQ(drainInChild(puts), 0);
  Result<QueueInfo> info = describeQueue("QM1", "Q1");
  ASSERT_TRUE(info.ok()) << info.status.message();
  EXPECT_EQ(info.value.currentDepth, 0);
  // A process holds an exclusive input handle while the disk fills to its last byte, then
  // disconnects: its end cannot be written, so whoever looks later backs it out, and the
  // handle does not outlive it.
  int toChild[2], toParent[2];
  ASSERT_EQ(pipe(toChild), 0);
  ASSERT_EQ(pipe(toParent), 0);
  pid_t child = fork();
  if (child == 0) {
    MQHCONN h;
    MQLONG cc, code;
    MQCHAR48 name = "QM1";
    MQCONN(name, &h, &cc, &code);
    MQOD od = {MQOD_DEFAULT};
    std::strcpy(od.ObjectName, "Q1");
    MQHOBJ in;
    MQOPEN(h, &od, MQOO_INPUT_EXCLUSIVE, &in, &cc, &code);
    char byte = code == 0 ? 'o' : 'x';
    if (write(toParent[1], &byte, 1) != 1 || read(toChild[0], &byte, 1) != 1) _exit(2);
    MQDISC(&h, &cc, &code);
    _exit(0);
  }
  char byte = 0;
  ASSERT_EQ(read(toParent[0], &byte, 1), 1);
  EXPECT_EQ(byte, 'o');
  fill("filler2");
  ASSERT_EQ(write(toChild[1], &byte, 1), 1);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(status, 0);
  std::filesystem::remove(small_ / "filler");
  std::filesystem::remove(small_ / "filler2");
  EXPECT_EQ(put(q, "after"), MQRC_NONE);
  EXPECT_TRUE(hasReserve());
  MQHOBJ exclusive = open("Q1", MQOO_INPUT_EXCLUSIVE);
  std::string data;
  EXPECT_EQ(get(exclusive, data), MQRC_NONE);
  EXPECT_EQ(data, "after");
  EXPECT_EQ(describeQueue("QM1", "Q1").value.openInputCount, 1);
}

// A large put that needs a new payload file finds no room to list it: the put fails as a full
// disk does, and the unit of work backs out whole.
TEST_F(FullDiskTest, ALargePutThatCannotStartAPayloadFileFailsForLackOfSpace) {
  connect();
  MQHOBJ q = open("Q1", MQOO_OUTPUT | MQOO_INPUT_AS_Q_DEF);
  const std::string payload(100000, 'p');
  fill("filler");
  EXPECT_EQ(put(q, payload, MQPMO_SYNCPOINT), MQRC_Q_SPACE_NOT_AVAILABLE);
  EXPECT_FALSE(hasReserve());
  MQLONG cc, rc;
  MQBACK(hconn_, &cc, &rc);
  EXPECT_EQ(rc, MQRC_NONE);
  EXPECT_EQ(describeQueue("QM1", "Q1").value.currentDepth, 0);
  std::filesystem::remove(small_ / "filler");
  ASSERT_EQ(put(q, payload, MQPMO_SYNCPOINT), MQRC_NONE);
  MQCMIT(hconn_, &cc, &rc);
  EXPECT_EQ(rc, MQRC_NONE);
  std::string data;
  EXPECT_EQ(get(q, data, MQGMO_NO_SYNCPOINT, nullptr, 200000), MQRC_NONE);
  EXPECT_TRUE(data == payload);
}

// Commits on the database directly, with counters shared as the processes share them.
class CommitFlushTest : public QmTest {
 protected:
  void SetUp() override {
    QmTest::SetUp();
    path_ = embedded::databasePath(embedded::folderFor(folder_.path(), "QM1"));
    ASSERT_EQ(sqlite::openDatabase(path_, false, &db_, &flush_), SQLITE_OK);
    ASSERT_EQ(sqlite::exec(db_, "CREATE TABLE scratch(x)"), SQLITE_OK);
  }
  void TearDown() override {
    sqlite::closeDatabase(db_);
    QmTest::TearDown();
  }
  int insert(sqlite3* db) { return sqlite::exec(db, "INSERT INTO scratch VALUES(1)"); }

  std::string path_;
  sqlite::CommitShare share_{};
  sqlite::CommitFlush flush_{&share_};
  sqlite3* db_ = nullptr;
};

TEST_F(CommitFlushTest, DurableCommitsAreFlushedAndOthersCountedOnly) {
  uint64_t written = share_.written.load();
  ASSERT_EQ(insert(db_), SQLITE_OK);
  EXPECT_EQ(share_.written.load(), written + 1);
  EXPECT_GE(share_.flushed.load(), written + 1);
  flush_.setDurable(false);
  uint64_t flushed = share_.flushed.load();
  ASSERT_EQ(insert(db_), SQLITE_OK);
  EXPECT_EQ(share_.written.load(), written + 2);
  EXPECT_EQ(share_.flushed.load(), flushed);
  // A flush that never ends (its process died in it) holds a durable commit up only briefly.
  flush_.setDurable(true);
  share_.flushing.store(share_.written.load() + 100);
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(insert(db_), SQLITE_OK);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_GE(share_.flushed.load(), written + 3);
}

TEST_F(CommitFlushTest, WriterWaitsForTheLockUntilTheHolderEnds) {
  sqlite::CommitFlush otherFlush(&share_);
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite::openDatabase(path_, false, &other, &otherFlush), SQLITE_OK);
  ASSERT_EQ(sqlite::exec(db_, "BEGIN IMMEDIATE"), SQLITE_OK);
  ASSERT_EQ(insert(db_), SQLITE_OK);
  std::thread holder([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    sqlite::exec(db_, "COMMIT");
  });
  EXPECT_EQ(sqlite::exec(other, "BEGIN IMMEDIATE"), SQLITE_OK);  // not SQLITE_BUSY
  EXPECT_EQ(insert(other), SQLITE_OK);
  EXPECT_EQ(sqlite::exec(other, "COMMIT"), SQLITE_OK);
  holder.join();
  sqlite::closeDatabase(other);
}

}  // namespace
}  // namespace mqi::testing
