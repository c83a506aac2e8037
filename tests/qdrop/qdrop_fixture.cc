#include "tests/qdrop/qdrop_fixture.h"

#include <stdlib.h>

#include <cstring>
#include <fstream>
#include <iostream>

#include "mqi/admin.h"

namespace qdroptest {

void QdropTest::SetUp() {
  ASSERT_TRUE(folder_.ok());
  testsupport::TestStore::inFolder(Path("store"));
  mqi::QueueManagerOptions options;
  options.codedCharSetId = kCcsid;
  qm_ = std::make_unique<testsupport::TestQueueManager>(
      kQMgr, std::vector<std::string>{kDeliveryQueue, kReplyQueue, kDeferQueue}, options);
  WriteSettings();
}

void QdropTest::TearDown() {
  agents_.clear();
  qm_.reset();
}

void QdropTest::WriteSettings(const std::string& options) {
  settingsFile = Path("qdrop.ini");
  std::ofstream(settingsFile) << "[MQSeries Objects]\nQMgrName=" << kQMgr
                              << "\nQName=" << kDeliveryQueue
                              << "\nWaitMQInterval=100\n[Options]\nDeferInterval=300\n"
                              << options;
}

TGTDESC QdropTest::Header(const std::string& pathTemplate, const char* mode, uint32_t maxSeq,
                          const std::string& options) const {
  TGTDESC header;
  initTGTDESC(header);
  header.StructId.assign("KVDT");
  header.Version.assign(1);
  header.MaxSeq.assign(maxSeq);
  header.Src_id.assign(12);
  header.Src_path.assign("C:\\source\\report.xml");
  header.Obj_id.assign(6789);
  header.Tgt_id.assign(345);
  header.Tgt_path.assign(pathTemplate.c_str());
  header.Tgt_crtmod.assign(mode);
  header.Options.assign(options.c_str());
  return header;
}

void QdropTest::PutMessage(const std::string& data, MQMD& md) {
  qm_->put(kDeliveryQueue, data, md);
}

PutGroup QdropTest::PutDelivery(const TGTDESC& header, const std::vector<std::string>& segments,
                                int32_t headerCcsid, const char* headerFormat,
                                size_t headerLength) {
  testsupport::Group group;
  group.segments = segments;
  group.header.assign(reinterpret_cast<const char*>(&header), headerLength);
  group.replyQueue = kReplyQueue;
  group.segmentFormat = MQFMT_STRING;
  group.headerFormat = headerFormat;
  group.headerCcsid = headerCcsid;
  PutGroup put;
  put.messages = qm_->putGroup(kDeliveryQueue, group);
  std::memcpy(put.msgId, put.messages.back().md.MsgId, sizeof put.msgId);
  return put;
}

Program* QdropTest::Start(const std::vector<std::string>& extraEnv, bool withArgument) {
  testsupport::ProgramStart start;
  if (withArgument) start.args = {settingsFile};
  start.folder = folder;
  start.setEnv = extraEnv;
  start.unsetEnv = {"QM_FAILPOINTS"};
  start.out = Path("qdrop.out");
  start.err = Path("qdrop.err");
  agents_.push_back(std::make_unique<Program>(QDROP_PROGRAM, start));
  return agents_.back().get();
}

bool QdropTest::WaitFor(const std::function<bool()>& condition, int timeoutMs) {
  return testsupport::pollUntil(condition, timeoutMs, 20);
}

Finished QdropTest::Wait(Program* agent, int timeoutMs) {
  Finished finished;
  if (std::optional<int> code = agent->waitExit(timeoutMs)) {
    finished.exitCode = *code;
  } else {
    agent->kill9();
  }
  finished.out = readFile(Path("qdrop.out"));
  finished.err = readFile(Path("qdrop.err"));
  if (getenv("QDROP_TEST_SHOW") != nullptr) std::cerr << finished.out;  // for debugging
  return finished;
}

Finished QdropTest::Stop(Program* agent) {
  qm_->setGetInhibited(kDeliveryQueue, true);
  Finished finished = Wait(agent, 20000);
  qm_->setGetInhibited(kDeliveryQueue, false);
  return finished;
}

Finished QdropTest::RunUntilReplies(int count, const std::vector<std::string>& extraEnv) {
  Program* agent = Start(extraEnv);
  bool replied = qm_->waitForCommitted(kReplyQueue, count, 30000);
  Finished finished = Stop(agent);
  EXPECT_TRUE(replied) << finished.out << finished.err;
  return finished;
}

std::string Hex(const MQBYTE* bytes, size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (size_t i = 0; i < size; ++i) {
    hex += digits[bytes[i] >> 4];
    hex += digits[bytes[i] & 15];
  }
  return hex;
}

}  // namespace qdroptest
