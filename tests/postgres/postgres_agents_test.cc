// The delivery agent on the PostgreSQL store, end to end: two qdrop processes that share one
// delivery queue (InputExclusiveON=N) deliver every file exactly once, also when the server
// stops and starts again under them. Run through with_server.sh, which provides the server.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/records.h"
#include "platform/test_folder.h"
#include "tests/postgres/server_control.h"
#include "tests/support/program.h"
#include "tests/support/queue_manager.h"
#include "tests/support/test_data.h"

namespace {

namespace fs = std::filesystem;
using testsupport::countLinesEndingWith;
using testsupport::pollUntil;
using testsupport::Program;
using testsupport::readFile;

// Fewer files under the address sanitizer, which makes every process about three times slower.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kFiles = 100;
#else
constexpr int kFiles = 200;
#endif
constexpr int kSegment = 24576;
constexpr const char* kDelivery = "DLVR.Q";
constexpr const char* kReplies = "REPLY.Q";
constexpr const char* kDeferred = "DEFER.Q";

// The content of file `index`: sizes from empty to two segments, bytes no two files share.
std::string content(int index) {
  return testsupport::patternBytes(static_cast<size_t>(index * 613 % 40000),
                                   static_cast<uint32_t>(index));
}

std::string fileName(int index) { return "f" + std::to_string(index) + ".dat"; }

class SharedDelivery : public ::testing::Test {
 protected:
  void SetUp() override {
    if (environmentValue("QM_TEST_STORE").empty()) {
      GTEST_SKIP() << "QM_TEST_STORE not set: run through with_server.sh";
    }
    store_ = std::make_unique<testsupport::TestStore>(
        testsupport::TestStore::fromEnvironment("qt-pg-agents"));
    ASSERT_TRUE(folder_.ok());
    qm_ = std::make_unique<testsupport::TestQueueManager>(
        testsupport::TestStore::uniqueName("PA"),
        std::vector<std::string>{kDelivery, kReplies, kDeferred});
    settings_ = folder_.write("qdrop.ini", "[MQSeries Objects]\nQMgrName=" + qm_->name() +
                                               "\nQName=" + kDelivery +
                                               "\nWaitMQInterval=100\nInputExclusiveON=N\n"
                                               "[Options]\nDeferInterval=2000\n");
  }

  void TearDown() override {
    agents_.clear();
    qm_.reset();
  }

  // Starts two agents and waits until both hold the delivery queue open.
  void startAgents() {
    for (int i = 0; i < 2; ++i) {
      testsupport::ProgramStart start;
      start.args = {settings_};
      start.out = start.err = log(i);
      agents_.push_back(std::make_unique<Program>(QDROP_PROGRAM, start));
    }
    bool open =
        pollUntil([&] { return qm_->describe(kDelivery).openInputCount == 2; }, 30000, 20);
    ASSERT_TRUE(open) << output(0) << output(1);
  }

  std::string log(int agent) const { return folder_ / ("qdrop" + std::to_string(agent) + ".log"); }
  std::string output(int agent) const { return readFile(log(agent)); }

  // Inhibits gets on the delivery queue, the normal way to stop the agents; true when both
  // ended with exit code 0.
  bool stopAgents() {
    qm_->setGetInhibited(kDelivery, true);
    bool ended = agents_[0]->waitExit(30000) && agents_[1]->waitExit(30000);
    return ended && agents_[0]->exitCode() == 0 && agents_[1]->exitCode() == 0;
  }

  // Puts files [from, to) as deliveries, one unit of work each: segments, then the header.
  void putFiles(int from, int to, const char* mode) {
    for (int i = from; i < to; ++i) {
      testsupport::Group group;
      group.segments = testsupport::splitSegments(content(i), kSegment);
      TGTDESC header = makeHeader(i, static_cast<uint32_t>(group.segments.size()), mode);
      group.header.assign(reinterpret_cast<const char*>(&header), sizeof header);
      group.replyQueue = kReplies;
      group.segmentFormat = MQFMT_STRING;
      msgIds_[i] = testsupport::msgIdOf(qm_->putGroup(kDelivery, group).back().md);
    }
  }

  TGTDESC makeHeader(int index, uint32_t segments, const char* mode) const {
    TGTDESC header;
    initTGTDESC(header);
    header.StructId.assign("KVDT");
    header.Version.assign(1);
    header.MaxSeq.assign(segments);
    header.Src_id.assign(static_cast<uint32_t>(index));
    header.Src_path.assign(("/source/" + fileName(index)).c_str());
    header.Obj_id.assign(1);
    header.Tgt_id.assign(2);
    header.Tgt_path.assign(("new(" + folder_.path() + "/out/)old").c_str());
    header.Tgt_crtmod.assign(mode);
    header.Options.assign("-garbage DEFER.Q");
    return header;
  }

  // Files 0..kFiles-1 are in the target folder with their contents, nothing else is there,
  // and each has exactly one "D" status with its delivery's MsgId; no message is left over.
  void expectEachFileDeliveredOnce() {
    std::set<std::string> present;
    for (const auto& entry : fs::directory_iterator(folder_ / "out"))
      present.insert(entry.path().filename().string());
    std::set<std::string> expected;
    for (int i = 0; i < kFiles; ++i) expected.insert(fileName(i));
    EXPECT_EQ(present, expected);
    for (int i = 0; i < kFiles; ++i)
      EXPECT_EQ(folder_.read("out/" + fileName(i)), content(i)) << fileName(i);

    std::map<int, int> delivered;
    for (const testsupport::Message& message : qm_->drain(kReplies)) {
      testsupport::StatusRecord s = testsupport::statusOf(message);
      EXPECT_EQ(s.structId, "KVDS");
      EXPECT_EQ(s.state, 'D') << s.comments;
      ++delivered[static_cast<int>(s.srcId)];
      EXPECT_EQ(s.msgId, msgIds_[static_cast<int>(s.srcId)]) << "status of file " << s.srcId;
    }
    EXPECT_EQ(static_cast<int>(delivered.size()), kFiles);
    for (const auto& [id, count] : delivered) EXPECT_EQ(count, 1) << "file " << id;
    EXPECT_EQ(qm_->depth(kDelivery), 0);
    EXPECT_EQ(qm_->depth(kDeferred), 0);
  }

  int delivered(int agent) {
    return countLinesEndingWith(output(agent), "' has been delivered successfuly.");
  }

  int replies() { return qm_->committed(kReplies); }

  std::unique_ptr<testsupport::TestStore> store_;
  TestFolder folder_{"qt-pg-agents"};
  std::unique_ptr<testsupport::TestQueueManager> qm_;
  std::string settings_;
  std::vector<std::unique_ptr<Program>> agents_;
  std::map<int, std::string> msgIds_;
};

// NEWVERS makes a second delivery of a file visible as a second version beside it.
TEST_F(SharedDelivery, TwoAgentsDeliverEveryFileExactlyOnce) {
  ASSERT_NO_FATAL_FAILURE(startAgents());
  ASSERT_NO_FATAL_FAILURE(putFiles(0, kFiles, "NEWVERS"));
  bool all = qm_->waitForCommitted(kReplies, kFiles, 45000);
  EXPECT_TRUE(all) << replies() << " of " << kFiles << " delivered";
  EXPECT_TRUE(stopAgents()) << output(0) << output(1);
  expectEachFileDeliveredOnce();
  // Both took part: while one writes a file, the other takes the next header.
  EXPECT_GT(delivered(0), 0);
  EXPECT_GT(delivered(1), 0);
  EXPECT_EQ(delivered(0) + delivered(1), kFiles);
}

// The server stops while the agents deliver: the call in progress fails, the agents wait and
// connect again until the server is back, and the files of the lost units of work come back
// to the queue and are delivered. REPLACE, because a file written just before its commit
// failed stays and is written again.
TEST_F(SharedDelivery, AgentsFinishTheirWorkAcrossAServerRestart) {
  ASSERT_NO_FATAL_FAILURE(startAgents());
  ASSERT_NO_FATAL_FAILURE(putFiles(0, kFiles / 2, "REPLACE"));
  ASSERT_TRUE(qm_->waitForCommitted(kReplies, 10, 30000));

  auto retries = [&](int agent) {
    return countLinesEndingWith(output(agent),
                                " MQ error has occured. Waiting 100 ms for next attempt.");
  };
  serverControl("stop");
  // Both agents found the server gone and are trying to connect again.
  bool waiting = pollUntil([&] { return retries(0) > 0 && retries(1) > 0; }, 30000, 20);
  serverControl("start");
  ASSERT_TRUE(waiting) << output(0) << output(1);
  ASSERT_TRUE(agents_[0]->running() && agents_[1]->running());
  // The test's own connection died with the server.
  qm_->reconnect();

  ASSERT_NO_FATAL_FAILURE(putFiles(kFiles / 2, kFiles, "REPLACE"));
  bool all = qm_->waitForCommitted(kReplies, kFiles, 45000);
  EXPECT_TRUE(all) << replies() << " of " << kFiles << " delivered";
  EXPECT_TRUE(stopAgents()) << output(0) << output(1);
  expectEachFileDeliveredOnce();
  for (int agent = 0; agent < 2; ++agent) {
    std::string out = output(agent);
    std::string connected = " Connect to Queue Manager '" + qm_->name() + "' successful.";
    EXPECT_GE(countLinesEndingWith(out, connected), 2) << out;
  }
}

}  // namespace
