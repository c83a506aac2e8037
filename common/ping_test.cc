#include "common/ping.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "common/records.h"
#include "mqi/admin.h"
#include "mqi/mqi.h"
#include "platform/test_folder.h"

namespace {

// A throwaway queue manager "QMP" with the queues REPLY and STATUS, one connection to it,
// and standard output and standard error captured.
class PingTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder_.ok());
    setenv("QM_STORE", folder_.path().c_str(), 1);
    unsetenv("QM_FAILPOINTS");
    ASSERT_TRUE(mqi::createQueueManager("QMP", {}).ok());
    ASSERT_TRUE(mqi::startQueueManager("QMP").ok());
    ASSERT_TRUE(mqi::defineQueue("QMP", "REPLY", {}).ok());
    ASSERT_TRUE(mqi::defineQueue("QMP", "STATUS", {}).ok());
    MQCHAR48 name = "QMP";
    MQLONG compCode, reason;
    MQCONN(name, &connection_, &compCode, &reason);
    ASSERT_EQ(reason, MQRC_NONE);
    oldOut_ = std::cout.rdbuf(out_.rdbuf());
    oldErr_ = std::cerr.rdbuf(err_.rdbuf());
  }
  void TearDown() override {
    std::cout.rdbuf(oldOut_);
    std::cerr.rdbuf(oldErr_);
    MQLONG compCode, reason;
    MQDISC(&connection_, &compCode, &reason);
    mqi::stopQueueManager("QMP", false);
  }

  // Gets the next message of `queue` outside syncpoint: the reason code, data and descriptor.
  MQLONG getFrom(const char* queue, std::string* data, MQMD* md) {
    MQOD od = {MQOD_DEFAULT};
    std::snprintf(od.ObjectName, sizeof od.ObjectName, "%s", queue);
    MQHOBJ object;
    MQLONG compCode, reason, length = 0;
    MQOPEN(connection_, &od, MQOO_INPUT_SHARED, &object, &compCode, &reason);
    if (reason != MQRC_NONE) return reason;
    *md = MQMD{MQMD_DEFAULT};
    MQGMO gmo = {MQGMO_DEFAULT};
    gmo.Options = MQGMO_NO_SYNCPOINT;
    char buffer[2048];
    MQGET(connection_, object, md, &gmo, sizeof buffer, buffer, &length, &compCode, &reason);
    data->assign(buffer, reason == MQRC_NONE ? static_cast<size_t>(length) : 0);
    MQLONG closeCode, closeReason;
    MQCLOSE(connection_, &object, 0, &closeCode, &closeReason);
    return reason;
  }

  TestFolder folder_{"qt-common"};
  MQHCONN connection_ = MQHC_UNUSABLE_HCONN;
  std::ostringstream out_, err_;
  std::streambuf* oldOut_ = nullptr;
  std::streambuf* oldErr_ = nullptr;
};

TEST_F(PingTest, ReplyCarriesTheRecordAsAHeaderAndIsCommitted) {
  PING ping;
  initPING(ping);
  ping.NodId.assign(42);
  ping.SendTms.assign("2007-03-15-09.05.01.000000");
  char replyQueue[48];
  std::memset(replyQueue, ' ', sizeof replyQueue);  // as in a received descriptor
  std::memcpy(replyQueue, "REPLY", 5);

  EXPECT_EQ(putPingReply(connection_, &ping, replyQueue), 1);
  MQLONG compCode, reason;
  MQBACK(connection_, &compCode, &reason);  // too late: the reply was committed

  std::string data;
  MQMD md;
  ASSERT_EQ(getFrom("REPLY", &data, &md), MQRC_NONE);
  EXPECT_EQ(data, std::string(reinterpret_cast<const char*>(&ping), sizeof ping));
  EXPECT_EQ(std::memcmp(md.Format, "MQSTR   ", 8), 0);
  EXPECT_EQ(md.MsgType, MQMT_DATAGRAM);
  uint32_t segment = 99;
  EXPECT_TRUE(parseSegmentCorrelId(md.CorrelId, &segment));
  EXPECT_EQ(segment, 0u);
  EXPECT_EQ(out_.str() + err_.str(), "");
}

TEST_F(PingTest, AReplyThatCannotBePutIsDroppedSilently) {
  PING ping;
  initPING(ping);
  EXPECT_EQ(putPingReply(connection_, &ping, "NO.SUCH.QUEUE"), 1);
  EXPECT_EQ(putPingReply(connection_, &ping, ""), 1);
  EXPECT_EQ(out_.str() + err_.str(), "");
}

TEST_F(PingTest, StatusRecordInsideAndOutsideTheUnitOfWork) {
  LOAD_STATUS status;
  initLOAD_STATUS(status);
  status.StructId.assign("KVLS");
  status.State.assign("F");
  status.Comments.assign("failed");
  status.Comments.terminate();
  MQLONG length = statusRecordLength(&status, sizeof status);
  EXPECT_EQ(length, 25 + 6);
  MQBYTE24 msgId;
  std::memset(msgId, 0x5A, sizeof msgId);

  // In the unit of work: a back-out takes it away again.
  EXPECT_EQ(putStatusRecord(connection_, "STATUS", "", msgId, true, &status, length), 0);
  MQLONG compCode, reason;
  MQBACK(connection_, &compCode, &reason);
  std::string data;
  MQMD md;
  EXPECT_EQ(getFrom("STATUS", &data, &md), MQRC_NO_MSG_AVAILABLE);

  // Outside it: delivered whatever happens to the unit of work.
  EXPECT_EQ(putStatusRecord(connection_, "STATUS", "QMP", nullptr, false, &status, length), 0);
  MQBACK(connection_, &compCode, &reason);
  ASSERT_EQ(getFrom("STATUS", &data, &md), MQRC_NONE);
  EXPECT_EQ(data, std::string(reinterpret_cast<const char*>(&status), 31));
  EXPECT_EQ(std::memcmp(md.Format, "MQSTR   ", 8), 0);
  MQBYTE24 none = {};
  EXPECT_NE(std::memcmp(md.MsgId, none, 24), 0);  // assigned by the queue manager
  EXPECT_EQ(std::memcmp(md.CorrelId, none, 24), 0);
  EXPECT_EQ(out_.str() + err_.str(), "");

  EXPECT_EQ(putStatusRecord(connection_, "STATUS", "", msgId, true, &status, length), 0);
  MQCMIT(connection_, &compCode, &reason);
  ASSERT_EQ(getFrom("STATUS", &data, &md), MQRC_NONE);
  EXPECT_EQ(std::memcmp(md.MsgId, msgId, 24), 0);
}

TEST_F(PingTest, AFailedStatusPutIsReportedAndGivesTheReason) {
  LOAD_STATUS status;
  initLOAD_STATUS(status);
  EXPECT_EQ(putStatusRecord(connection_, "MISSING", "", nullptr, false, &status, 25),
            MQRC_UNKNOWN_OBJECT_NAME);
  EXPECT_NE(err_.str().find(" Send status message\n"), std::string::npos);
  EXPECT_NE(err_.str().find(" CompCode = 2 Reason = 2085\n"), std::string::npos);
  EXPECT_EQ(out_.str(), err_.str());
}

TEST(StatusRecordLengthTest, BytesBeforeTheFirstNul) {
  DLVR_STATUS status;
  initDLVR_STATUS(status);
  EXPECT_EQ(statusRecordLength(&status, sizeof status), 1080);  // full comment: whole record
  status.Comments.assign("");
  status.Comments.terminate();
  EXPECT_EQ(statusRecordLength(&status, sizeof status), 53);
}

}  // namespace
