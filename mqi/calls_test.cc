// The MQI calls over the embedded store: the paths the agents and tools rely on.
#include <cstring>
#include <thread>

#include "mqi/test_fixture.h"

namespace mqi::testing {
namespace {

TEST_F(QmTest, PutThenGetReturnsDataAndFilledDescriptor) {
  connect();
  MQHOBJ out = open("Q1", MQOO_OUTPUT);
  MQHOBJ in = open("Q1", MQOO_INPUT_SHARED);
  MQMD md = {MQMD_DEFAULT};
  std::memcpy(md.Format, MQFMT_STRING, 8);
  ASSERT_EQ(put(out, "hello", MQPMO_NO_SYNCPOINT, &md), MQRC_NONE);
  EXPECT_EQ(std::memcmp(md.MsgId, "AMQ ", 4), 0);  // generated and written back
  MQMD got = {MQMD_DEFAULT};
  std::string data;
  ASSERT_EQ(get(in, data, MQGMO_NO_SYNCPOINT, &got), MQRC_NONE);
  EXPECT_EQ(data, "hello");
  EXPECT_EQ(std::memcmp(got.MsgId, md.MsgId, 24), 0);
  EXPECT_EQ(got.CodedCharSetId, 819);
  EXPECT_EQ(got.Persistence, MQPER_PERSISTENT);
  EXPECT_EQ(got.Priority, 0);
  EXPECT_EQ(std::string(got.ReplyToQMgr, 3), "QM1");
  EXPECT_EQ(got.PutApplType, MQAT_UNIX);
  EXPECT_EQ(get(in, data), MQRC_NO_MSG_AVAILABLE);
}

TEST_F(QmTest, SyncpointPutsAppearAtCommitAndVanishAtBackout) {
  connect();
  MQHOBJ out = open("Q1", MQOO_OUTPUT);
  MQHOBJ in = open("Q1", MQOO_INPUT_SHARED);
  std::string data;
  ASSERT_EQ(put(out, "a", MQPMO_SYNCPOINT), MQRC_NONE);
  EXPECT_EQ(get(in, data), MQRC_NO_MSG_AVAILABLE);
  MQLONG cc, rc;
  MQBACK(hconn_, &cc, &rc);
  ASSERT_EQ(rc, MQRC_NONE);
  EXPECT_EQ(describeQueue("QM1", "Q1").value.currentDepth, 0);
  ASSERT_EQ(put(out, "b", MQPMO_SYNCPOINT), MQRC_NONE);
  MQCMIT(hconn_, &cc, &rc);
  ASSERT_EQ(rc, MQRC_NONE);
  ASSERT_EQ(get(in, data), MQRC_NONE);
  EXPECT_EQ(data, "b");
}

TEST_F(QmTest, BackedOutGetReturnsWithBackoutCount) {
  connect();
  MQHOBJ out = open("Q1", MQOO_OUTPUT);
  MQHOBJ in = open("Q1", MQOO_INPUT_SHARED);
  ASSERT_EQ(put(out, "x"), MQRC_NONE);
  std::string data;
  ASSERT_EQ(get(in, data, MQGMO_SYNCPOINT), MQRC_NONE);
  EXPECT_EQ(describeQueue("QM1", "Q1").value.currentDepth, 0);
  MQLONG cc, rc;
  MQBACK(hconn_, &cc, &rc);
  MQMD md = {MQMD_DEFAULT};
  ASSERT_EQ(get(in, data, MQGMO_SYNCPOINT, &md), MQRC_NONE);
  EXPECT_EQ(md.BackoutCount, 1);
  MQCMIT(hconn_, &cc, &rc);
  EXPECT_EQ(get(in, data), MQRC_NO_MSG_AVAILABLE);
}

// Commit and backout finish a unit of work in batches of rows; one larger than a batch must
// end whole, and leave the depth right.
TEST_F(QmTest, UnitOfWorkLargerThanOneBatchEndsWhole) {
  constexpr int kCount = 5000;
  connect();
  MQHOBJ out = open("Q1", MQOO_OUTPUT);
  MQHOBJ in = open("Q1", MQOO_INPUT_SHARED);
  for (int i = 0; i < kCount; ++i) ASSERT_EQ(put(out, "m", MQPMO_SYNCPOINT), MQRC_NONE);
  MQLONG cc, rc;
  MQCMIT(hconn_, &cc, &rc);
  ASSERT_EQ(rc, MQRC_NONE);
  std::string data;
  for (int i = 0; i < kCount; ++i) ASSERT_EQ(get(in, data, MQGMO_SYNCPOINT), MQRC_NONE);
  EXPECT_EQ(describeQueue("QM1", "Q1").value.currentDepth, 0);
  MQBACK(hconn_, &cc, &rc);
  ASSERT_EQ(rc, MQRC_NONE);
  EXPECT_EQ(describeQueue("QM1", "Q1").value.currentDepth, kCount);
  MQMD md = {MQMD_DEFAULT};
  for (int i = 0; i < kCount; ++i) {
    md = MQMD{MQMD_DEFAULT};
    ASSERT_EQ(get(in, data, MQGMO_SYNCPOINT, &md), MQRC_NONE);
    ASSERT_EQ(md.BackoutCount, 1);
  }
  MQCMIT(hconn_, &cc, &rc);
  ASSERT_EQ(rc, MQRC_NONE);
  EXPECT_EQ(get(in, data), MQRC_NO_MSG_AVAILABLE);
  EXPECT_EQ(describeQueue("QM1", "Q1").value.currentDepth, 0);
}

TEST_F(QmTest, MatchesByCorrelIdAndTruncates) {
  connect();
  MQHOBJ out = open("Q1", MQOO_OUTPUT);
  MQHOBJ in = open("Q1", MQOO_INPUT_SHARED);
  for (char c : std::string("123")) {
    MQMD md = {MQMD_DEFAULT};
    md.CorrelId[0] = static_cast<MQBYTE>(c);
    ASSERT_EQ(put(out, std::string(10, c), MQPMO_NO_SYNCPOINT, &md), MQRC_NONE);
  }
  MQMD md = {MQMD_DEFAULT};
  md.CorrelId[0] = '2';
  std::string data;
  EXPECT_EQ(get(in, data, MQGMO_NO_SYNCPOINT, &md, 4), MQRC_TRUNCATED_MSG_FAILED);
  EXPECT_EQ(data, "2222");
  EXPECT_EQ(get(in, data, MQGMO_NO_SYNCPOINT, &md, 4), MQRC_TRUNCATED_MSG_FAILED);
  EXPECT_EQ(get(in, data, MQGMO_NO_SYNCPOINT | MQGMO_ACCEPT_TRUNCATED_MSG, &md, 4),
            MQRC_TRUNCATED_MSG_ACCEPTED);
  EXPECT_EQ(get(in, data, MQGMO_NO_SYNCPOINT, &md), MQRC_NO_MSG_AVAILABLE);
  MQMD any = {MQMD_DEFAULT};
  ASSERT_EQ(get(in, data, MQGMO_NO_SYNCPOINT, &any), MQRC_NONE);
  EXPECT_EQ(data, std::string(10, '1'));
}

TEST_F(QmTest, HigherPriorityFirstThenArrivalOrder) {
  connect();
  MQHOBJ out = open("Q1", MQOO_OUTPUT);
  MQHOBJ in = open("Q1", MQOO_INPUT_SHARED);
  int priorities[] = {0, 5, 0, 5};
  for (int i = 0; i < 4; ++i) {
    MQMD md = {MQMD_DEFAULT};
    md.Priority = priorities[i];
    ASSERT_EQ(put(out, std::to_string(i), MQPMO_NO_SYNCPOINT, &md), MQRC_NONE);
  }
  std::string order, data;
  while (get(in, data) == MQRC_NONE) order += data;
  EXPECT_EQ(order, "1302");
}

TEST_F(QmTest, WaitingGetIsWokenByAnotherThreadsCommit) {
  connect();
  MQHOBJ in = open("Q1", MQOO_INPUT_SHARED);
  std::thread putter([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    MQHCONN h;
    commitPutOnNewConnection("hi", &h);
    MQLONG cc, rc;
    MQDISC(&h, &cc, &rc);
  });
  std::string data;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(get(in, data, MQGMO_WAIT | MQGMO_NO_SYNCPOINT, nullptr, 100, 5000), MQRC_NONE);
  putter.join();
  EXPECT_EQ(data, "hi");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
}

TEST_F(QmTest, InhibitGetWakesWaiterWith2016) {
  connect();
  MQHOBJ in = open("Q1", MQOO_INPUT_SHARED | MQOO_SET);
  std::thread inhibitor([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    QueueAttributes a;
    a.inhibitGet = MQQA_GET_INHIBITED;
    alterQueue("QM1", "Q1", a);
  });
  std::string data;
  EXPECT_EQ(get(in, data, MQGMO_WAIT, nullptr, 100, MQWI_UNLIMITED), MQRC_GET_INHIBITED);
  inhibitor.join();
  MQLONG selector = MQIA_INHIBIT_GET, value = MQQA_GET_ALLOWED, cc, rc;
  MQSET(hconn_, in, 1, &selector, 1, &value, 0, nullptr, &cc, &rc);
  EXPECT_EQ(rc, MQRC_NONE);
  EXPECT_EQ(get(in, data), MQRC_NO_MSG_AVAILABLE);
}

TEST_F(QmTest, ConnectionRules) {
  MQHCONN first = connect();
  MQHCONN second;
  MQLONG cc, rc;
  MQCHAR48 name = "QM1";
  MQCONN(name, &second, &cc, &rc);
  EXPECT_EQ(rc, MQRC_ALREADY_CONNECTED);
  EXPECT_EQ(second, first);
  MQCHAR48 unknown = "NOPE";
  std::thread([&] {
    MQHCONN h;
    MQLONG c2, r2;
    MQCONN(unknown, &h, &c2, &r2);
    EXPECT_EQ(r2, MQRC_Q_MGR_NAME_ERROR);
    MQCMIT(first, &c2, &r2);
    EXPECT_EQ(r2, MQRC_HCONN_ERROR);  // another thread's handle
  }).join();
  // A blank name reaches the default queue manager, named in a file that is the same on
  // every system (one line ending in LF) and read too when a Windows editor ended it in CR LF.
  ASSERT_TRUE(setDefaultQueueManager("QM1").ok());
  EXPECT_EQ(folder_.read("default.qmgr"), "QM1\n");
  folder_.write("default.qmgr", "QM1\r\n");
  std::thread([] {
    MQCHAR48 blank = "";
    MQHCONN h;
    MQLONG c2, r2;
    MQCONN(blank, &h, &c2, &r2);
    EXPECT_EQ(r2, MQRC_NONE);
    MQDISC(&h, &c2, &r2);
  }).join();
  ASSERT_TRUE(stopQueueManager("QM1", false).ok());
  MQCMIT(first, &cc, &rc);
  EXPECT_EQ(rc, MQRC_Q_MGR_STOPPING);
  MQDISC(&hconn_, &cc, &rc);
  MQCONN(name, &second, &cc, &rc);
  EXPECT_EQ(rc, MQRC_Q_MGR_NOT_AVAILABLE);
}

TEST_F(QmTest, OpenRules) {
  connect();
  MQLONG rc;
  open("NOSUCH", MQOO_OUTPUT, &rc);
  EXPECT_EQ(rc, MQRC_UNKNOWN_OBJECT_NAME);
  open("", MQOO_OUTPUT, &rc);
  EXPECT_EQ(rc, MQRC_UNKNOWN_OBJECT_NAME);
  open("Q1", MQOO_INPUT_EXCLUSIVE);
  open("Q1", MQOO_INPUT_SHARED, &rc);
  EXPECT_EQ(rc, MQRC_OBJECT_IN_USE);
  open("Q1", MQOO_OUTPUT | MQOO_INPUT_SHARED | MQOO_INPUT_EXCLUSIVE, &rc);
  EXPECT_EQ(rc, MQRC_OPTIONS_ERROR);
}

TEST_F(QmTest, InquireQueueManagerAndQueue) {
  connect();
  MQOD od = {MQOD_DEFAULT};
  od.ObjectType = MQOT_Q_MGR;
  MQHOBJ qm;
  MQLONG cc, rc;
  MQOPEN(hconn_, &od, MQOO_INQUIRE, &qm, &cc, &rc);
  ASSERT_EQ(rc, MQRC_NONE);
  MQLONG selectors[] = {MQIA_CODED_CHAR_SET_ID, MQCA_Q_MGR_NAME};
  MQLONG ints[1];
  char chars[48];
  MQINQ(hconn_, qm, 2, selectors, 1, ints, 48, chars, &cc, &rc);
  EXPECT_EQ(rc, MQRC_NONE);
  EXPECT_EQ(ints[0], 819);
  EXPECT_EQ(std::string(chars, 4), "QM1 ");
  MQHOBJ q = open("Q1", MQOO_INQUIRE | MQOO_OUTPUT);
  put(q, "x", MQPMO_SYNCPOINT);
  MQLONG qsel[] = {MQIA_CURRENT_Q_DEPTH, MQIA_OPEN_OUTPUT_COUNT, MQIA_MAX_Q_DEPTH};
  MQLONG qints[3];
  MQINQ(hconn_, q, 3, qsel, 3, qints, 0, nullptr, &cc, &rc);
  EXPECT_EQ(rc, MQRC_NONE);
  EXPECT_EQ(qints[0], 1);  // uncommitted puts count
  EXPECT_EQ(qints[1], 1);
  EXPECT_EQ(qints[2], 999999999);
}

TEST_F(QmTest, FailpointsFailChosenCalls) {
  setenv("QM_FAILPOINTS", "MQPUT@2=2:2009,MQCMIT=1:2003", 1);
  reloadFailpoints();
  connect();
  MQHOBJ out = open("Q1", MQOO_OUTPUT);
  EXPECT_EQ(put(out, "1"), MQRC_NONE);
  EXPECT_EQ(put(out, "2"), MQRC_CONNECTION_BROKEN);
  EXPECT_EQ(put(out, "3"), MQRC_NONE);
  MQLONG cc, rc;
  MQCMIT(hconn_, &cc, &rc);
  EXPECT_EQ(cc, MQCC_WARNING);
  EXPECT_EQ(rc, MQRC_BACKED_OUT);
  EXPECT_EQ(describeQueue("QM1", "Q1").value.currentDepth, 2);
  unsetenv("QM_FAILPOINTS");
  reloadFailpoints();
}

TEST_F(QmTest, BrowseSeesMessagesWithoutRemovingThem) {
  connect();
  MQHOBJ out = open("Q1", MQOO_OUTPUT);
  MQHOBJ in = open("Q1", MQOO_INPUT_SHARED | MQOO_BROWSE);
  put(out, "a");
  put(out, "b");
  std::string data;
  MQMD md = {MQMD_DEFAULT};
  ASSERT_EQ(get(in, data, MQGMO_BROWSE_NEXT, &md), MQRC_NONE);
  EXPECT_EQ(data, "a");
  MQMD md2 = {MQMD_DEFAULT};
  ASSERT_EQ(get(in, data, MQGMO_BROWSE_NEXT, &md2), MQRC_NONE);
  EXPECT_EQ(data, "b");
  MQMD md3 = {MQMD_DEFAULT};
  EXPECT_EQ(get(in, data, MQGMO_BROWSE_NEXT, &md3), MQRC_NO_MSG_AVAILABLE);
  MQMD md4 = {MQMD_DEFAULT};
  ASSERT_EQ(get(in, data, MQGMO_MSG_UNDER_CURSOR, &md4), MQRC_NONE);
  EXPECT_EQ(data, "b");
  EXPECT_EQ(describeQueue("QM1", "Q1").value.currentDepth, 1);
}

}  // namespace
}  // namespace mqi::testing

namespace mqi::testing {
namespace {

TEST_F(QmTest, ConvertDeliversRequestedCodePageOr2119) {
  connect();
  MQHOBJ out = open("Q1", MQOO_OUTPUT);
  MQHOBJ in = open("Q1", MQOO_INPUT_SHARED);
  MQMD md = {MQMD_DEFAULT};
  std::memcpy(md.Format, MQFMT_STRING, 8);
  md.CodedCharSetId = 1208;
  ASSERT_EQ(put(out, "\xc3\xa9t\xc3\xa9", MQPMO_NO_SYNCPOINT, &md), MQRC_NONE);  // "été"
  MQMD md2 = {MQMD_DEFAULT};
  std::memcpy(md2.Format, MQFMT_STRING, 8);
  md2.CodedCharSetId = 1208;
  ASSERT_EQ(put(out, "\xd0\x96", MQPMO_NO_SYNCPOINT, &md2), MQRC_NONE);  // not in 819
  MQMD got = {MQMD_DEFAULT};  // CCSID 0: the queue manager's 819
  std::string data;
  ASSERT_EQ(get(in, data, MQGMO_CONVERT, &got), MQRC_NONE);
  EXPECT_EQ(data, "\xe9t\xe9");
  EXPECT_EQ(got.CodedCharSetId, 819);
  MQMD got2 = {MQMD_DEFAULT};
  EXPECT_EQ(get(in, data, MQGMO_CONVERT, &got2), MQRC_NOT_CONVERTED);
  EXPECT_EQ(data, "\xd0\x96");
  EXPECT_EQ(got2.CodedCharSetId, 1208);
}

TEST_F(QmTest, LimitsGive2024And2053And2030And2051) {
  ASSERT_TRUE(setMaxUncommittedMsgs("QM1", 2).ok());
  QueueAttributes a;
  a.maxQDepth = 3;
  a.maxMsgLength = 10;
  ASSERT_TRUE(alterQueue("QM1", "Q1", a).ok());
  connect();
  MQHOBJ out = open("Q1", MQOO_OUTPUT | MQOO_SET);
  EXPECT_EQ(put(out, "1", MQPMO_SYNCPOINT), MQRC_NONE);
  EXPECT_EQ(put(out, "2", MQPMO_SYNCPOINT), MQRC_NONE);
  EXPECT_EQ(put(out, "3", MQPMO_SYNCPOINT), MQRC_SYNCPOINT_LIMIT_REACHED);
  EXPECT_EQ(put(out, "3"), MQRC_NONE);
  EXPECT_EQ(put(out, "4"), MQRC_Q_FULL);  // uncommitted puts count toward the depth
  MQLONG cc, rc;
  MQBACK(hconn_, &cc, &rc);
  EXPECT_EQ(put(out, std::string(11, 'x')), MQRC_MSG_TOO_BIG_FOR_Q);
  // A run of syncpoint puts reads the queue's row once; every change must still reach them.
  EXPECT_EQ(put(out, "4", MQPMO_SYNCPOINT), MQRC_NONE);
  MQLONG selector = MQIA_INHIBIT_PUT, value = MQQA_PUT_INHIBITED;
  MQSET(hconn_, out, 1, &selector, 1, &value, 0, nullptr, &cc, &rc);
  ASSERT_EQ(rc, MQRC_NONE);
  EXPECT_EQ(put(out, "5"), MQRC_PUT_INHIBITED);
  EXPECT_EQ(put(out, "5", MQPMO_SYNCPOINT), MQRC_PUT_INHIBITED);
  QueueAttributes allowed;  // an administrative change, which no session commits
  allowed.inhibitPut = MQQA_PUT_ALLOWED;
  ASSERT_TRUE(alterQueue("QM1", "Q1", allowed).ok());
  EXPECT_EQ(put(out, "6", MQPMO_SYNCPOINT), MQRC_NONE);
}

}  // namespace
}  // namespace mqi::testing
