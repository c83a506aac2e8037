// The router against a real embedded queue manager: groups delivered whole with their ids and
// context, dead-lettered groups, pings, and faults in the middle of a group.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/records.h"
#include "mqi/admin.h"
#include "mqi/failpoints.h"
#include "mqi/mqi.h"
#include "platform/test_folder.h"
#include "router/router.h"

namespace route {
namespace {

const char* kQm = "QMROUTE";

struct Message {
  MQMD md;
  std::string data;
  uint32_t segment = 0;
};

std::string segmentOf(size_t size, char seed) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>(seed + i * 7 % 251);
  return s;
}

class RouterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder_.ok());
    setenv("QM_STORE", dir_.c_str(), 1);
    unsetenv("QM_FAILPOINTS");
    mqi::reloadFailpoints();
    ASSERT_TRUE(mqi::createQueueManager(kQm, {}).ok());
    ASSERT_TRUE(mqi::startQueueManager(kQm).ok());
    for (const char* q : {"RCV", "DLV", "OTHER.DLV", "DEAD", "STATUS", "PONG"}) {
      ASSERT_TRUE(mqi::defineQueue(kQm, q, {}).ok()) << q;
    }
    MQLONG cc = 0, reason = 0;
    MQCONN(kQm, &conn_, &cc, &reason);
    ASSERT_EQ(cc, MQCC_OK) << reason;

    settings_.qmgrName = kQm;
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
    MQLONG cc = 0, reason = 0;
    if (conn_ != MQHC_UNUSABLE_HCONN) MQDISC(&conn_, &cc, &reason);
    mqi::stopQueueManager(kQm, false);
    mqi::deleteQueueManager(kQm);
    unsetenv("QM_FAILPOINTS");
    mqi::reloadFailpoints();
  }

  MQHOBJ open(const char* queue, MQLONG options) {
    MQOD od = {MQOD_DEFAULT};
    std::memcpy(od.ObjectName, queue, std::min(std::strlen(queue), sizeof od.ObjectName));
    MQHOBJ h = MQHO_UNUSABLE_HOBJ;
    MQLONG cc = 0, reason = 0;
    MQOPEN(conn_, &od, options, &h, &cc, &reason);
    EXPECT_EQ(cc, MQCC_OK) << queue << " " << reason;
    return h;
  }

  void put(MQHOBJ h, MQMD* md, const std::string& data, MQLONG options = MQPMO_SYNCPOINT) {
    MQPMO pmo = {MQPMO_DEFAULT};
    pmo.Options = options;
    MQLONG cc = 0, reason = 0;
    MQPUT(conn_, h, md, &pmo, static_cast<MQLONG>(data.size()), const_cast<char*>(data.data()),
          &cc, &reason);
    ASSERT_EQ(cc, MQCC_OK) << reason;
  }

  // Puts a file group as the load agent does: segments 1..n, then the data header, one MsgId,
  // one unit of work, with a context of our own. `skip` leaves one segment out; `maxSeq`
  // overrides the count in the header.
  std::string putGroup(const std::string& srcPath, const std::vector<std::string>& segments,
                       int skip = 0, int maxSeq = -1) {
    MQHOBJ h = open("RCV", MQOO_OUTPUT | MQOO_SET_ALL_CONTEXT);
    MQMD md = {MQMD_DEFAULT};
    std::memcpy(md.ApplIdentityData, "road-test", 9);
    std::memcpy(md.PutApplName, "loader", 6);
    std::memcpy(md.PutDate, "20070315", 8);
    std::memcpy(md.PutTime, "09050100", 8);
    md.Persistence = MQPER_PERSISTENT;
    bool first = true;
    for (size_t i = 0; i < segments.size(); ++i) {
      setSegmentCorrelId(md.CorrelId, static_cast<uint32_t>(i + 1));
      if (static_cast<int>(i + 1) == skip) continue;
      put(h, &md, segments[i], MQPMO_SYNCPOINT | MQPMO_SET_ALL_CONTEXT);
      first = false;
    }
    (void)first;
    SRCDESC header;
    initSRCDESC(header);
    header.MaxSeq.assign(maxSeq >= 0 ? maxSeq : static_cast<uint32_t>(segments.size()));
    header.Src_id.assign(31);
    header.Src_path.assign(srcPath.c_str());
    std::memcpy(md.Format, MQFMT_STRING, 8);
    setSegmentCorrelId(md.CorrelId, 0);
    put(h, &md, std::string(reinterpret_cast<char*>(&header), sizeof header),
        MQPMO_SYNCPOINT | MQPMO_SET_ALL_CONTEXT);
    MQLONG cc = 0, reason = 0;
    MQCMIT(conn_, &cc, &reason);
    EXPECT_EQ(cc, MQCC_OK);
    MQCLOSE(conn_, &h, MQCO_NONE, &cc, &reason);
    return std::string(reinterpret_cast<char*>(md.MsgId), 24);
  }

  // Every message of a queue, got for good, in queue order.
  std::vector<Message> drain(const char* queue) {
    MQHOBJ h = open(queue, MQOO_INPUT_SHARED);
    std::vector<Message> out;
    std::vector<char> buffer(8 << 20);
    for (;;) {
      Message m;
      m.md = MQMD{MQMD_DEFAULT};
      MQGMO gmo = {MQGMO_DEFAULT};
      gmo.Options = MQGMO_NO_SYNCPOINT;
      MQLONG length = 0, cc = 0, reason = 0;
      MQGET(conn_, h, &m.md, &gmo, static_cast<MQLONG>(buffer.size()), buffer.data(), &length,
            &cc, &reason);
      if (cc == MQCC_FAILED) break;
      m.data.assign(buffer.data(), static_cast<size_t>(length));
      parseSegmentCorrelId(m.md.CorrelId, &m.segment);
      out.push_back(m);
    }
    MQLONG cc = 0, reason = 0;
    MQCLOSE(conn_, &h, MQCO_NONE, &cc, &reason);
    return out;
  }

  // Committed messages only: CurrentQDepth would count the router's uncommitted puts and let a
  // test stop it before its commit.
  int32_t depth(const char* queue) {
    MQHOBJ h = open(queue, MQOO_BROWSE);
    int32_t count = 0;
    for (;;) {
      MQMD md = {MQMD_DEFAULT};
      MQGMO gmo = {MQGMO_DEFAULT};
      gmo.Options = MQGMO_BROWSE_NEXT | MQGMO_ACCEPT_TRUNCATED_MSG;
      MQLONG length = 0, cc = 0, reason = 0;
      MQGET(conn_, h, &md, &gmo, 0, nullptr, &length, &cc, &reason);
      if (cc == MQCC_FAILED) break;
      ++count;
    }
    MQLONG cc = 0, reason = 0;
    MQCLOSE(conn_, &h, MQCO_NONE, &cc, &reason);
    return count;
  }

  // Runs the router until `done` holds (or 20 s pass), then inhibits get on its queue and
  // returns its exit code.
  int runUntil(const std::function<bool()>& done) {
    int exitCode = -1;
    std::thread router([&] { exitCode = runRouter(settings_); });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    mqi::QueueAttributes inhibit;
    inhibit.inhibitGet = MQQA_GET_INHIBITED;
    EXPECT_TRUE(mqi::alterQueue(kQm, "RCV", inhibit).ok());
    router.join();
    return exitCode;
  }

  TestFolder folder_{"qroute_test"};
  const std::string& dir_ = folder_.path();
  MQHCONN conn_ = MQHC_UNUSABLE_HCONN;
  RouterSettings settings_;
};

std::string idOf(const MQMD& md) { return std::string(reinterpret_cast<const char*>(md.MsgId), 24); }

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
      if (m.segment > 0) {
        EXPECT_EQ(m.data, files[f][m.segment - 1]) << "file " << f << " segment " << m.segment;
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
    if (m.segment == 0) {
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
  MQHOBJ h = open("RCV", MQOO_OUTPUT);
  MQMD junk = {MQMD_DEFAULT};
  setSegmentCorrelId(junk.CorrelId, 0);
  put(h, &junk, "HELLO", MQPMO_NO_SYNCPOINT);
  std::string good = putGroup("/in/doc/e.xml", {segmentOf(10, 'g')});

  // unmatched 3, incomplete 3 of 4, oversized 2, refused 2, junk 1
  EXPECT_EQ(runUntil([&] { return depth("RCV") == 0 && depth("DEAD") == 11 && depth("DLV") == 2; }),
            kExitNormal);

  std::vector<Message> dead = drain("DEAD");
  ASSERT_EQ(dead.size(), 11u);
  auto feedbackOf = [&](const std::string& id) {
    for (const Message& m : dead) {
      if (idOf(m.md) == id && m.segment == 0) return m.md.Feedback - kFeedbackBase;
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
  bool sawJunk = false;
  for (const Message& m : dead) {
    if (m.segment == 0 && idOf(m.md) == unmatched) {
      ASSERT_EQ(m.data.size(), sizeof(SRCDESC));  // the data header, unchanged
      EXPECT_EQ(m.data.substr(0, 4), "KVDT");
    }
    if (idOf(m.md) == oversized && m.segment == 1) {
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

TEST_F(RouterTest, AnswersAPingOnItsReceiverQueue) {
  PING ping;
  initPING(ping);
  ping.NodId.assign(42);
  ping.SendTms.assign("2007-03-15 09:05:01");
  MQHOBJ h = open("RCV", MQOO_OUTPUT);
  MQMD md = {MQMD_DEFAULT};
  setSegmentCorrelId(md.CorrelId, 0);
  std::strcpy(md.ReplyToQ, "PONG");
  put(h, &md, std::string(reinterpret_cast<char*>(&ping), sizeof ping), MQPMO_NO_SYNCPOINT);

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
    ++seen[m.segment];
    if (m.segment > 0) {
      EXPECT_EQ(m.data, segments[m.segment - 1]);
    }
  }
  for (int s = 0; s <= 20; ++s) EXPECT_EQ(seen[s], 1) << "segment " << s;
  EXPECT_EQ(depth("DEAD"), 0);
}

}  // namespace
}  // namespace route
