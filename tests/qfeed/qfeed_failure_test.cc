// qfeed's ways out on MQ trouble: connect and get retries, hard errors, failed puts and
// commits, and a large file loaded with flat memory.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "common/log.h"
#include "mqi/admin.h"
#include "tests/qfeed/qfeed_fixture.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

class QfeedFailureTest : public QfeedTest {
 protected:
  void expectExitZero(int timeoutMs = 20000) { EXPECT_EQ(waitAgent(timeoutMs), 0); }
  // A hard error ends the agent with a code a supervisor reads as a failure.
  void expectHardExit() { EXPECT_EQ(waitAgent(20000), kExitHardError); }
  // Drains the receiver queue; returns how many headers (CorrelId segment 0) it held.
  int drainHeaders() {
    int headers = 0;
    Message m;
    while (getMessage("RECV", &m, 0)) {
      if (std::string(reinterpret_cast<const char*>(m.md.CorrelId), 24) == segmentCorrelId(0)) {
        ++headers;
      }
    }
    return headers;
  }
};

TEST_F(QfeedFailureTest, UnknownJobQueueIsAHardError) {
  writeIni("", "NO.SUCH.QUEUE");
  startAgent();
  expectHardExit();
  EXPECT_TRUE(hasLine(" Hard MQ error has occured. Exit.", true));
  EXPECT_TRUE(hasLine(" Hard MQ error has occured. Exit."));
  EXPECT_TRUE(hasLine(" Open job Queue", true));
  EXPECT_TRUE(hasLine(" CompCode = 2 Reason = 2085", true));
}

TEST_F(QfeedFailureTest, WaitsForTheQueueManagerAndReconnectsAfterAStop) {
  writeIni("", "JOBS", 100);
  ASSERT_TRUE(mqi::stopQueueManager(kQmgr, false).ok());
  startAgent();
  ASSERT_TRUE(
      waitForText(" MQ error has occured. Waiting 100 ms for next attempt.\n", 20000, true));
  ASSERT_TRUE(mqi::startQueueManager(kQmgr).ok());
  ASSERT_TRUE(waitForText(" Connect to Queue Manager successful.", 20000));
  // A stop while the agent waits for a job: the get fails, the agent reconnects.
  ASSERT_TRUE(mqi::stopQueueManager(kQmgr, false).ok());
  ASSERT_TRUE(waitForText(" Get Header from Delivery queue", 20000, true));
  ASSERT_TRUE(mqi::startQueueManager(kQmgr).ok());
  for (int i = 0; i < 1000 && countText(" Connect to Queue Manager successful.") < 2; ++i) {
    usleep(20000);
  }
  EXPECT_EQ(countText(" Connect to Queue Manager successful."), 2);
  // The test's own connection died with the stop; make a new one.
  reconnect();
  const std::string path = writeSource(sourceFolder("a"), "f.dat", "after restart");
  putJob(path, "-rcvrqname RECV", 'Y', 3);
  Message status;
  ASSERT_TRUE(getMessage("REPLY", &status, 20000));
  EXPECT_EQ(status.data[23], 'X');
  inhibitGet("JOBS");
  expectExitZero();
}

TEST_F(QfeedFailureTest, UnknownReceiverQueueSendsFailureAndEnds) {
  writeIni("");
  const std::string path = writeSource(sourceFolder("a"), "f.dat", "data");
  startAgent();
  putJob(path, "-rcvrqname NOPE", 'N', 11);
  Message status;
  ASSERT_TRUE(getMessage("REPLY", &status, 20000));
  const std::string comment =
      "Unexpected Websphere MQ condition on open receiver queue, Compcode = 2, Reason = 2085";
  EXPECT_EQ(status.data, expectedLoadStatus(11, 'F', comment));
  expectHardExit();
  EXPECT_TRUE(hasLine(" Hard MQ error has occured. Exit.", true));
  EXPECT_EQ(readFile(path), "data");
}

TEST_F(QfeedFailureTest, FailedPutBacksOutAndTheJobIsRetried) {
  writeIni("", "JOBS", 100);
  const std::string content(30000, 'p');
  const std::string path = writeSource(sourceFolder("a"), "f.dat", content);
  startAgent("MQPUT@2=2:2053");
  putJob(path, "-rcvrqname RECV", 'Y', 12);
  Message failure;
  ASSERT_TRUE(getMessage("REPLY", &failure, 20000));
  EXPECT_EQ(failure.data,
            expectedLoadStatus(12, 'F',
                               "Unexpected Websphere MQ condition on put message to receiver "
                               "queue, Compcode = 2, Reason = 2053"));
  Message loaded;
  ASSERT_TRUE(getMessage("REPLY", &loaded, 20000));
  EXPECT_EQ(loaded.data[23], 'X');
  EXPECT_TRUE(
      hasLine(" MQ error has occured. CC = 2, RC = 2053. Waiting 100 milliseconds  for "
              "next attempt to proceed folder.",
              true));
  EXPECT_EQ(drainHeaders(), 1);
  EXPECT_TRUE(waitGone(path));
  inhibitGet("JOBS");
  expectExitZero();
}

// A job whose status cannot be sent (its reply queue does not exist) is backed out, retried
// after a growing pause and, at the job queue's backout threshold, set aside to the dead-letter
// queue; the job behind it is loaded.
TEST_F(QfeedFailureTest, AJobThatAlwaysBacksOutIsSetAsideAndTheNextJobIsLoaded) {
  ASSERT_TRUE(mqi::defineQueue(kQmgr, "DEAD", {}).ok());
  mqi::QueueManagerChanges dead;
  dead.deadLetterQName = "DEAD";
  ASSERT_TRUE(mqi::alterQueueManager(kQmgr, dead).ok());
  mqi::QueueAttributes threshold;
  threshold.backoutThreshold = 3;
  ASSERT_TRUE(mqi::alterQueue(kQmgr, "JOBS", threshold).ok());
  writeIni("", "JOBS", 100);
  const std::string stuck = writeSource(sourceFolder("a"), "f.dat", "stuck");
  const std::string next = writeSource(sourceFolder("b"), "g.dat", "next");
  putJob(stuck, "-rcvrqname RECV", 'Y', 21, "NO.SUCH.REPLY");
  putJob(next, "-rcvrqname RECV", 'Y', 22);
  startAgent();
  Message loaded;
  ASSERT_TRUE(getMessage("REPLY", &loaded, 20000));
  EXPECT_EQ(loaded.data[23], 'X');
  EXPECT_TRUE(waitGone(next));
  Message aside;
  ASSERT_TRUE(getMessage("DEAD", &aside, 0));
  EXPECT_EQ(aside.md.Feedback, MQRC_BACKOUT_THRESHOLD_REACHED);
  EXPECT_EQ(std::string(aside.md.ReplyToQ, 13), "NO.SUCH.REPLY");
  EXPECT_EQ(readFile(stuck), "stuck");  // never loaded for good
  // Three tries, each after the one before was backed out: no hot loop.
  EXPECT_EQ(countText(" File '" + stuck + "' was not loaded successfully.", true), 3);
  EXPECT_EQ(drainHeaders(), 1);
  inhibitGet("JOBS");
  waitAgent(20000);
}

TEST_F(QfeedFailureTest, FailedCommitKeepsTheFileUntilALaterCommit) {
  writeIni("", "JOBS", 100);
  const std::string path = writeSource(sourceFolder("a"), "f.dat", "keep");
  startAgent("MQCMIT@1=2:2009");
  putJob(path, "-rcvrqname RECV", 'Y', 13);
  Message loaded;
  ASSERT_TRUE(getMessage("REPLY", &loaded, 20000));
  EXPECT_EQ(loaded.data[23], 'X');
  EXPECT_TRUE(hasLine(" File '" + path + "' was not loaded successfully.", true));
  EXPECT_TRUE(hasLine(" Commit file load.", true));
  EXPECT_TRUE(waitGone(path));
  EXPECT_EQ(countText(" Delete file : "), 1);
  EXPECT_EQ(drainHeaders(), 1);
  Message none;
  EXPECT_FALSE(getMessage("REPLY", &none, 0));
  inhibitGet("JOBS");
  expectExitZero();
}

TEST_F(QfeedFailureTest, JobsAndFilesOutsideTheSourceRootsAreRefused) {
  writeIni("", "JOBS", 100, 60000);
  const std::string inside = sourceFolder("in");
  const std::string outside = sourceFolder("out");
  std::ofstream(root_ / "qfeed.ini", std::ios::app)
      << "[Source Definition]\nSourceRoots=" << inside << "\n";
  const std::string kept = writeSource(outside, "x.dat", "outside");
  chmod(kept.c_str(), 0444);
  ASSERT_EQ(symlink(kept.c_str(), (inside + "/link.dat").c_str()), 0);
  startAgent();
  const std::vector<std::string> jobs = {outside + "/*.dat", inside + "/../out/*.dat",
                                         inside + "/*.dat"};
  const std::vector<std::string> refused = {jobs[0], jobs[1], inside + "/link.dat"};
  for (size_t i = 0; i < jobs.size(); ++i) {
    putJob(jobs[i], "-rcvrqname RECV", 'N', 13);
    Message failure;
    ASSERT_TRUE(getMessage("REPLY", &failure, 20000));
    EXPECT_EQ(failure.data.substr(23), "F During processing file '" + refused[i] +
                                           "' error has been received. " + std::strerror(EACCES) +
                                           "\n");
  }
  inhibitGet("JOBS");
  expectExitZero();
  EXPECT_EQ(drainHeaders(), 0);
  struct stat info {};
  ASSERT_EQ(stat(kept.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0444u);  // never changed through the link
  EXPECT_EQ(access((inside + "/link.dat").c_str(), F_OK), 0);
}

// Sets or clears the immutable flag, which keeps even root from deleting the file.
bool setImmutable(const std::string& path, bool immutable) {
  int fd = open(path.c_str(), O_RDONLY);
  int flags = 0;
  bool done = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  flags = immutable ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
  done = done && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  if (fd >= 0) close(fd);
  return done;
}

TEST_F(QfeedFailureTest, AFileCommittedButNotDeletedIsDeletedByTheNextJobNotLoadedAgain) {
  writeIni("", "JOBS", 100, 60000, "MARKS");
  const std::string path = writeSource(sourceFolder("a"), "f.dat", "once");
  if (!setImmutable(path, true)) GTEST_SKIP() << "no immutable flag here";
  startAgent();
  // The delete after the commit fails, as if the agent had stopped right before it.
  putJob(path, "-rcvrqname RECV", 'N', 13);
  EXPECT_TRUE(
      waitForText(" File '" + path + "' was loaded but could not be deleted.", 20000, true));
  ASSERT_TRUE(setImmutable(path, false));
  EXPECT_EQ(depth("MARKS"), 1);

  putJob(path, "-rcvrqname RECV", 'N', 13);
  EXPECT_TRUE(waitGone(path));
  // The job deletes the file before it looks for the one it names: its unit of work must be
  // over before a new file of that name appears.
  EXPECT_TRUE(testsupport::pollUntil(
      [] {
        mqi::Result<std::vector<mqi::SessionInfo>> sessions = mqi::listSessions(kQmgr);
        return sessions.ok() &&
               std::none_of(sessions.value.begin(), sessions.value.end(),
                            [](const mqi::SessionInfo& s) { return s.heldMessages > 0; });
      },
      20000));
  EXPECT_EQ(countText(" Delete file : " + path), 2);
  // A new file under the same name is a new file: loaded.
  writeSource(sourceFolder("a"), "f.dat", "twice");
  putJob(path, "-rcvrqname RECV", 'N', 13);
  EXPECT_TRUE(waitGone(path));
  inhibitGet("JOBS");
  expectExitZero();
  EXPECT_EQ(drainHeaders(), 2);
  EXPECT_EQ(depth("MARKS"), 1);  // the last load's mark only: the next job takes it
}

TEST_F(QfeedFailureTest, LargeFileLoadsWithFlatMemory) {
  const char* sizeText = std::getenv("QFEED_TEST_BIG_MIB");
  const long mib = sizeText != nullptr ? std::atol(sizeText) : (kSanitized ? 24 : 200);
  const std::string path = sourceFolder("big") + "/big.dat";
  {
    std::ofstream out(path, std::ios::binary);
    std::string block(1 << 20, '\0');
    for (long i = 0; i < mib; ++i) {
      for (size_t j = 0; j < block.size(); j += 4096) block[j] = static_cast<char>(i + j);
      out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
  }
  writeIni("");
  startAgent();
  putJob(path, "-rcvrqname RECV", 'Y', 14);
  Message status;
  ASSERT_TRUE(getMessage("REPLY", &status, 55000));
  EXPECT_EQ(status.data[23], 'X');
  const long segments = (mib * (1 << 20) + 24574) / 24575;
  EXPECT_EQ(depth("RECV"), segments + 1);
  inhibitGet("JOBS");
  EXPECT_EQ(waitAgent(20000), 0);
  const struct rusage& usage = agentUsage();
  if (!kSanitized) {
    EXPECT_LT(usage.ru_maxrss, 48L * 1024) << "peak RSS in KiB";
  }
  RecordProperty("qfeed_peak_rss_kib", static_cast<int>(usage.ru_maxrss));
  EXPECT_NE(access(path.c_str(), F_OK), 0);
}

}  // namespace
