#include "tests/qfeed/qfeed_fixture.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>

#include "common/records.h"
#include "mqi/admin.h"

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
  ASSERT_TRUE(root_.ok());
  sourceRoot_ = root_.makeFolder("src");
  logRoot_ = root_.makeFolder("log");
  testsupport::TestStore::inFolder(root_ / "store");
  unsetenv("QM_FAILPOINTS");
  mqi::QueueManagerOptions options;
  options.makeDefault = true;
  qm_ = std::make_unique<testsupport::TestQueueManager>(
      kQmgr, std::vector<std::string>{"JOBS", "RECV", "REPLY", "MARKS"}, options);
}

void QfeedTest::TearDown() {
  agent_.reset();
  qm_.reset();
  if (HasFailure()) {
    std::fprintf(stderr, "qfeed output:\n%s\nqfeed errors:\n%s\n", captured(false).c_str(),
                 captured(true).c_str());
  }
}

void QfeedTest::writeIni(const std::string& logPath, const std::string& srcQueue, int mqWaitTime,
                         int folderWaitTime, const std::string& loadedQueue) {
  root_.write("qfeed.ini", "[MQSeries Objects]\nQMgrName=" + std::string(kQmgr) +
                               "\nSrcQueue=" + srcQueue + "\nLoadedQueue=" + loadedQueue +
                               "\nInputExclusiveON=Y\n[Source Definition]\nLogPath=" + logPath +
                               "\n[Options]\nFolderWaitTime=" + std::to_string(folderWaitTime) +
                               "\nMQWaitTime=" + std::to_string(mqWaitTime) + "\n");
}

void QfeedTest::startAgent(const std::string& failpoints) {
  testsupport::ProgramStart start;
  start.name = "qfeed";
  start.args = {"qfeed.ini"};
  start.folder = root_.path();
  if (!failpoints.empty()) start.setEnv = {"QM_FAILPOINTS=" + failpoints};
  start.out = root_ / "out.txt";
  start.err = root_ / "err.txt";
  start.append = true;
  agent_ = std::make_unique<testsupport::Program>(QFEED_PATH, start);
}

int QfeedTest::waitAgent(int timeoutMs) {
  std::optional<int> code = agent_->waitExit(timeoutMs);
  if (!code) ADD_FAILURE() << "qfeed did not end in time";
  return code.value_or(-1);
}

std::string QfeedTest::captured(bool inStderr) const {
  return root_.read(inStderr ? "err.txt" : "out.txt");
}

std::vector<std::string> QfeedTest::logLines(bool inStderr) {
  return testsupport::logLines(captured(inStderr));
}

bool QfeedTest::hasLine(const std::string& line, bool inStderr) {
  for (const std::string& l : logLines(inStderr)) {
    if (l == line) return true;
  }
  return false;
}

int QfeedTest::countText(const std::string& text, bool inStderr) {
  return testsupport::countText(captured(inStderr), text);
}

bool QfeedTest::waitForText(const std::string& text, int timeoutMs, bool inStderr) {
  return testsupport::pollUntil([&] { return countText(text, inStderr) > 0; }, timeoutMs, 20);
}

bool QfeedTest::waitGone(const std::string& path, int timeoutMs) {
  return testsupport::pollUntil([&] { return access(path.c_str(), F_OK) != 0; }, timeoutMs);
}

std::string QfeedTest::sourceFolder(const std::string& name) {
  return root_.makeFolder("src/" + name);
}

std::string QfeedTest::writeSource(const std::string& folder, const std::string& name,
                                   const std::string& content) {
  const std::string path = folder + "/" + name;
  std::ofstream(path, std::ios::binary) << content;
  return path;
}

void QfeedTest::putJob(const std::string& srcPath, const std::string& options, char isLog,
                       uint32_t srcId, const char* replyQ) {
  qm_->putJob("JOBS", srcPath, options, replyQ, srcId, isLog);
}

void QfeedTest::putPing(const std::string& bytes, const char* replyQ) {
  MQMD md = {MQMD_DEFAULT};
  setSegmentCorrelId(md.CorrelId, 0);
  std::memcpy(md.Format, MQFMT_STRING, MQ_FORMAT_LENGTH);
  testsupport::setName(md.ReplyToQ, replyQ);
  qm_->put("JOBS", bytes, md);
}

bool QfeedTest::getMessage(const char* queue, Message* message, int waitMs) {
  return qm_->get(queue, message, waitMs);
}
