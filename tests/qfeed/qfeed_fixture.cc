#include "tests/qfeed/qfeed_fixture.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "common/records.h"
#include "mqi/admin.h"

namespace {

// Copies a short name into a 48-byte MQ name field.
void setName(char* field, const char* name) {
  std::memset(field, 0, MQ_Q_NAME_LENGTH);
  std::memcpy(field, name, std::min<size_t>(std::strlen(name), MQ_Q_NAME_LENGTH));
}

void sleepMs(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

std::string nineDigits(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%09u", value % 1000000000u);
  return text;
}

std::string segmentCorrelId(uint32_t segment) {
  std::string id(24, '\0');
  id[0] = static_cast<char>(0xDE);
  id[1] = static_cast<char>(0xDA);
  id[20] = static_cast<char>(segment >> 24);
  id[21] = static_cast<char>(segment >> 16);
  id[22] = static_cast<char>(segment >> 8);
  id[23] = static_cast<char>(segment);
  return id;
}

std::string expectedSrcdesc(uint32_t maxSeq, uint32_t srcId, const std::string& path) {
  std::string padded = path.substr(0, 254);
  padded.resize(254, ' ');
  return "KVDT" + nineDigits(1) + nineDigits(maxSeq) + nineDigits(srcId) + "FILE    " + padded +
         "     " + nineDigits(0) + " " + "N" + nineDigits(0) + nineDigits(0) + "N" + nineDigits(0);
}

std::string expectedLoadStatus(uint32_t srcId, char state, const std::string& comment) {
  return "KVLS" + nineDigits(1) + nineDigits(srcId) + " " + std::string(1, state) + " " +
         comment.substr(0, 1025);
}

void QfeedTest::SetUp() {
  char pattern[] = "/tmp/qfeede2e.XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  root_ = pattern;
  sourceRoot_ = root_ + "/src";
  logRoot_ = root_ + "/log";
  mkdir(sourceRoot_.c_str(), 0755);
  mkdir(logRoot_.c_str(), 0755);
  mkdir((root_ + "/store").c_str(), 0755);
  setenv("QM_STORE", (root_ + "/store").c_str(), 1);
  unsetenv("QM_FAILPOINTS");
  mqi::QueueManagerOptions options;
  options.makeDefault = true;
  ASSERT_TRUE(mqi::createQueueManager(kQmgr, options).ok());
  ASSERT_TRUE(mqi::startQueueManager(kQmgr).ok());
  for (const char* queue : {"JOBS", "RECV", "REPLY"}) {
    ASSERT_TRUE(mqi::defineQueue(kQmgr, queue, mqi::QueueAttributes{}).ok()) << queue;
  }
  MQLONG cc = 0;
  MQLONG rc = 0;
  MQCONN(kQmgr, &hConn_, &cc, &rc);
  ASSERT_EQ(cc, MQCC_OK) << rc;
}

void QfeedTest::TearDown() {
  if (agent_ > 0) {
    kill(agent_, SIGKILL);
    waitpid(agent_, nullptr, 0);
    agent_ = -1;
  }
  MQLONG cc = 0;
  MQLONG rc = 0;
  if (hConn_ != -1) MQDISC(&hConn_, &cc, &rc);
  mqi::stopQueueManager(kQmgr, false);
  if (!HasFailure() && std::getenv("QFEED_TEST_KEEP") == nullptr) {
    std::system(("rm -rf '" + root_ + "'").c_str());
  } else {
    std::fprintf(stderr, "kept test folder %s\n", root_.c_str());
  }
}

void QfeedTest::writeIni(const std::string& logPath, const std::string& srcQueue, int mqWaitTime,
                         int folderWaitTime) {
  std::ofstream ini(root_ + "/qfeed.ini");
  ini << "[MQSeries Objects]\nQMgrName=" << kQmgr << "\nSrcQueue=" << srcQueue
      << "\nInputExclusiveON=Y\n[Source Definition]\nLogPath=" << logPath
      << "\n[Options]\nFolderWaitTime=" << folderWaitTime << "\nMQWaitTime=" << mqWaitTime << "\n";
}

void QfeedTest::startAgent(const std::string& failpoints) {
  agent_ = fork();
  ASSERT_GE(agent_, 0);
  if (agent_ == 0) {
    if (chdir(root_.c_str()) != 0) _exit(127);
    if (!failpoints.empty()) setenv("QM_FAILPOINTS", failpoints.c_str(), 1);
    const int out = open((root_ + "/out.txt").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    const int err = open((root_ + "/err.txt").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(out, 1);
    dup2(err, 2);
    execl(QFEED_PATH, "qfeed", "qfeed.ini", static_cast<char*>(nullptr));
    _exit(127);
  }
}

int QfeedTest::waitAgent(int timeoutMs, struct rusage* usage) {
  struct rusage scratch;
  for (int waited = 0; waited < timeoutMs; waited += 10) {
    int status = 0;
    const pid_t done = wait4(agent_, &status, WNOHANG, usage != nullptr ? usage : &scratch);
    if (done == agent_) {
      agent_ = -1;
      return status;
    }
    sleepMs(10);
  }
  ADD_FAILURE() << "qfeed did not end in time";
  return -1;
}

std::string QfeedTest::readFile(const std::string& path) const {
  std::ifstream in(path, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

std::vector<std::string> QfeedTest::logLines(bool inStderr) {
  std::istringstream in(readFile(root_ + (inStderr ? "/err.txt" : "/out.txt")));
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) lines.push_back(line.size() >= 19 ? line.substr(19) : line);
  return lines;
}

bool QfeedTest::hasLine(const std::string& line, bool inStderr) {
  for (const std::string& l : logLines(inStderr)) {
    if (l == line) return true;
  }
  return false;
}

int QfeedTest::countText(const std::string& text, bool inStderr) {
  const std::string all = readFile(root_ + (inStderr ? "/err.txt" : "/out.txt"));
  int count = 0;
  for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++count;
  return count;
}

bool QfeedTest::waitForText(const std::string& text, int timeoutMs, bool inStderr) {
  for (int waited = 0; waited < timeoutMs; waited += 20) {
    if (countText(text, inStderr) > 0) return true;
    sleepMs(20);
  }
  return false;
}

bool QfeedTest::waitGone(const std::string& path, int timeoutMs) {
  for (int waited = 0; waited < timeoutMs; waited += 10) {
    if (access(path.c_str(), F_OK) != 0) return true;
    sleepMs(10);
  }
  return false;
}

std::string QfeedTest::sourceFolder(const std::string& name) {
  const std::string folder = sourceRoot_ + "/" + name;
  mkdir(folder.c_str(), 0755);
  return folder;
}

std::string QfeedTest::writeSource(const std::string& folder, const std::string& name,
                                   const std::string& content) {
  const std::string path = folder + "/" + name;
  std::ofstream(path, std::ios::binary) << content;
  return path;
}

void QfeedTest::putJob(const std::string& srcPath, const std::string& options, char isLog,
                       uint32_t srcId, const char* replyQ) {
  SRCINFO job;
  initSRCINFO(job);
  job.StructId.assign("KVSI");
  job.Version.assign(1);
  job.Src_id.assign(srcId);
  job.Src_type.assign("FILE");
  job.Src_path.assign(srcPath.c_str());
  const char flag[2] = {isLog, '\0'};
  job.Is_log.assign(flag);
  job.Options.assign(options.c_str());
  MQOD od = {MQOD_DEFAULT};
  setName(od.ObjectName, "JOBS");
  MQMD md = {MQMD_DEFAULT};
  setSegmentCorrelId(md.CorrelId, 0);
  std::memcpy(md.Format, MQFMT_STRING, MQ_FORMAT_LENGTH);
  setName(md.ReplyToQ, replyQ);
  MQPMO pmo = {MQPMO_DEFAULT};
  pmo.Options = MQPMO_NO_SYNCPOINT;
  MQLONG cc = 0;
  MQLONG rc = 0;
  MQPUT1(hConn_, &od, &md, &pmo, sizeof job, &job, &cc, &rc);
  ASSERT_EQ(cc, MQCC_OK) << rc;
}

void QfeedTest::putPing(const std::string& bytes, const char* replyQ) {
  MQOD od = {MQOD_DEFAULT};
  setName(od.ObjectName, "JOBS");
  MQMD md = {MQMD_DEFAULT};
  setSegmentCorrelId(md.CorrelId, 0);
  std::memcpy(md.Format, MQFMT_STRING, MQ_FORMAT_LENGTH);
  setName(md.ReplyToQ, replyQ);
  MQPMO pmo = {MQPMO_DEFAULT};
  pmo.Options = MQPMO_NO_SYNCPOINT;
  MQLONG cc = 0;
  MQLONG rc = 0;
  MQPUT1(hConn_, &od, &md, &pmo, static_cast<MQLONG>(bytes.size()), const_cast<char*>(bytes.data()),
         &cc, &rc);
  ASSERT_EQ(cc, MQCC_OK) << rc;
}

bool QfeedTest::getMessage(const char* queue, Message* message, int waitMs) {
  MQOD od = {MQOD_DEFAULT};
  setName(od.ObjectName, queue);
  MQHOBJ hObj = -1;
  MQLONG cc = 0;
  MQLONG rc = 0;
  MQOPEN(hConn_, &od, MQOO_INPUT_SHARED, &hObj, &cc, &rc);
  EXPECT_EQ(cc, MQCC_OK) << rc;
  MQMD md = {MQMD_DEFAULT};
  MQGMO gmo = {MQGMO_DEFAULT};
  gmo.Options = MQGMO_NO_SYNCPOINT + (waitMs > 0 ? MQGMO_WAIT : 0);
  gmo.WaitInterval = waitMs;
  static char buffer[65536];
  MQLONG length = 0;
  MQGET(hConn_, hObj, &md, &gmo, sizeof buffer, buffer, &length, &cc, &rc);
  MQLONG closeCc = 0;
  MQLONG closeRc = 0;
  MQCLOSE(hConn_, &hObj, MQCO_NONE, &closeCc, &closeRc);
  if (cc == MQCC_FAILED) {
    EXPECT_EQ(rc, MQRC_NO_MSG_AVAILABLE);
    return false;
  }
  message->md = md;
  message->data.assign(buffer, static_cast<size_t>(length));
  return true;
}

int QfeedTest::depth(const char* queue) {
  auto info = mqi::describeQueue(kQmgr, queue);
  EXPECT_TRUE(info.ok()) << info.status.message();
  return info.value.currentDepth;
}

void QfeedTest::inhibitGet(const char* queue) {
  MQOD od = {MQOD_DEFAULT};
  setName(od.ObjectName, queue);
  MQHOBJ hObj = -1;
  MQLONG cc = 0;
  MQLONG rc = 0;
  MQOPEN(hConn_, &od, MQOO_SET, &hObj, &cc, &rc);
  ASSERT_EQ(cc, MQCC_OK) << rc;
  MQLONG selector = MQIA_INHIBIT_GET;
  MQLONG value = MQQA_GET_INHIBITED;
  MQSET(hConn_, hObj, 1, &selector, 1, &value, 0, nullptr, &cc, &rc);
  ASSERT_EQ(cc, MQCC_OK) << rc;
  MQCLOSE(hConn_, &hObj, MQCO_NONE, &cc, &rc);
}
