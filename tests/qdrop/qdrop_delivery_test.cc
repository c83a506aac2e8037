// qdrop delivering files: contents, modes, directories, status records, pings, the header
// checks and the console.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "tests/qdrop/qdrop_fixture.h"

namespace qdroptest {
namespace {

namespace fs = std::filesystem;

std::string Padded48(const std::string& name) { return name + std::string(48 - name.size(), ' '); }

std::string DeliveredStatus(const std::string& path) {
  return "KVDS000000001000000012 000000345         000006789 D File '" + path +
         "' has been delivered successfully.\n";
}

std::string CorrelIdOf(uint32_t segment) {
  MQBYTE24 correlId;
  setSegmentCorrelId(correlId, segment);
  return Hex(correlId, sizeof correlId);
}

TEST_F(QdropTest, DeliversFilesByteForByteWithStatusRecords) {
  struct Case {
    std::string name;
    std::string content;
    size_t segmentSize;
  };
  std::vector<Case> cases = {
      {"empty.dat", "", 24576},
      {"one.txt", "hello, target\n", 24576},
      {"edge-24575.bin", patternBytes(24575, 1), 24576},
      {"edge-24576.bin", patternBytes(24576, 2), 24576},
      {"many.bin", patternBytes(3 * 24576 + 100, 3), 24576},
      {"long-segments.bin", patternBytes(70000, 4), 30000},  // segments beyond the fixed buffer
  };
  std::vector<PutGroup> groups;
  for (const Case& c : cases) {
    std::vector<std::string> segments = splitSegments(c.content, c.segmentSize);
    TGTDESC header = Header("new(" + folder + "/out/sub/)new(" + c.name + ")", "NEWVERS",
                            static_cast<uint32_t>(segments.size()));
    groups.push_back(PutDelivery(header, segments));
  }

  Finished run = RunUntilReplies(static_cast<int>(cases.size()));
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(Depth(kDeliveryQueue), 0);

  std::vector<Message> replies = Drain(kReplyQueue);
  ASSERT_EQ(replies.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    std::string path = folder + "/out/sub/" + cases[i].name;
    EXPECT_EQ(readFile(path), cases[i].content) << path;
    EXPECT_EQ(replies[i].data, DeliveredStatus(path));
    EXPECT_EQ(replies[i].data.size(), 53 + 6 + path.size() + 35);
    EXPECT_EQ(Hex(replies[i].md.MsgId, 24), Hex(groups[i].msgId, 24));
    EXPECT_EQ(std::string(replies[i].md.Format, 8), "MQSTR   ");
    EXPECT_EQ(Hex(replies[i].md.CorrelId, 24), std::string(48, '0'));
    EXPECT_TRUE(hasLine(run.out, " Path of file to be processed: '" + path + "'"));
    EXPECT_TRUE(hasLine(run.out, " File '" + path + "' has been delivered successfuly."));
  }

  const std::string& out = run.out;
  EXPECT_EQ(out.substr(0, 1), "\n");
  EXPECT_TRUE(hasLine(out, " TX-KV delivery agent for files has started."));
  EXPECT_TRUE(hasLine(out, " Startup parameters:"));
  EXPECT_TRUE(hasLine(out, "     QmgrName          = QDROP.QM"));
  EXPECT_TRUE(hasLine(out, "     QName             = DLVR.Q"));
  EXPECT_TRUE(hasLine(out, "     WaitMQInterval    = 100"));
  EXPECT_TRUE(hasLine(out, "     InputExclusiveON  = Y"));
  EXPECT_TRUE(hasLine(out, "     DelayInterval     = 60000"));
  EXPECT_TRUE(hasLine(out, " Connect to Queue Manager 'QDROP.QM' successful."));
  EXPECT_EQ(countLines(out, " TGTDESC:"), 6);
  EXPECT_EQ(countLines(out, " TGTDESC valid."), 6);
  EXPECT_EQ(countLines(out, " DLVR_STATUS:"), 6);
  EXPECT_TRUE(hasLine(out, " NewVersFile = empty_%d.dat"));
  EXPECT_TRUE(hasLine(out, " NewVersFile = edge-24575_%d.bin"));
  EXPECT_EQ(countLines(out, " Status Queue: " + Padded48("REPLY.Q")), 6);
  EXPECT_EQ(countLines(out, " Status Qmgr : " + Padded48("QDROP.QM")), 6);
  EXPECT_TRUE(hasLine(out, " Normal exit."));
  // The normal end is reported like every failed call; nothing else went to standard error.
  EXPECT_EQ(countLines(run.err, " MQI Call Failed."), 1);
  EXPECT_TRUE(hasLine(run.err, " Get Header from Load queue"));
  EXPECT_TRUE(hasLine(run.err, " CompCode = 2 Reason = 2016"));
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 3);
}

TEST_F(QdropTest, ReplaceOverwritesAndNewversAddsVersions) {
  fs::create_directory(Path("out"));
  std::ofstream(Path("out/report.xml")) << "old report";
  std::ofstream(Path("out/data.csv")) << "old data that is longer than the new";
  PutDelivery(Header("new(" + folder + "/out/)old", "NEWVERS", 1), {"version zero"});
  PutDelivery(Header("new(" + folder + "/out/)old", "NEWVERS", 1), {"version one"});
  PutDelivery(Header("new(" + folder + "/out/data.csv)", "REPLACE", 1), {"new data"});

  Finished run = RunUntilReplies(3);
  EXPECT_EQ(readFile(Path("out/report.xml")), "old report");
  EXPECT_EQ(readFile(Path("out/report_0.xml")), "version zero");
  EXPECT_EQ(readFile(Path("out/report_1.xml")), "version one");
  EXPECT_EQ(readFile(Path("out/data.csv")), "new data");
  EXPECT_FALSE(fs::exists(Path("out/data_0.csv")));
  EXPECT_EQ(countLines(run.out, " NewVersFile = report_%d.xml"), 2);
  std::vector<Message> replies = Drain(kReplyQueue);
  ASSERT_EQ(replies.size(), 3u);
  EXPECT_EQ(replies[1].data, DeliveredStatus(Path("out/report_1.xml")));
}

TEST_F(QdropTest, AnswersAPingWithTheSameBytes) {
  PING ping;
  initPING(ping);
  ping.NodId.assign(42);
  ping.SendTms.assign("2007-03-15 09:05:01");
  MQMD md = {MQMD_DEFAULT};
  setSegmentCorrelId(md.CorrelId, 0);
  std::memcpy(md.Format, MQFMT_STRING, MQ_FORMAT_LENGTH);
  setName(md.ReplyToQ, kReplyQueue);
  PutMessage(std::string(reinterpret_cast<const char*>(&ping), sizeof ping), md);

  Finished run = RunUntilReplies(1);
  std::vector<Message> replies = Drain(kReplyQueue);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].data, std::string(reinterpret_cast<const char*>(&ping), sizeof ping));
  EXPECT_EQ(Hex(replies[0].md.CorrelId, 24), CorrelIdOf(0));
  EXPECT_EQ(std::string(replies[0].md.Format, 8), "MQSTR   ");
  EXPECT_EQ(replies[0].md.MsgType, MQMT_DATAGRAM);
  EXPECT_TRUE(hasLine(run.out, " PING:"));
  EXPECT_TRUE(hasLine(run.out, "  NodId      =  000000042"));
  EXPECT_FALSE(hasLine(run.out, " TGTDESC:"));
  EXPECT_EQ(Depth(kDeliveryQueue), 0);
}

TEST_F(QdropTest, RejectsHeadersInAForeignCodePageOrTooShort) {
  // Converts from UTF-8 into the queue manager's code page: delivered.
  PutDelivery(Header("new(" + folder + "/converted.txt)", "REPLACE", 1), {"converted"}, 1208);
  // Not converted (no string format): rejected and committed away, its segment stays.
  PutDelivery(Header("new(" + folder + "/foreign.txt)", "REPLACE", 1), {"foreign"}, 1208,
              MQFMT_NONE);
  // Shorter than the 714 bytes of every field up to Options.
  PutDelivery(Header("new(" + folder + "/short.txt)", "REPLACE", 1), {"short"}, 0,
              MQFMT_STRING, 713);
  // Exactly 714 bytes are enough.
  PutDelivery(Header("new(" + folder + "/shortest.txt)", "REPLACE", 1), {"shortest"}, 0,
              MQFMT_STRING, 714);

  Program* agent = Start();
  bool done = WaitFor([&] { return Depth(kReplyQueue) >= 2 && Depth(kDeliveryQueue) == 2; });
  Finished run = Stop(agent);
  ASSERT_TRUE(done) << run.out;
  EXPECT_EQ(readFile(Path("converted.txt")), "converted");
  EXPECT_EQ(readFile(Path("shortest.txt")), "shortest");
  EXPECT_FALSE(fs::exists(Path("foreign.txt")));
  EXPECT_FALSE(fs::exists(Path("short.txt")));
  std::string ccsidLine =
      " Invalid message CodedCharSetId = 1208 for TGRDESC. Probably, configuration error. "
      "Ignore message.";
  std::string lengthLine = " Invalid message length = 713 for TGTDESC (Message too short). Ignore message.";
  EXPECT_TRUE(hasLine(run.err, ccsidLine)) << run.err;
  EXPECT_TRUE(hasLine(run.out, ccsidLine));
  EXPECT_TRUE(hasLine(run.err, lengthLine));
  EXPECT_TRUE(hasLine(run.out, lengthLine));
  // Only the rejected headers' data segments are left.
  std::vector<Message> left = Drain(kDeliveryQueue);
  ASSERT_EQ(left.size(), 2u);
  EXPECT_EQ(left[0].data, "foreign");
  EXPECT_EQ(left[1].data, "short");
  EXPECT_EQ(Drain(kReplyQueue).size(), 2u);
}

TEST_F(QdropTest, AnInvalidHeaderIsStillDelivered) {
  TGTDESC header = Header("new(" + folder + "/letters.txt)", "REPLACE", 1);
  header.Obj_id.assign(0);
  std::memcpy(header.Obj_id.bytes, "12ab5678 ", 9);
  PutDelivery(header, {"still delivered"});
  Finished run = RunUntilReplies(1);
  EXPECT_EQ(readFile(Path("letters.txt")), "still delivered");
  EXPECT_TRUE(hasLine(run.out, " TGTDESC invalid."));
  EXPECT_TRUE(hasLine(run.out, "  Obj_id     =  12ab5678  !!! Invalid data found. !!!"));
  std::vector<Message> replies = Drain(kReplyQueue);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].data.substr(41, 9), "12ab5678 ");
}

TEST_F(QdropTest, WithoutAnArgumentTheSettingsComeFromQdropIniInTheCurrentDirectory) {
  PutDelivery(Header("new(" + folder + "/plain.txt)", "REPLACE", 1), {"plain"});
  Program* agent = Start({}, false);
  bool done = WaitFor([&] { return Depth(kReplyQueue) >= 1; });
  Finished run = Stop(agent);
  EXPECT_TRUE(done) << run.out;
  EXPECT_EQ(readFile(Path("plain.txt")), "plain");
}

}  // namespace
}  // namespace qdroptest
