// QM_FAILPOINTS: chosen calls fail with a chosen completion and reason code, by occurrence
// (@N), from an occurrence on (@N+) or always, and a failed call does nothing else. The
// variable is read at a process's first MQCONN, so each case runs in a peer process.
#include "tests/conformance/fixture.h"
#include "tests/conformance/peer_process.h"

namespace conformance {
namespace {

class Failpoints : public ConformanceTest {
 protected:
  std::unique_ptr<PeerProcess> peerFailing(const std::string& failpoints) {
    return std::make_unique<PeerProcess>(std::vector<std::string>{"QM_FAILPOINTS=" + failpoints});
  }
  static std::string put(const std::string& hobj, MQLONG options, const std::string& text) {
    return "put " + hobj + " " + std::to_string(options) + " " + hexOf(text);
  }
  static std::string get(const std::string& hobj) {
    return "get " + hobj + " " + std::to_string(MQGMO_NO_SYNCPOINT) + " 0 100";
  }
};

TEST_F(Failpoints, NthCallAndEveryCallFromTheNthOnFail) {
  auto peer = peerFailing("MQGET@2=2:2009,MQPUT@3+=2:2053");
  ASSERT_EQ(peer->call("conn " + qmgr_).cc, MQCC_OK);
  std::string out = peer->call("open Q1 " + std::to_string(MQOO_OUTPUT)).field("h");
  std::string in = peer->call("open Q1 " + std::to_string(MQOO_INPUT_SHARED)).field("h");

  EXPECT_EQ(peer->call(put(out, MQPMO_NO_SYNCPOINT, "a")).cc, MQCC_OK);
  EXPECT_EQ(peer->call(put(out, MQPMO_NO_SYNCPOINT, "b")).cc, MQCC_OK);
  for (const char* text : {"c", "d", "e"}) {
    PeerReply failed = peer->call(put(out, MQPMO_NO_SYNCPOINT, text));
    EXPECT_EQ(failed.cc, MQCC_FAILED) << failed.line;
    EXPECT_EQ(failed.rc, MQRC_Q_FULL) << failed.line;
  }

  EXPECT_EQ(peer->call(get(in)).data(), "a");
  PeerReply second = peer->call(get(in));
  EXPECT_EQ(second.cc, MQCC_FAILED) << second.line;
  EXPECT_EQ(second.rc, MQRC_CONNECTION_BROKEN) << second.line;
  PeerReply third = peer->call(get(in));
  EXPECT_EQ(third.cc, MQCC_OK) << third.line;
  EXPECT_EQ(third.data(), "b") << "the failed get took a message";
  EXPECT_EQ(peer->call(get(in)).rc, MQRC_NO_MSG_AVAILABLE) << "a failed put stored a message";
}

TEST_F(Failpoints, AlwaysFailingCallDoesNothingElse) {
  auto peer = peerFailing("MQCMIT=2:2003");
  ASSERT_EQ(peer->call("conn " + qmgr_).cc, MQCC_OK);
  std::string out = peer->call("open Q1 " + std::to_string(MQOO_OUTPUT)).field("h");
  ASSERT_EQ(peer->call(put(out, MQPMO_SYNCPOINT, "undone")).cc, MQCC_OK);
  for (int i = 0; i < 3; ++i) {
    PeerReply commit = peer->call("cmit");
    EXPECT_EQ(commit.cc, MQCC_FAILED) << commit.line;
    EXPECT_EQ(commit.rc, MQRC_BACKED_OUT) << commit.line;
  }
  EXPECT_EQ(peer->call(put(out, MQPMO_NO_SYNCPOINT, "outside")).cc, MQCC_OK)
      << "a call that is not named failed";
  EXPECT_EQ(peer->call("back").cc, MQCC_OK);

  Connection a(qmgr_);
  ASSERT_TRUE(a.ok());
  EXPECT_EQ(drain(a.hconn(), "Q1"), std::vector<std::string>{"outside"})
      << "the failed commits must not have committed the put";

  auto refused = peerFailing("MQCONN=2:2059");
  PeerReply conn = refused->call("conn " + qmgr_);
  EXPECT_EQ(conn.cc, MQCC_FAILED) << conn.line;
  EXPECT_EQ(conn.rc, MQRC_Q_MGR_NOT_AVAILABLE) << conn.line;
}

}  // namespace
}  // namespace conformance
