// The router against a real embedded queue manager: groups delivered whole with their ids and
// context, dead-lettered groups, pings, and faults in the middle of a group.
#include "router/router.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/records.h"
#include "mqi/admin.h"
#include "mqi/failpoints.h"
#include "mqi/mqi.h"
#include "tests/support/queue_manager.h"
#include "tests/support/test_data.h"

namespace route {
namespace {

using testsupport::Message;
using testsupport::msgIdOf;

std::string segmentOf(size_t size, char seed) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>(seed + i * 7 % 251);
  return s;
}

uint32_t segmentNumber(const Message& m) { return testsupport::segmentOf(m.md); }

class RouterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("QM_FAILPOINTS");
    mqi::reloadFailpoints();
    qm_ = std::make_unique<testsupport::TestQueueManager>(
        "QMROUTE", std::vector<std::string>{"RCV", "DLV", "OTHER.DLV", "DEAD", "STATUS", "PONG"});

    settings_.qmgrName = qm_->name();
    settings_.rcvrQueue = "RCV";
    settings_.dlvrQueue = "DLV";
    settings_.deadQueue = "DEAD";
    settings_.replyToQ = "STATUS";
    settings_.waitMQInterval = 20;
    Route xml;
    xml.number = 1;
    xml.srcFolder = "/in/doc";
    xml.srcMask = "*.xml";
    xml.objId = 5;
    xml.tgtId = 6;
    xml.tgtPath = "new(/out/doc/)old";
    xml.tgtCrtmod = "REPLACE";
    Route other;
    other.number = 2;
    other.srcFolder = "/in/other";
    other.dlvrQueue = "OTHER.DLV";
    other.replyToQ = "PONG";
    other.tgtPath = "new(/out/other/)old";
    Route broken;
    broken.number = 3;
    broken.srcFolder = "/in/broken";
    broken.dlvrQueue = "NO.SUCH.QUEUE";
    broken.tgtPath = "new(/out/)old";
    settings_.routes = {xml, other, broken};
  }

  void TearDown() override {
    qm_.reset();
    unsetenv("QM_FAILPOINTS");
    mqi::reloadFailpoints();
  }

  // Puts a file group as the load agent does: segments 1..n, then the data header, one MsgId,
  // one unit of work, with a context of our own. `skip` leaves one segment out; `maxSeq`
  // overrides the count in the header. Returns the group's MsgId.
  std::string putGroup(const std::string& srcPath, const std::vector<std::string>& segments,
                       uint32_t skip = 0, int maxSeq = -1) {
    MQMD context = {MQMD_DEFAULT};
    std::memcpy(context.ApplIdentityData, "road-test", 9);
    std::memcpy(context.PutApplName, "loader", 6);
    std::memcpy(context.PutDate, "20070315", 8);
    std::memcpy(context.PutTime, "09050100", 8);
    context.Persistence = MQPER_PERSISTENT;
    SRCDESC header;
    initSRCDESC(header);
    header.MaxSeq.assign(maxSeq >= 0 ? maxSeq : static_cast<uint32_t>(segments.size()));
    header.Src_id.assign(31);
    header.Src_path.assign(srcPath.c_str());
    testsupport::Group group;
    group.segments = segments;
    group.header = std::string(reinterpret_cast<char*>(&header), sizeof header);
    group.leftOut = skip;
    group.context = &context;
    return msgIdOf(qm_->putGroup("RCV", group).back().md);
  }

  // One message on the receiver queue, outside any group.
  void putAlone(const std::string& data, const char* replyQueue = "") {
    MQMD md = {MQMD_DEFAULT};
    setSegmentCorrelId(md.CorrelId, 0);
    testsupport::setName(md.ReplyToQ, replyQueue);
    qm_->put("RCV", data, md);
  }

  std::vector<Message> drain(const char* queue) { return qm_->drain(queue); }
  // Committed messages only: CurrentQDepth would count the router's uncommitted puts and let a
  // test stop it before its commit.
  int32_t depth(const char* queue) { return qm_->committed(queue); }

  // Runs the router until `done` holds (or 20 s pass), then inhibits get on its queue and
  // returns its exit code.
  int runUntil(const std::function<bool()>& done) {
    int exitCode = -1;
    std::thread router([&] { exitCode = runRouter(settings_); });
    testsupport::pollUntil(done, 20000);
    qm_->setGetInhibited("RCV", true);
    router.join();
    return exitCode;
  }

  testsupport::TestStore store_ = testsupport::TestStore::fromEnvironment("qroute-test");
  std::unique_ptr<testsupport::TestQueueManager> qm_;
  RouterSettings settings_;
};

std::string idOf(const MQMD& md) { return msgIdOf(md); }

TEST_F(RouterTest, MovesGroupsWholeWithTheirIdsContextAndARoutedHeader) {
  std::vector<std::vector<std::string>> files = {
      {}, {segmentOf(24575, 'a')}, {segmentOf(24575, 'b'), segmentOf(24575, 'c'), segmentOf(1, 'd')}};
  std::vector<std::string> ids;
  for (size_t f = 0; f < files.size(); ++f) {
    ids.push_back(putGroup("/in/doc/file" + std::to_string(f) + ".xml", files[f]));
  }
  std::string otherId = putGroup("/in/other/data.bin", {segmentOf(100, 'x')});

  EXPECT_EQ(runUntil([&] { return depth("RCV") == 0 && depth("DLV") == 7 &&
                                  depth("OTHER.DLV") == 2; }),
            kExitNormal);

  std::vector<Message> delivered = drain("DLV");
  ASSERT_EQ(delivered.size(), 7u);
  for (size_t f = 0; f < files.size(); ++f) {
    std::vector<Message> group;
    for (const Message& m : delivered) {
      if (idOf(m.md) == ids[f]) group.push_back(m);
    }
    ASSERT_EQ(group.size(), files[f].size() + 1) << "file " << f;
    for (const Message& m : group) {
      EXPECT_EQ(std::string(m.md.ApplIdentityData, 9), "road-test");
      EXPECT_EQ(std::string(m.md.PutDate, 8), "20070315");
      EXPECT_EQ(std::string(m.md.PutTime, 8), "09050100");
      EXPECT_EQ(m.md.Persistence, MQPER_PERSISTENT);
      if (segmentNumber(m) > 0) {
        EXPECT_EQ(m.data, files[f][segmentNumber(m) - 1])
            << "file " << f << " segment " << segmentNumber(m);
        continue;
      }
      ASSERT_EQ(m.data.size(), sizeof(TGTDESC));
      TGTDESC header;
      std::memcpy(&header, m.data.data(), sizeof header);
      EXPECT_EQ(std::string(header.StructId.bytes, 4), "KVDT");
      EXPECT_EQ(header.MaxSeq.value(), files[f].size());
      EXPECT_EQ(header.Src_id.value(), 31u);
      EXPECT_EQ(header.Obj_id.value(), 5u);
      EXPECT_EQ(header.Tgt_id.value(), 6u);
      EXPECT_EQ(std::string(header.Tgt_path.data(), header.Tgt_path.textLength()),
                "new(/out/doc/)old");
      EXPECT_EQ(std::string(header.Src_name.data(), header.Src_name.textLength()),
                "file" + std::to_string(f) + ".xml");
      EXPECT_EQ(std::string(m.md.ReplyToQ, 6), "STATUS");
      EXPECT_EQ(std::string(m.md.Format, 8), MQFMT_STRING);
    }
  }
  std::vector<Message> other = drain("OTHER.DLV");
  ASSERT_EQ(other.size(), 2u);
  for (const Message& m : other) {
    EXPECT_EQ(idOf(m.md), otherId);
    if (segmentNumber(m) == 0) {
      EXPECT_EQ(std::string(m.md.ReplyToQ, 4), "PONG");
    }
  }
  EXPECT_EQ(depth("DEAD"), 0);
}

TEST_F(RouterTest, DeadLettersWhatCannotBeDeliveredAndGoesOn) {
  std::string unmatched = putGroup("/in/elsewhere/a.xml", {segmentOf(10, 'u'), segmentOf(5, 'v')});
  std::string incomplete = putGroup("/in/doc/b.xml", {segmentOf(10, 'i'), segmentOf(10, 'j'),
                                                      segmentOf(10, 'k')}, /*skip=*/2);
  std::string oversized = putGroup("/in/doc/c.xml", {segmentOf(30000, 'o')});
  std::string refused = putGroup("/in/broken/d.xml", {segmentOf(10, 'r')});
  putAlone("HELLO");
  // A header that claims a billion segments, and one that claims fewer than it has.
  std::string huge = putGroup("/in/doc/h.xml", {segmentOf(10, 'h')}, 0, 999999999);
  std::string extra = putGroup("/in/doc/x.xml", {segmentOf(10, 'x'), segmentOf(10, 'y')}, 0, 1);
  std::string good = putGroup("/in/doc/e.xml", {segmentOf(10, 'g')});

  // unmatched 3, incomplete 3 of 4, oversized 2, refused 2, junk 1, huge 2, extra 3
  EXPECT_EQ(runUntil([&] { return depth("RCV") == 0 && depth("DEAD") == 16 && depth("DLV") == 2; }),
            kExitNormal);

  std::vector<Message> dead = drain("DEAD");
  ASSERT_EQ(dead.size(), 16u);
  auto feedbackOf = [&](const std::string& id) {
    for (const Message& m : dead) {
      if (idOf(m.md) == id && segmentNumber(m) == 0) return m.md.Feedback - kFeedbackBase;
    }
    return -1;
  };
  auto countOf = [&](const std::string& id) {
    int n = 0;
    for (const Message& m : dead) n += idOf(m.md) == id;
    return n;
  };
  EXPECT_EQ(feedbackOf(unmatched), static_cast<MQLONG>(DeadReason::kNoRoute));
  EXPECT_EQ(countOf(unmatched), 3);
  EXPECT_EQ(feedbackOf(incomplete), static_cast<MQLONG>(DeadReason::kSegmentMissing));
  EXPECT_EQ(countOf(incomplete), 3);
  EXPECT_EQ(feedbackOf(oversized), static_cast<MQLONG>(DeadReason::kSegmentTooLong));
  EXPECT_EQ(feedbackOf(refused), static_cast<MQLONG>(DeadReason::kDeliveryRefused));
  EXPECT_EQ(feedbackOf(huge), static_cast<MQLONG>(DeadReason::kSegmentMissing));
  EXPECT_EQ(countOf(huge), 2);
  EXPECT_EQ(feedbackOf(extra), static_cast<MQLONG>(DeadReason::kMoreSegments));
  EXPECT_EQ(countOf(extra), 3);
  bool sawJunk = false;
  for (const Message& m : dead) {
    if (segmentNumber(m) == 0 && idOf(m.md) == unmatched) {
      ASSERT_EQ(m.data.size(), sizeof(SRCDESC));  // the data header, unchanged
      EXPECT_EQ(m.data.substr(0, 4), "KVDT");
    }
    if (idOf(m.md) == oversized && segmentNumber(m) == 1) {
      EXPECT_EQ(m.data, segmentOf(30000, 'o'));
    }
    if (m.data == "HELLO") {
      sawJunk = true;
      EXPECT_EQ(m.md.Feedback - kFeedbackBase, static_cast<MQLONG>(DeadReason::kNotADataHeader));
    }
  }
  EXPECT_TRUE(sawJunk);
  std::vector<Message> delivered = drain("DLV");
  ASSERT_EQ(delivered.size(), 2u);
  EXPECT_EQ(idOf(delivered[0].md), good);
}

// A group that ends the router (here: its dead-letter queue does not exist) is set aside to the
// receiver queue's backout queue once backed out as often as the queue allows; the group
// behind it is routed.
TEST_F(RouterTest, AGroupThatEndsTheRouterIsSetAsideAndTheNextIsRouted) {
  settings_.deadQueue = "NO.SUCH.DEAD";
  mqi::QueueAttributes poison;
  poison.backoutThreshold = 2;
  poison.backoutRequeueQName = "DEAD";
  ASSERT_TRUE(mqi::alterQueue(qm_->name(), "RCV", poison).ok());
  std::string unmatched = putGroup("/in/elsewhere/a.xml", {segmentOf(10, 'u'), segmentOf(5, 'v')});
  std::string good = putGroup("/in/doc/e.xml", {segmentOf(10, 'g')});

  for (int start = 0; start < 2; ++start) {  // each start backs the group out once
    int exitCode = -1;  // on a thread of its own: the test's connection is this thread's
    std::thread([&] { exitCode = runRouter(settings_); }).join();
    EXPECT_EQ(exitCode, kExitMqError);
  }
  EXPECT_EQ(runUntil([&] { return depth("DLV") == 2; }), kExitNormal);
  std::vector<Message> aside = drain("DEAD");
  ASSERT_EQ(aside.size(), 3u);
  for (const Message& m : aside) {
    EXPECT_EQ(idOf(m.md), unmatched);
    EXPECT_EQ(m.md.Feedback, MQRC_BACKOUT_THRESHOLD_REACHED);
  }
  EXPECT_EQ(idOf(drain("DLV").at(0).md), good);
}

TEST_F(RouterTest, AnswersAPingOnItsReceiverQueue) {
  PING ping;
  initPING(ping);
  ping.NodId.assign(42);
  ping.SendTms.assign("2007-03-15 09:05:01");
  putAlone(std::string(reinterpret_cast<char*>(&ping), sizeof ping), "PONG");

  EXPECT_EQ(runUntil([&] { return depth("PONG") == 1; }), kExitNormal);
  std::vector<Message> replies = drain("PONG");
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].data, std::string(reinterpret_cast<char*>(&ping), sizeof ping));
  EXPECT_EQ(depth("RCV"), 0);
}

// A connection lost in the middle of a group, or at its commit, backs the group out; after
// the reconnection it is delivered exactly once.
TEST_F(RouterTest, ConnectionLostMidGroupLosesAndDuplicatesNothing) {
  std::vector<std::string> segments;
  for (int i = 0; i < 20; ++i) segments.push_back(segmentOf(24575, static_cast<char>('A' + i)));
  std::string id = putGroup("/in/doc/big.xml", segments);
  std::string second = putGroup("/in/doc/small.xml", {segmentOf(3, 's')});

  setenv("QM_FAILPOINTS", "MQPUT@10=2:2009,MQCMIT@2=2:2162", 1);
  mqi::reloadFailpoints();
  EXPECT_EQ(runUntil([&] { return depth("RCV") == 0 && depth("DLV") == 23; }), kExitNormal);

  std::vector<Message> delivered = drain("DLV");
  ASSERT_EQ(delivered.size(), 23u);
  std::vector<int> seen(21, 0);
  for (const Message& m : delivered) {
    if (idOf(m.md) != id) continue;
    ++seen[segmentNumber(m)];
    if (segmentNumber(m) > 0) {
      EXPECT_EQ(m.data, segments[segmentNumber(m) - 1]);
    }
  }
  for (int s = 0; s <= 20; ++s) EXPECT_EQ(seen[s], 1) << "segment " << s;
  EXPECT_EQ(depth("DEAD"), 0);
}

}  // namespace
}  // namespace route
