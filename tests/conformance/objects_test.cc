// Queue managers and queues as the MQI sees them: names that resolve or not, puts to another
// queue manager of the same store, the limits a put can hit, MQINQ and MQSET.
#include <cstring>
#include <random>

#include "tests/conformance/fixture.h"

namespace conformance {
namespace {

class Objects : public ConformanceTest {};

Outcome setInts(MQHCONN hconn, MQHOBJ hobj, std::vector<MQLONG> selectors,
                std::vector<MQLONG> values) {
  Outcome result;
  MQSET(hconn, hobj, static_cast<MQLONG>(selectors.size()), selectors.data(),
        static_cast<MQLONG>(values.size()), values.data(), 0, nullptr, &result.cc, &result.rc);
  return result;
}

MQLONG inquireInt(MQHCONN hconn, MQHOBJ hobj, MQLONG selector) {
  MQLONG value = -99;
  Outcome result;
  MQINQ(hconn, hobj, 1, &selector, 1, &value, 0, nullptr, &result.cc, &result.rc);
  EXPECT_EQ(result.cc, MQCC_OK) << "MQINQ " << selector << " reason " << result.rc;
  return value;
}

Outcome put1(MQHCONN hconn, const std::string& queue, const std::string& qmgr,
             const std::string& text, MQLONG options) {
  MQOD od = {MQOD_DEFAULT};
  setField(od.ObjectName, queue);
  setField(od.ObjectQMgrName, qmgr);
  MQMD md = {MQMD_DEFAULT};
  MQPMO pmo = {MQPMO_DEFAULT};
  pmo.Options = options;
  Outcome result;
  MQPUT1(hconn, &od, &md, &pmo, static_cast<MQLONG>(text.size()), const_cast<char*>(text.data()),
         &result.cc, &result.rc);
  return result;
}

TEST_F(Objects, UnknownOrStoppedNamesAreRefused) {
  {
    Connection unknown("NO.SUCH.QMGR");
    EXPECT_EQ(unknown.connectOutcome().cc, MQCC_FAILED);
    EXPECT_EQ(unknown.connectOutcome().rc, MQRC_Q_MGR_NAME_ERROR);
  }
  {
    Connection stopped(addQueueManager("S", {}, false));
    EXPECT_EQ(stopped.connectOutcome().cc, MQCC_FAILED);
    EXPECT_EQ(stopped.connectOutcome().rc, MQRC_Q_MGR_NOT_AVAILABLE);
  }
  Connection a(qmgr_);
  ASSERT_TRUE(a.ok());
  Outcome opened;
  a.open("NO.SUCH.QUEUE", MQOO_OUTPUT, &opened);
  EXPECT_EQ(opened.cc, MQCC_FAILED);
  EXPECT_EQ(opened.rc, MQRC_UNKNOWN_OBJECT_NAME);
  a.open("", MQOO_INPUT_SHARED, &opened);
  EXPECT_EQ(opened.rc, MQRC_UNKNOWN_OBJECT_NAME) << "an empty queue name";
  a.open("q1", MQOO_OUTPUT, &opened);
  EXPECT_EQ(opened.rc, MQRC_UNKNOWN_OBJECT_NAME) << "names are case-sensitive";
  EXPECT_EQ(put1(a.hconn(), "NO.SUCH.QUEUE", "", "x", MQPMO_NO_SYNCPOINT).rc,
            MQRC_UNKNOWN_OBJECT_NAME);
}

TEST_F(Objects, ASecondConnectOnOneThreadReturnsTheSameConnection) {
  Connection first(qmgr_);
  ASSERT_TRUE(first.ok());
  MQCHAR48 name;
  setField(name, qmgr_);
  MQHCONN second = MQHC_UNUSABLE_HCONN;
  Outcome again;
  MQCONN(name, &second, &again.cc, &again.rc);
  EXPECT_EQ(again.cc, MQCC_WARNING);
  EXPECT_EQ(again.rc, MQRC_ALREADY_CONNECTED);
  EXPECT_EQ(second, first.hconn());
  // Work done through either handle is the same connection's.
  MQHOBJ out = first.open("Q1", MQOO_OUTPUT);
  EXPECT_EQ(putText(second, out, "shared", MQPMO_SYNCPOINT).cc, MQCC_OK);
  Outcome commit;
  MQCMIT(second, &commit.cc, &commit.rc);
  EXPECT_EQ(commit.cc, MQCC_OK);
  EXPECT_EQ(drain(first.hconn(), "Q1"), std::vector<std::string>{"shared"});
}

TEST_F(Objects, ObjectQMgrNameDeliversToAnotherQueueManagerOfTheStore) {
  std::string other = addQueueManager("B");
  defineQueueOn(other, "INBOX");
  {
    Connection a(qmgr_);
    ASSERT_TRUE(a.ok());
    Outcome opened;
    MQHOBJ remote = a.open("INBOX", MQOO_OUTPUT, &opened, other);
    ASSERT_EQ(opened.cc, MQCC_OK) << "reason " << opened.rc;
    EXPECT_EQ(putText(a.hconn(), remote, "via-open", MQPMO_NO_SYNCPOINT).cc, MQCC_OK);
    EXPECT_EQ(put1(a.hconn(), "INBOX", other, "via-put1", MQPMO_SYNCPOINT).cc, MQCC_OK);
    ASSERT_EQ(a.commit().cc, MQCC_OK);

    a.open("INBOX", MQOO_OUTPUT, &opened, "NO.SUCH.QMGR");
    EXPECT_EQ(opened.cc, MQCC_FAILED);
    EXPECT_EQ(opened.rc, MQRC_UNKNOWN_REMOTE_Q_MGR);
    EXPECT_EQ(put1(a.hconn(), "INBOX", "NO.SUCH.QMGR", "x", MQPMO_NO_SYNCPOINT).rc,
              MQRC_UNKNOWN_REMOTE_Q_MGR);
    a.open("INBOX", MQOO_OUTPUT, &opened);
    EXPECT_EQ(opened.rc, MQRC_UNKNOWN_OBJECT_NAME) << "INBOX is not a queue of this one";
    MQHOBJ local = a.open("Q1", MQOO_INPUT_SHARED, &opened, qmgr_);
    EXPECT_EQ(opened.cc, MQCC_OK) << "the local name resolves locally, reason " << opened.rc;
    a.close(local);
  }
  Connection b(other);
  ASSERT_TRUE(b.ok());
  EXPECT_EQ(drain(b.hconn(), "INBOX"), (std::vector<std::string>{"via-open", "via-put1"}));
}

TEST_F(Objects, PutsAreRefusedWhenInhibitedFullOrTooBig) {
  mqi::QueueAttributes small;
  small.maxQDepth = 2;
  small.maxMsgLength = 100;
  defineQueue("SMALL", small);
  Connection a(qmgr_);
  ASSERT_TRUE(a.ok());
  MQHOBJ out = a.open("SMALL", MQOO_OUTPUT | MQOO_SET);

  Outcome tooBig = putText(a.hconn(), out, std::string(101, 'b'), MQPMO_NO_SYNCPOINT);
  EXPECT_EQ(tooBig.cc, MQCC_FAILED);
  EXPECT_EQ(tooBig.rc, MQRC_MSG_TOO_BIG_FOR_Q);
  EXPECT_EQ(putText(a.hconn(), out, std::string(100, 'b'), MQPMO_NO_SYNCPOINT).cc, MQCC_OK);
  EXPECT_EQ(putText(a.hconn(), out, "", MQPMO_SYNCPOINT).cc, MQCC_OK) << "zero length is valid";
  Outcome full = putText(a.hconn(), out, "third", MQPMO_NO_SYNCPOINT);
  EXPECT_EQ(full.cc, MQCC_FAILED);
  EXPECT_EQ(full.rc, MQRC_Q_FULL) << "an uncommitted put counts toward MaxQDepth";
  ASSERT_EQ(a.backout().cc, MQCC_OK);
  EXPECT_EQ(putText(a.hconn(), out, "room", MQPMO_NO_SYNCPOINT).cc, MQCC_OK);

  EXPECT_EQ(drain(a.hconn(), "SMALL"), (std::vector<std::string>{std::string(100, 'b'), "room"}));

  ASSERT_EQ(setInts(a.hconn(), out, {MQIA_INHIBIT_PUT}, {MQQA_PUT_INHIBITED}).cc, MQCC_OK);
  EXPECT_EQ(put1(a.hconn(), "SMALL", "", "x", MQPMO_NO_SYNCPOINT).rc, MQRC_PUT_INHIBITED);
  Outcome inhibited = putText(a.hconn(), out, "x", MQPMO_NO_SYNCPOINT);
  EXPECT_EQ(inhibited.cc, MQCC_FAILED);
  EXPECT_EQ(inhibited.rc, MQRC_PUT_INHIBITED);
  ASSERT_EQ(setInts(a.hconn(), out, {MQIA_INHIBIT_PUT}, {MQQA_PUT_ALLOWED}).cc, MQCC_OK);
  EXPECT_EQ(putText(a.hconn(), out, "allowed", MQPMO_NO_SYNCPOINT).cc, MQCC_OK);
}

TEST_F(Objects, SetInhibitsGetUntilAllowedAllOrNothing) {
  Connection a(qmgr_);
  ASSERT_TRUE(a.ok());
  putOne(a.hconn(), "Q1", "waiting");
  MQHOBJ q = a.open("Q1", MQOO_INPUT_SHARED | MQOO_BROWSE | MQOO_OUTPUT | MQOO_SET | MQOO_INQUIRE);

  ASSERT_EQ(setInts(a.hconn(), q, {MQIA_INHIBIT_GET}, {MQQA_GET_INHIBITED}).cc, MQCC_OK);
  EXPECT_EQ(inquireInt(a.hconn(), q, MQIA_INHIBIT_GET), MQQA_GET_INHIBITED);
  Got refused = getMessage(a.hconn(), q, MQGMO_NO_SYNCPOINT);
  EXPECT_EQ(refused.outcome.cc, MQCC_FAILED);
  EXPECT_EQ(refused.outcome.rc, MQRC_GET_INHIBITED);
  EXPECT_EQ(getMessage(a.hconn(), q, MQGMO_BROWSE_FIRST).outcome.rc, MQRC_GET_INHIBITED);
  EXPECT_EQ(putText(a.hconn(), q, "still-put", MQPMO_NO_SYNCPOINT).cc, MQCC_OK)
      << "get-inhibit must not stop puts";

  Outcome bad = setInts(a.hconn(), q, {MQIA_INHIBIT_GET, MQIA_INHIBIT_PUT}, {MQQA_GET_ALLOWED, 7});
  EXPECT_EQ(bad.cc, MQCC_FAILED);
  EXPECT_EQ(bad.rc, MQRC_INHIBIT_VALUE_ERROR);
  EXPECT_EQ(inquireInt(a.hconn(), q, MQIA_INHIBIT_GET), MQQA_GET_INHIBITED)
      << "a refused MQSET changed an attribute";

  ASSERT_EQ(setInts(a.hconn(), q, {MQIA_INHIBIT_GET}, {MQQA_GET_ALLOWED}).cc, MQCC_OK);
  EXPECT_EQ(getMessage(a.hconn(), q, MQGMO_NO_SYNCPOINT).data, "waiting");

  MQHOBJ noSet = a.open("Q1", MQOO_INQUIRE);
  EXPECT_EQ(setInts(a.hconn(), noSet, {MQIA_INHIBIT_GET}, {MQQA_GET_INHIBITED}).rc,
            MQRC_NOT_OPEN_FOR_SET);
}

TEST_F(Objects, InquireGivesTheQueueManagersNameAndCcsid) {
  std::string utf8Name;
  {
    Connection a(qmgr_);
    ASSERT_TRUE(a.ok());
    MQHOBJ qm = a.openQueueManager(MQOO_INQUIRE);
    MQLONG selectors[] = {MQCA_Q_MGR_NAME, MQIA_CODED_CHAR_SET_ID};
    MQLONG ints[1] = {-99};
    char chars[48];
    Outcome inq;
    MQINQ(a.hconn(), qm, 2, selectors, 1, ints, 48, chars, &inq.cc, &inq.rc);
    ASSERT_EQ(inq.cc, MQCC_OK) << "reason " << inq.rc;
    EXPECT_EQ(std::string(chars, 48), padded(qmgr_, 48));
    EXPECT_EQ(ints[0], 819);
  }
  mqi::QueueManagerOptions utf8;
  utf8.codedCharSetId = 1208;
  utf8.deadLetterQName = "DLQ";
  utf8.defaultBackoutThreshold = 4;
  std::string other = addQueueManager("U", utf8);
  mqi::QueueAttributes poison;
  poison.backoutRequeueQName = "Q1.BACKOUT";
  defineQueueOn(other, "Q1", poison);
  poison.backoutThreshold = 0;
  defineQueueOn(other, "Q1.BACKOUT", poison);
  Connection b(other);
  ASSERT_TRUE(b.ok());
  MQHOBJ qm = b.openQueueManager(MQOO_INQUIRE);
  EXPECT_EQ(inquireInt(b.hconn(), qm, MQIA_CODED_CHAR_SET_ID), 1208);

  // The queue manager's dead-letter queue, and a queue's backout threshold and queue: the
  // threshold the queue manager gives queues defined without one.
  MQLONG dlq = MQCA_DEAD_LETTER_Q_NAME;
  char chars[96];
  Outcome inq;
  MQINQ(b.hconn(), qm, 1, &dlq, 0, nullptr, 48, chars, &inq.cc, &inq.rc);
  ASSERT_EQ(inq.cc, MQCC_OK) << "reason " << inq.rc;
  EXPECT_EQ(std::string(chars, 48), padded("DLQ", 48));
  MQHOBJ q = b.open("Q1", MQOO_INQUIRE);
  MQLONG selectors[] = {MQIA_BACKOUT_THRESHOLD, MQCA_BACKOUT_REQ_Q_NAME, MQCA_DEAD_LETTER_Q_NAME};
  MQLONG threshold = -99;
  MQINQ(b.hconn(), q, 3, selectors, 1, &threshold, 96, chars, &inq.cc, &inq.rc);
  EXPECT_EQ(inq.rc, MQRC_SELECTOR_NOT_FOR_TYPE);  // no dead-letter queue of a queue
  EXPECT_EQ(threshold, 4);
  EXPECT_EQ(std::string(chars, 48), padded("Q1.BACKOUT", 48));
  EXPECT_EQ(std::string(chars + 48, 48), std::string(48, ' '));
  ASSERT_TRUE(mqi::alterQueue(other, "Q1", poison).ok());
  EXPECT_EQ(inquireInt(b.hconn(), q, MQIA_BACKOUT_THRESHOLD), 0);
  MQINQ(b.hconn(), qm, 1, selectors, 1, &threshold, 0, nullptr, &inq.cc, &inq.rc);
  EXPECT_EQ(inq.rc, MQRC_SELECTOR_NOT_FOR_TYPE);  // nor a backout threshold of the manager
}

TEST_F(Objects, DefaultsCarryFilesOfManyGigabytes) {
  Connection a(qmgr_);
  ASSERT_TRUE(a.ok());
  MQHOBJ q = a.open("Q1", MQOO_INQUIRE | MQOO_OUTPUT | MQOO_INPUT_SHARED);
  MQLONG selectors[] = {MQIA_MAX_MSG_LENGTH, MQIA_MAX_Q_DEPTH, MQIA_DEF_PRIORITY,
                        MQIA_DEF_PERSISTENCE};
  MQLONG values[4] = {-1, -1, -1, -1};
  Outcome inq;
  MQINQ(a.hconn(), q, 4, selectors, 4, values, 0, nullptr, &inq.cc, &inq.rc);
  ASSERT_EQ(inq.cc, MQCC_OK) << "reason " << inq.rc;
  EXPECT_GE(values[0], 4 * 1024 * 1024);
  EXPECT_GE(values[1], 10 * 43691) << "a 1 GiB file is 43,691 segments";
  EXPECT_EQ(values[2], 0);
  EXPECT_EQ(values[3], MQPER_PERSISTENT);
  MQHOBJ qm = a.openQueueManager(MQOO_INQUIRE);
  EXPECT_GE(inquireInt(a.hconn(), qm, MQIA_MAX_UNCOMMITTED_MSGS), 10 * 43691);

  // A message of the full 4 MiB, every byte value included, comes back byte for byte.
  std::string data(4 * 1024 * 1024, '\0');
  std::mt19937 random(7);
  for (char& c : data) c = static_cast<char>(random() & 0xff);
  MQMD md = {MQMD_DEFAULT};  // Format blank: binary data
  ASSERT_EQ(putText(a.hconn(), q, data, MQPMO_SYNCPOINT, &md).cc, MQCC_OK);
  ASSERT_EQ(a.commit().cc, MQCC_OK);
  Got got = getMessage(a.hconn(), q, MQGMO_SYNCPOINT, static_cast<MQLONG>(data.size()));
  ASSERT_EQ(got.outcome.cc, MQCC_OK) << "reason " << got.outcome.rc;
  EXPECT_EQ(got.dataLength, static_cast<MQLONG>(data.size()));
  EXPECT_TRUE(got.data == data) << "the data changed on the way";
  ASSERT_EQ(a.commit().cc, MQCC_OK);
}

}  // namespace
}  // namespace conformance
