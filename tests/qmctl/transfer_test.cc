// qmctl job, ping and status against queues where the test plays the agents.
#include "common/ping.h"
#include "common/records.h"
#include "tests/qmctl/harness.h"

namespace qmctl_test {
namespace {

using ::testing::HasSubstr;

MQMD headerRequest() {
  MQMD md = {MQMD_DEFAULT};
  setSegmentCorrelId(md.CorrelId, 0);
  return md;
}

TEST_F(QmctlTest, JobIsAnSrcinfoRecordWithTheHeaderCorrelId) {
  define("JOBS");
  Outcome run = qmctl({"job", kQm, "JOBS", "--path", "/data/in/*.xml", "--receiver", "RECV",
                   "--reply-to-q", "REPLY", "--reply-to-qmgr", "QMX", "--src-id", "4711",
                   "--is-log", "N", "--json"});
  ASSERT_EQ(run.code, 0) << run.err;
  const std::string msgId = nlohmann::json::parse(run.out)["msgid"];

  // The expected bytes, built field by field with the record operations.
  SRCINFO expected;
  initSRCINFO(expected);
  expected.Src_id.assign(4711);
  expected.Src_path.assign("/data/in/*.xml");
  expected.Is_log.assign("N");
  expected.Options.assign("-rcvrqname RECV");

  TestConnection connection(kQm);
  MQMD md = headerRequest();  // only a header-CorrelId get may find it, as in qfeed
  std::string data;
  ASSERT_EQ(connection.get("JOBS", md, data), MQRC_NONE);
  ASSERT_EQ(data.size(), sizeof expected);
  EXPECT_EQ(data, std::string(reinterpret_cast<const char*>(&expected), sizeof expected));
  EXPECT_EQ(std::string(md.Format, 8), "MQSTR   ");
  EXPECT_EQ(std::string(md.ReplyToQ, 5), "REPLY");
  EXPECT_EQ(std::string(md.ReplyToQMgr, 3), "QMX");
  EXPECT_EQ(md.ReplyToQMgr[3], ' ');
  EXPECT_EQ(msgId.size(), 48u);

  run = qmctl({"job", kQm, "JOBS", "--path", std::string(255, 'p'), "--receiver", "R",
               "--reply-to-q", "REPLY"});
  EXPECT_EQ(run.code, 2);
  EXPECT_THAT(run.err, HasSubstr("254"));
}

TEST_F(QmctlTest, PingTimesOutWhenNoAgentAnswers) {
  define("AGENT");
  define("PONG");
  const auto start = std::chrono::steady_clock::now();
  const Outcome run = qmctl({"ping", kQm, "AGENT", "--reply-to-q", "PONG", "--timeout", "300"});
  EXPECT_EQ(run.code, 3);
  EXPECT_THAT(run.err, HasSubstr("no echo from queue 'AGENT'"));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
  EXPECT_EQ(qmctl({"ping", kQm, "AGENT", "--reply-to-q", "NOSUCH"}).code, 1);
}

// Plays an agent: takes one header message off `queue` and answers it as the agents do.
void echoOnePing(const char* qmgr, const std::string& queue) {
  TestConnection agent(qmgr);
  MQMD md = headerRequest();
  std::string data;
  ASSERT_EQ(agent.get(queue, md, data, 20000), MQRC_NONE);
  PING ping;
  initPING(ping);
  std::memcpy(&ping, data.data(), std::min(data.size(), sizeof ping));
  ASSERT_TRUE(ping.StructId.equals("KVPN"));
  putPingReply(agent.handle(), &ping, md.ReplyToQ);
}

TEST_F(QmctlTest, PingFindsItsOwnEchoAmongOtherMessages) {
  define("AGENT");
  define("PONG");
  // A stale echo of somebody else's ping waits on the reply queue already.
  TestConnection other(kQm);
  PING stale;
  initPING(stale);
  MQMD staleMd = headerRequest();
  ASSERT_EQ(other.put("PONG", staleMd,
                      std::string(reinterpret_cast<const char*>(&stale), sizeof stale)),
            MQRC_NONE);

  std::thread agent(echoOnePing, kQm, "AGENT");
  const Outcome run =
      qmctl({"ping", kQm, "AGENT", "--reply-to-q", "PONG", "--timeout", "20000", "--json"});
  agent.join();
  ASSERT_EQ(run.code, 0) << run.err;
  const nlohmann::json result = nlohmann::json::parse(run.out);
  EXPECT_EQ(result["echo"], true);
  EXPECT_GT(result["rtt_ms"].get<double>(), 0.0);
  EXPECT_EQ(depth("PONG"), 1);  // the echo was taken, the stale one left
  EXPECT_EQ(depth("AGENT"), 0);
}

std::string loadStatus(uint32_t srcId, const char* state, const char* comment) {
  LOAD_STATUS record;
  initLOAD_STATUS(record);
  record.StructId.assign("KVLS");
  record.Version.assign(1);
  record.Src_id.assign(srcId);
  record.State.assign(state);
  record.Comments.assign(comment);
  return std::string(reinterpret_cast<const char*>(&record), 25 + record.Comments.textLength());
}

std::string deliveryStatus(uint32_t srcId, uint32_t tgtId, uint32_t dpId, const char* comment) {
  DLVR_STATUS record;
  initDLVR_STATUS(record);
  record.StructId.assign("KVDS");
  record.Version.assign(1);
  record.Src_id.assign(srcId);
  record.Tgt_id.assign(tgtId);
  record.Dp_id.assign(dpId);
  record.State.assign("D");
  record.Comments.assign(comment);
  return std::string(reinterpret_cast<const char*>(&record), 53 + record.Comments.textLength());
}

TEST_F(QmctlTest, StatusPrintsTheRecordsAndLeavesOtherMessages) {
  define("REPLY");
  TestConnection agent(kQm);
  MQMD md = {MQMD_DEFAULT};
  std::memset(md.MsgId, 0x11, sizeof md.MsgId);
  ASSERT_EQ(agent.put("REPLY", md, loadStatus(12, "X", "File 'a.xml' was loaded successfully.")),
            MQRC_NONE);
  MQMD other = {MQMD_DEFAULT};
  ASSERT_EQ(agent.put("REPLY", other, "not a status record"), MQRC_NONE);
  MQMD md2 = {MQMD_DEFAULT};
  std::memset(md2.MsgId, 0x11, sizeof md2.MsgId);
  ASSERT_EQ(agent.put("REPLY", md2,
                      deliveryStatus(12, 7, 3, "File '/t/a.xml' has been delivered successfully.\n")),
            MQRC_NONE);

  Outcome run = qmctl({"status", kQm, "REPLY", "--browse"});
  ASSERT_EQ(run.code, 0) << run.err;
  const std::string id(48, '1');
  EXPECT_EQ(run.out,
            "LOAD_STATUS X src_id=12 msgid=" + id + " File 'a.xml' was loaded successfully.\n"
            "DLVR_STATUS D src_id=12 tgt_id=7 dp_id=3 msgid=" + id +
                " File '/t/a.xml' has been delivered successfully.\n");
  EXPECT_EQ(depth("REPLY"), 3);  // --browse leaves them

  run = qmctl({"status", kQm, "REPLY", "--json"});
  ASSERT_EQ(run.code, 0) << run.err;
  const auto lines = jsonLines(run.out);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0]["type"], "LOAD_STATUS");
  EXPECT_EQ(lines[0]["state"], "X");
  EXPECT_EQ(lines[1]["type"], "DLVR_STATUS");
  EXPECT_EQ(lines[1]["tgt_id"], 7);
  EXPECT_EQ(lines[1]["dp_id"], 3);
  EXPECT_EQ(lines[1]["comment"], "File '/t/a.xml' has been delivered successfully.");
  EXPECT_EQ(depth("REPLY"), 1);  // the records were taken, the other message stays

  run = qmctl({"status", kQm, "REPLY"});
  EXPECT_EQ(run.code, 3);
  EXPECT_THAT(run.err, HasSubstr("read 0 status records"));
}

TEST_F(QmctlTest, StatusWaitsForTheCountItWasAskedFor) {
  define("REPLY");
  Outcome run;
  std::thread reader([&] { run = qmctl({"status", kQm, "REPLY", "--count", "2", "--wait",
                                        "20000"}); });
  TestConnection agent(kQm);
  for (uint32_t id : {1u, 2u}) {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    MQMD md = {MQMD_DEFAULT};
    ASSERT_EQ(agent.put("REPLY", md, loadStatus(id, "F", "failed")), MQRC_NONE);
  }
  reader.join();
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("src_id=1 "));
  EXPECT_THAT(run.out, HasSubstr("src_id=2 "));

  MQMD md = {MQMD_DEFAULT};
  ASSERT_EQ(agent.put("REPLY", md, loadStatus(3, "F", "failed")), MQRC_NONE);
  run = qmctl({"status", kQm, "REPLY", "--count", "2", "--wait", "200"});
  EXPECT_EQ(run.code, 3);
  EXPECT_THAT(run.out, HasSubstr("src_id=3 "));
  EXPECT_THAT(run.err, HasSubstr("read 1 status records"));
}

TEST_F(QmctlTest, StatusFollowEndsWhenGetIsInhibited) {
  define("REPLY");
  Outcome run;
  std::thread reader([&] { run = qmctl({"status", kQm, "REPLY", "--follow", "--json"}); });
  TestConnection agent(kQm);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  MQMD md = {MQMD_DEFAULT};
  ASSERT_EQ(agent.put("REPLY", md, loadStatus(5, "X", "loaded")), MQRC_NONE);
  // The reader takes the record off the queue; only then is get inhibited (a slow start of
  // the reader, under a sanitizer say, must not find the queue inhibited first).
  for (int i = 0; i < 200 && mqi::describeQueue(kQm, "REPLY").value.currentDepth != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(mqi::alterQueue(kQm, "REPLY", {.inhibitGet = MQQA_GET_INHIBITED}).ok());
  reader.join();
  EXPECT_EQ(run.code, 0) << run.err;
  ASSERT_EQ(jsonLines(run.out).size(), 1u);
  EXPECT_EQ(jsonLines(run.out)[0]["src_id"], 5);
}

}  // namespace
}  // namespace qmctl_test
