// What MQPUT does to the message descriptor: the values it fills in (MsgId, CCSID, priority,
// persistence, ReplyToQMgr, default context) and the ones it must keep as given.
#include <cstring>
#include <ctime>

#include "platform/ipc.h"
#include "tests/conformance/fixture.h"

namespace conformance {
namespace {

class PutDescriptor : public ConformanceTest {};

MQMD stringDescriptor() {
  MQMD md = {MQMD_DEFAULT};
  std::memcpy(md.Format, MQFMT_STRING, sizeof md.Format);
  return md;
}

std::string utcDate() {
  std::time_t now = std::time(nullptr);
  std::tm parts{};
  gmtime_r(&now, &parts);
  char text[16];
  std::strftime(text, sizeof text, "%Y%m%d", &parts);
  return text;
}

std::string osUser() {
  return platform::processUserName().substr(0, 12);
}

bool allDigits(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

TEST_F(PutDescriptor, QueueManagerFillsWhatThePutLeftToIt) {
  Connection a(qmgr_);
  ASSERT_TRUE(a.ok());
  MQHOBJ out = a.open("Q1", MQOO_OUTPUT);
  MQHOBJ in = a.open("Q1", MQOO_INPUT_SHARED);
  MQMD md = stringDescriptor();
  setField(md.ReplyToQ, "REPLY");
  setField(md.UserIdentifier, "mallory");  // ignored: default context is generated
  std::string dateBefore = utcDate();
  ASSERT_EQ(putText(a.hconn(), out, "filled", MQPMO_NO_SYNCPOINT, &md).cc, MQCC_OK);
  std::string dateAfter = utcDate();
  EXPECT_NE(idText(md.MsgId), std::string(24, '\0')) << "generated MsgId not written back";

  Got got = getMessage(a.hconn(), in, MQGMO_NO_SYNCPOINT);
  ASSERT_EQ(got.outcome.cc, MQCC_OK);
  EXPECT_EQ(idText(got.md.MsgId), idText(md.MsgId));
  EXPECT_EQ(got.md.CodedCharSetId, 819) << "CCSID 0 must become the queue manager's";
  EXPECT_EQ(got.md.Priority, 0);
  EXPECT_EQ(got.md.Persistence, MQPER_PERSISTENT);
  EXPECT_EQ(std::string(got.md.Format, 8), MQFMT_STRING);
  EXPECT_EQ(std::string(got.md.ReplyToQ, 48), padded("REPLY", 48));
  EXPECT_EQ(std::string(got.md.ReplyToQMgr, 48), padded(qmgr_, 48));
  EXPECT_EQ(std::string(got.md.UserIdentifier, 12), padded(osUser(), 12));
  EXPECT_EQ(got.md.PutApplType, MQAT_UNIX);
  EXPECT_NE(fieldText(got.md.PutApplName), "");
  std::string date(got.md.PutDate, 8), time(got.md.PutTime, 8);
  EXPECT_TRUE(date == dateBefore || date == dateAfter) << "PutDate " << date << " is not UTC today";
  EXPECT_TRUE(allDigits(time)) << "PutTime " << time;
  EXPECT_LT(time.substr(0, 2), "24");
}

TEST_F(PutDescriptor, MsgIdIsGeneratedAndWrittenBackOrKeptAsGiven) {
  Connection a(qmgr_);
  ASSERT_TRUE(a.ok());
  MQHOBJ out = a.open("Q1", MQOO_OUTPUT);
  const std::string none(24, '\0');

  MQMD md = stringDescriptor();
  ASSERT_EQ(putText(a.hconn(), out, "a", MQPMO_NO_SYNCPOINT, &md).cc, MQCC_OK);
  std::string first = idText(md.MsgId);
  ASSERT_NE(first, none);
  ASSERT_EQ(putText(a.hconn(), out, "b", MQPMO_NO_SYNCPOINT, &md).cc, MQCC_OK);
  EXPECT_EQ(idText(md.MsgId), first) << "a MsgId in the descriptor must be kept";
  setId(md.MsgId, "");
  ASSERT_EQ(putText(a.hconn(), out, "c", MQPMO_NO_SYNCPOINT, &md).cc, MQCC_OK);
  std::string second = idText(md.MsgId);
  EXPECT_NE(second, none);
  EXPECT_NE(second, first) << "generated MsgIds repeat";
  ASSERT_EQ(putText(a.hconn(), out, "d", MQPMO_NO_SYNCPOINT | MQPMO_NEW_MSG_ID, &md).cc, MQCC_OK);
  std::string third = idText(md.MsgId);
  EXPECT_NE(third, second) << "NEW_MSG_ID must replace the given MsgId";
  setId(md.MsgId, "CHOSEN");
  setField(md.ReplyToQMgr, "ELSEWHERE");
  ASSERT_EQ(putText(a.hconn(), out, "e", MQPMO_NO_SYNCPOINT, &md).cc, MQCC_OK);

  MQHOBJ in = a.open("Q1", MQOO_INPUT_SHARED);
  std::vector<std::string> ids, replyQMgrs;
  for (int i = 0; i < 5; ++i) {
    Got got = getMessage(a.hconn(), in, MQGMO_NO_SYNCPOINT);
    ids.push_back(idText(got.md.MsgId));
    replyQMgrs.push_back(fieldText(got.md.ReplyToQMgr));
  }
  EXPECT_EQ(ids, (std::vector<std::string>{first, first, second, third, "CHOSEN" + none.substr(6)}));
  EXPECT_EQ(replyQMgrs, (std::vector<std::string>{qmgr_, qmgr_, qmgr_, qmgr_, "ELSEWHERE"}));
}

TEST_F(PutDescriptor, SetAllContextKeepsTheDescriptorsContext) {
  Connection a(qmgr_);
  ASSERT_TRUE(a.ok());
  MQMD md = stringDescriptor();
  setField(md.UserIdentifier, "alice");
  std::memcpy(md.AccountingToken, "account-token-bytes-0123456789ab", 32);
  setField(md.ApplIdentityData, "identity");
  md.PutApplType = 11;
  setField(md.PutApplName, "feeder");
  std::memcpy(md.PutDate, "19991231", 8);
  std::memcpy(md.PutTime, "23595999", 8);
  setField(md.ApplOriginData, "orig");
  const MQMD given = md;

  MQHOBJ out = a.open("Q1", MQOO_OUTPUT | MQOO_SET_ALL_CONTEXT);
  ASSERT_EQ(putText(a.hconn(), out, "by-put", MQPMO_NO_SYNCPOINT | MQPMO_SET_ALL_CONTEXT, &md).cc,
            MQCC_OK);
  MQOD od = {MQOD_DEFAULT};
  setField(od.ObjectName, "Q1");
  MQMD md1 = given;
  MQPMO pmo = {MQPMO_DEFAULT};
  pmo.Options = MQPMO_SYNCPOINT | MQPMO_SET_ALL_CONTEXT | MQPMO_FAIL_IF_QUIESCING;
  Outcome put1;
  char text[] = "by-put1";
  MQPUT1(a.hconn(), &od, &md1, &pmo, 7, text, &put1.cc, &put1.rc);
  ASSERT_EQ(put1.cc, MQCC_OK) << "MQPUT1 reason " << put1.rc;
  ASSERT_EQ(a.commit().cc, MQCC_OK);

  MQHOBJ in = a.open("Q1", MQOO_INPUT_SHARED);
  for (const char* expected : {"by-put", "by-put1"}) {
    Got got = getMessage(a.hconn(), in, MQGMO_NO_SYNCPOINT);
    ASSERT_EQ(got.data, expected);
    EXPECT_EQ(std::memcmp(got.md.UserIdentifier, given.UserIdentifier, 12), 0);
    EXPECT_EQ(std::memcmp(got.md.AccountingToken, given.AccountingToken, 32), 0);
    EXPECT_EQ(std::memcmp(got.md.ApplIdentityData, given.ApplIdentityData, 32), 0);
    EXPECT_EQ(got.md.PutApplType, 11);
    EXPECT_EQ(std::memcmp(got.md.PutApplName, given.PutApplName, 28), 0);
    EXPECT_EQ(std::string(got.md.PutDate, 8), "19991231");
    EXPECT_EQ(std::string(got.md.PutTime, 8), "23595999");
    EXPECT_EQ(std::memcmp(got.md.ApplOriginData, given.ApplOriginData, 4), 0);
  }

  MQHOBJ plain = a.open("Q1", MQOO_OUTPUT);
  Outcome refused = putText(a.hconn(), plain, "x", MQPMO_NO_SYNCPOINT | MQPMO_SET_ALL_CONTEXT, &md);
  EXPECT_EQ(refused.rc, MQRC_NOT_OPEN_FOR_SET_ALL);
}

}  // namespace
}  // namespace conformance
