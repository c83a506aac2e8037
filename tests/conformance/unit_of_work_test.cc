// Units of work: one per connection, made final by MQCMIT, undone by MQBACK, committed by
// MQDISC, backed out when the process ends without MQDISC, bounded by MaxUncommittedMsgs.
// "Another connection" is the peer program, a process of its own.
#include "tests/conformance/fixture.h"
#include "tests/conformance/peer_process.h"

namespace conformance {
namespace {

class UnitOfWork : public ConformanceTest {
 protected:
  // A peer connected to the test's queue manager with Q1 open for shared input; returns Hobj.
  std::string connectPeer(PeerProcess& peer, const std::string& queue = "Q1") {
    EXPECT_EQ(peer.call("conn " + qmgr_).cc, MQCC_OK);
    PeerReply opened = peer.call("open " + queue + " " + std::to_string(MQOO_INPUT_SHARED));
    EXPECT_EQ(opened.cc, MQCC_OK) << opened.line;
    return opened.field("h");
  }
  MQLONG depth(MQHCONN hconn) {
    MQOD od = {MQOD_DEFAULT};
    setField(od.ObjectName, "Q1");
    MQHOBJ hobj = MQHO_UNUSABLE_HOBJ;
    Outcome result;
    MQOPEN(hconn, &od, MQOO_INQUIRE, &hobj, &result.cc, &result.rc);
    MQLONG selector = MQIA_CURRENT_Q_DEPTH, value = -1;
    MQINQ(hconn, hobj, 1, &selector, 1, &value, 0, nullptr, &result.cc, &result.rc);
    EXPECT_EQ(result.cc, MQCC_OK) << "MQINQ CURRENT_Q_DEPTH reason " << result.rc;
    MQCLOSE(hconn, &hobj, MQCO_NONE, &result.cc, &result.rc);
    return value;
  }
  static std::string peerGet(const std::string& hobj) {
    return "get " + hobj + " " + std::to_string(MQGMO_NO_SYNCPOINT) + " 0 1000";
  }
};

TEST_F(UnitOfWork, SyncpointPutsAndGetsBecomeFinalAtCommit) {
  Connection a(qmgr_);
  ASSERT_TRUE(a.ok());
  MQHOBJ out = a.open("Q1", MQOO_OUTPUT);
  MQHOBJ in = a.open("Q1", MQOO_INPUT_SHARED);
  PeerProcess peer;
  std::string peerQ1 = connectPeer(peer);

  ASSERT_EQ(putText(a.hconn(), out, "one", MQPMO_SYNCPOINT).cc, MQCC_OK);
  ASSERT_EQ(putText(a.hconn(), out, "two", MQPMO_SYNCPOINT).cc, MQCC_OK);
  PeerReply before = peer.call(peerGet(peerQ1));
  EXPECT_EQ(before.rc, MQRC_NO_MSG_AVAILABLE) << "uncommitted puts are visible to others";
  EXPECT_EQ(depth(a.hconn()), 2) << "uncommitted puts count in the depth";
  EXPECT_EQ(uncommittedCount("Q1"), 2);

  ASSERT_EQ(a.commit().cc, MQCC_OK);
  EXPECT_EQ(uncommittedCount("Q1"), 0) << "committed puts still counted as uncommitted";
  PeerReply first = peer.call(peerGet(peerQ1));
  EXPECT_EQ(first.cc, MQCC_OK) << first.line;
  EXPECT_EQ(first.data(), "one");

  Got held = getMessage(a.hconn(), in, MQGMO_SYNCPOINT);
  ASSERT_EQ(held.outcome.cc, MQCC_OK);
  EXPECT_EQ(held.data, "two");
  EXPECT_EQ(peer.call(peerGet(peerQ1)).rc, MQRC_NO_MSG_AVAILABLE)
      << "a message held by an uncommitted get is visible to others";
  EXPECT_EQ(depth(a.hconn()), 0) << "a message held by an uncommitted get counts in the depth";
  EXPECT_EQ(uncommittedCount("Q1"), 0) << "an uncommitted get counted as an uncommitted put";
  ASSERT_EQ(a.commit().cc, MQCC_OK);
  EXPECT_EQ(a.backout().cc, MQCC_OK) << "MQBACK without pending work";
  EXPECT_EQ(peer.call(peerGet(peerQ1)).rc, MQRC_NO_MSG_AVAILABLE)
      << "a committed get came back";
}

TEST_F(UnitOfWork, BackoutReinstatesGetsWithBackoutCountAndDiscardsPuts) {
  Connection a(qmgr_);
  ASSERT_TRUE(a.ok());
  putOne(a.hconn(), "Q1", "first");
  putOne(a.hconn(), "Q1", "second");
  MQHOBJ in = a.open("Q1", MQOO_INPUT_SHARED);
  MQHOBJ out2 = a.open("Q2", MQOO_OUTPUT);

  for (MQLONG round = 0; round < 3; ++round) {
    Got got = getMessage(a.hconn(), in, MQGMO_SYNCPOINT);
    ASSERT_EQ(got.outcome.cc, MQCC_OK);
    EXPECT_EQ(got.data, "first") << "a backed-out message must keep its place";
    EXPECT_EQ(got.md.BackoutCount, round);
    ASSERT_EQ(putText(a.hconn(), out2, "undone", MQPMO_SYNCPOINT).cc, MQCC_OK);
    ASSERT_EQ(a.backout().cc, MQCC_OK);
  }
  EXPECT_EQ(drain(a.hconn(), "Q2"), std::vector<std::string>{});
  EXPECT_EQ(drain(a.hconn(), "Q1"), (std::vector<std::string>{"first", "second"}));
}

TEST_F(UnitOfWork, NoSyncpointWorkIsFinalAtOnceWhileAUnitOfWorkIsOpen) {
  Connection a(qmgr_);
  ASSERT_TRUE(a.ok());
  MQHOBJ out = a.open("Q1", MQOO_OUTPUT);
  PeerProcess peer;
  std::string peerQ1 = connectPeer(peer);

  ASSERT_EQ(putText(a.hconn(), out, "inside", MQPMO_SYNCPOINT).cc, MQCC_OK);
  ASSERT_EQ(putText(a.hconn(), out, "outside-1", MQPMO_NO_SYNCPOINT).cc, MQCC_OK);
  ASSERT_EQ(putText(a.hconn(), out, "outside-2", MQPMO_NO_SYNCPOINT).cc, MQCC_OK);
  PeerReply seen = peer.call(peerGet(peerQ1));
  EXPECT_EQ(seen.cc, MQCC_OK) << seen.line;
  EXPECT_EQ(seen.data(), "outside-1");

  ASSERT_EQ(a.backout().cc, MQCC_OK);
  PeerReply kept = peer.call(peerGet(peerQ1));
  EXPECT_EQ(kept.data(), "outside-2") << "MQBACK undid a put made outside syncpoint";
  EXPECT_EQ(peer.call(peerGet(peerQ1)).rc, MQRC_NO_MSG_AVAILABLE)
      << "MQBACK did not discard the syncpoint put";
}

TEST_F(UnitOfWork, DisconnectCommitsAndAnEndWithoutDisconnectBacksOut) {
  {
    Connection a(qmgr_);
    ASSERT_TRUE(a.ok());
    putOne(a.hconn(), "Q1", "taken");
    MQHOBJ in = a.open("Q1", MQOO_INPUT_SHARED);
    MQHOBJ out = a.open("Q2", MQOO_OUTPUT);
    ASSERT_EQ(getMessage(a.hconn(), in, MQGMO_SYNCPOINT).outcome.cc, MQCC_OK);
    ASSERT_EQ(putText(a.hconn(), out, "kept-by-disc", MQPMO_SYNCPOINT).cc, MQCC_OK);
    Outcome disc = a.disconnect();
    EXPECT_EQ(disc.cc, MQCC_OK) << "MQDISC reason " << disc.rc;
  }
  Connection b(qmgr_);
  ASSERT_TRUE(b.ok());
  EXPECT_EQ(drain(b.hconn(), "Q1"), std::vector<std::string>{});
  EXPECT_EQ(drain(b.hconn(), "Q2"), std::vector<std::string>{"kept-by-disc"});

  // A process that ends normally without MQDISC has its unit of work backed out.
  putOne(b.hconn(), "Q1", "returns");
  PeerProcess peer;
  std::string peerQ1 = connectPeer(peer);
  PeerReply out2 = peer.call("open Q2 " + std::to_string(MQOO_OUTPUT));
  ASSERT_EQ(out2.cc, MQCC_OK);
  EXPECT_EQ(peer.call("get " + peerQ1 + " " + std::to_string(MQGMO_SYNCPOINT) + " 0 100").cc,
            MQCC_OK);
  EXPECT_EQ(peer.call("put " + out2.field("h") + " " + std::to_string(MQPMO_SYNCPOINT) + " " +
                      hexOf("vanishes"))
                .cc,
            MQCC_OK);
  peer.send("exit");
  ASSERT_EQ(peer.waitExit(std::chrono::seconds(10)), 0);

  MQHOBJ in = b.open("Q1", MQOO_INPUT_SHARED);
  Got back = getMessage(b.hconn(), in, MQGMO_NO_SYNCPOINT);
  EXPECT_EQ(back.outcome.cc, MQCC_OK);
  EXPECT_EQ(back.data, "returns");
  EXPECT_EQ(back.md.BackoutCount, 1);
  EXPECT_EQ(drain(b.hconn(), "Q2"), std::vector<std::string>{});
}

TEST_F(UnitOfWork, MaxUncommittedMsgsCountsSyncpointPutsAndGets) {
  setMaxUncommittedMsgs(3);
  Connection a(qmgr_);
  ASSERT_TRUE(a.ok());
  MQHOBJ out = a.open("Q1", MQOO_OUTPUT);
  MQHOBJ in = a.open("Q1", MQOO_INPUT_SHARED);

  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(putText(a.hconn(), out, "p" + std::to_string(i), MQPMO_SYNCPOINT).cc, MQCC_OK);
  }
  Outcome over = putText(a.hconn(), out, "p3", MQPMO_SYNCPOINT);
  EXPECT_EQ(over.cc, MQCC_FAILED);
  EXPECT_EQ(over.rc, MQRC_SYNCPOINT_LIMIT_REACHED);
  EXPECT_EQ(putText(a.hconn(), out, "free", MQPMO_NO_SYNCPOINT).cc, MQCC_OK)
      << "a put outside syncpoint must not count";
  ASSERT_EQ(a.commit().cc, MQCC_OK);

  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(getMessage(a.hconn(), in, MQGMO_SYNCPOINT).outcome.cc, MQCC_OK);
  }
  Got overGet = getMessage(a.hconn(), in, MQGMO_SYNCPOINT);
  EXPECT_EQ(overGet.outcome.cc, MQCC_FAILED);
  EXPECT_EQ(overGet.outcome.rc, MQRC_SYNCPOINT_LIMIT_REACHED);
  ASSERT_EQ(a.commit().cc, MQCC_OK);
  EXPECT_EQ(drain(a.hconn(), "Q1").size(), 1u) << "the refused get took a message";
}

}  // namespace
}  // namespace conformance
