// Which message MQGET returns and how much of it: version-1 matching on MsgId and CorrelId,
// priority then arrival order, truncation, and browsing.
#include <cstring>
#include <thread>

#include "tests/conformance/fixture.h"

namespace conformance {
namespace {

class Selection : public ConformanceTest {
 protected:
  void SetUp() override {
    ConformanceTest::SetUp();
    connection_ = std::make_unique<Connection>(qmgr_);
    ASSERT_TRUE(connection_->ok());
    hconn_ = connection_->hconn();
    out_ = connection_->open("Q1", MQOO_OUTPUT);
    in_ = connection_->open("Q1", MQOO_INPUT_SHARED | MQOO_BROWSE);
  }
  void TearDown() override {
    connection_.reset();
    ConformanceTest::TearDown();
  }
  void putWithIds(const std::string& text, const std::string& msgId, const std::string& correlId) {
    MQMD md = {MQMD_DEFAULT};
    std::memcpy(md.Format, MQFMT_STRING, sizeof md.Format);
    setId(md.MsgId, msgId);
    setId(md.CorrelId, correlId);
    ASSERT_EQ(putText(hconn_, out_, text, MQPMO_NO_SYNCPOINT, &md).cc, MQCC_OK);
  }
  Got getMatching(const std::string& msgId, const std::string& correlId) {
    MQMD md = {MQMD_DEFAULT};
    setId(md.MsgId, msgId);
    setId(md.CorrelId, correlId);
    return getMessage(hconn_, in_, MQGMO_NO_SYNCPOINT, 1000, 0, &md);
  }

  std::unique_ptr<Connection> connection_;
  MQHCONN hconn_ = MQHC_UNUSABLE_HCONN;
  MQHOBJ out_ = MQHO_UNUSABLE_HOBJ;
  MQHOBJ in_ = MQHO_UNUSABLE_HOBJ;
};

TEST_F(Selection, VersionOneGetMatchesMsgIdAndCorrelIdWithNullsAsWildcards) {
  putWithIds("a", "M1", "C1");
  putWithIds("b", "M2", "C1");
  putWithIds("c", "M1", "C2");
  putWithIds("d", "M3", "C3");

  EXPECT_EQ(getMatching("", "C2").data, "c");
  EXPECT_EQ(getMatching("M1", "").data, "a");
  EXPECT_EQ(getMatching("M2", "C1").data, "b");
  Got none = getMatching("M3", "C1");
  EXPECT_EQ(none.outcome.cc, MQCC_FAILED);
  EXPECT_EQ(none.outcome.rc, MQRC_NO_MSG_AVAILABLE);

  // MQGET writes the ids of the message back: without a reset the next get looks for it again.
  MQMD md = {MQMD_DEFAULT};
  Got first = getMessage(hconn_, in_, MQGMO_NO_SYNCPOINT, 1000, 0, &md);
  EXPECT_EQ(first.data, "d");
  EXPECT_EQ(idText(md.MsgId), idText(first.md.MsgId));
  putWithIds("e", "M4", "C4");
  Got again = getMessage(hconn_, in_, MQGMO_NO_SYNCPOINT, 1000, 0, &md);
  EXPECT_EQ(again.outcome.rc, MQRC_NO_MSG_AVAILABLE) << "the written-back ids did not select";
  Got reset = getMatching("", "");
  EXPECT_EQ(reset.data, "e");
  EXPECT_EQ(idText(reset.md.MsgId), std::string("M4") + std::string(22, '\0'));
}

TEST_F(Selection, AWaitingGetReturnsOnlyAMatchingMessage) {
  // Another connection (a thread of its own) puts a message that does not match, then one that does.
  std::string qmgr = qmgr_;
  std::thread putter([qmgr] {
    Connection other(qmgr);
    MQHOBJ out = other.open("Q1", MQOO_OUTPUT);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    MQMD md = {MQMD_DEFAULT};
    setId(md.CorrelId, "SOMEONE-ELSE");
    putText(other.hconn(), out, "other", MQPMO_NO_SYNCPOINT, &md);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    md = MQMD{MQMD_DEFAULT};
    setId(md.CorrelId, "WANTED");
    putText(other.hconn(), out, "wanted", MQPMO_NO_SYNCPOINT, &md);
  });
  MQMD match = {MQMD_DEFAULT};
  setId(match.CorrelId, "WANTED");
  Clock::time_point start = Clock::now();
  Got got = getMessage(hconn_, in_, MQGMO_WAIT | MQGMO_NO_SYNCPOINT, 1000, 5000, &match);
  long long waited = millisSince(start);
  putter.join();
  EXPECT_EQ(got.outcome.cc, MQCC_OK) << "reason " << got.outcome.rc;
  EXPECT_EQ(got.data, "wanted");
  EXPECT_GE(waited, 150);
  EXPECT_EQ(drain(hconn_, "Q1"), std::vector<std::string>{"other"});
}

TEST_F(Selection, HigherPriorityFirstThenArrivalOrder) {
  const std::pair<const char*, MQLONG> puts[] = {
      {"low-1", 0}, {"mid-1", 5}, {"top", 9}, {"low-2", MQPRI_PRIORITY_AS_Q_DEF},
      {"mid-2", 5}, {"low-3", 0}};
  for (const auto& [text, priority] : puts) putOne(hconn_, "Q1", text, priority);
  std::vector<std::string> order;
  std::vector<MQLONG> priorities;
  for (int i = 0; i < 6; ++i) {
    Got got = getMessage(hconn_, in_, MQGMO_NO_SYNCPOINT);
    order.push_back(got.data);
    priorities.push_back(got.md.Priority);
  }
  EXPECT_EQ(order, (std::vector<std::string>{"top", "mid-1", "mid-2", "low-1", "low-2", "low-3"}));
  EXPECT_EQ(priorities, (std::vector<MQLONG>{9, 5, 5, 0, 0, 0}))
      << "PRIORITY_AS_Q_DEF must be stored as the queue's default, 0";
}

TEST_F(Selection, ShortBufferTruncatesOrKeepsTheMessage) {
  const std::string text(100, 'x');
  putOne(hconn_, "Q1", text);
  putOne(hconn_, "Q1", "next");

  MQMD md = {MQMD_DEFAULT};
  Got kept = getMessage(hconn_, in_, MQGMO_NO_SYNCPOINT, 10, 0, &md);
  EXPECT_EQ(kept.outcome.cc, MQCC_WARNING);
  EXPECT_EQ(kept.outcome.rc, MQRC_TRUNCATED_MSG_FAILED);
  EXPECT_EQ(kept.dataLength, 100);
  EXPECT_EQ(kept.data, text.substr(0, 10));

  Got probe = getMessage(hconn_, in_, MQGMO_NO_SYNCPOINT, 0, 0, &md);
  EXPECT_EQ(probe.outcome.rc, MQRC_TRUNCATED_MSG_FAILED) << "a zero-length buffer learns the size";
  EXPECT_EQ(probe.dataLength, 100);

  // The written-back ids select the same message again; now the truncation is accepted.
  Got cut = getMessage(hconn_, in_, MQGMO_NO_SYNCPOINT | MQGMO_ACCEPT_TRUNCATED_MSG, 10, 0, &md);
  EXPECT_EQ(cut.outcome.cc, MQCC_WARNING);
  EXPECT_EQ(cut.outcome.rc, MQRC_TRUNCATED_MSG_ACCEPTED);
  EXPECT_EQ(cut.dataLength, 100);
  EXPECT_EQ(cut.data, text.substr(0, 10));
  EXPECT_EQ(drain(hconn_, "Q1"), std::vector<std::string>{"next"}) << "2079 must remove it";
}

TEST_F(Selection, BrowseFirstAndNextCopyCommittedMessagesInOrder) {
  putOne(hconn_, "Q1", "b1", 0);
  putOne(hconn_, "Q1", "b2", 0);
  putOne(hconn_, "Q1", "b3", 0);
  ASSERT_EQ(putText(hconn_, out_, "uncommitted", MQPMO_SYNCPOINT).cc, MQCC_OK);

  auto browse = [&](MQLONG options) {
    MQMD md = {MQMD_DEFAULT};  // version-1 matching: null ids every time
    return getMessage(hconn_, in_, options | MQGMO_NO_SYNCPOINT, 1000, 0, &md);
  };
  // A fresh handle's cursor stands before the first message.
  EXPECT_EQ(browse(MQGMO_BROWSE_NEXT).data, "b1");
  EXPECT_EQ(browse(MQGMO_BROWSE_NEXT).data, "b2");
  EXPECT_EQ(browse(MQGMO_BROWSE_NEXT).data, "b3");
  Got end = browse(MQGMO_BROWSE_NEXT);
  EXPECT_EQ(end.outcome.cc, MQCC_FAILED);
  EXPECT_EQ(end.outcome.rc, MQRC_NO_MSG_AVAILABLE) << "browse saw an uncommitted put";
  putOne(hconn_, "Q1", "b4", 0);
  EXPECT_EQ(browse(MQGMO_BROWSE_NEXT).data, "b4") << "the cursor did not stay at the end";
  Got first = browse(MQGMO_BROWSE_FIRST);
  EXPECT_EQ(first.data, "b1");
  EXPECT_EQ(first.md.BackoutCount, 0);
  EXPECT_EQ(browse(MQGMO_BROWSE_NEXT).data, "b2");
  ASSERT_EQ(connection_->backout().cc, MQCC_OK);
  EXPECT_EQ(drain(hconn_, "Q1"), (std::vector<std::string>{"b1", "b2", "b3", "b4"}))
      << "browsing removed messages";
  // The cursor's message is gone and the queue is empty: a new arrival is still the next one.
  putOne(hconn_, "Q1", "b5", 0);
  EXPECT_EQ(browse(MQGMO_BROWSE_NEXT).data, "b5");
}

}  // namespace
}  // namespace conformance
