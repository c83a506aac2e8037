#include "tools/qmctl/transfer_records.h"

#include <gtest/gtest.h>

#include <cstring>

namespace qmctl {
namespace {

std::string bytesOf(const void* record, size_t size) {
  return std::string(static_cast<const char*>(record), size);
}

TEST(QmctlJob, FillsPathReceiverIsLogAndSrcIdAtTheirOffsets) {
  SRCINFO job;
  ASSERT_TRUE(buildJob({"/data/in/*.xml", "RECV.Q", 'Y', 42}, job).ok());
  const std::string b = bytesOf(&job, sizeof job);
  ASSERT_EQ(b.size(), 587u);
  EXPECT_EQ(b.substr(0, 4), "    ");
  EXPECT_EQ(b.substr(4, 9), "000000000");
  EXPECT_EQ(b.substr(13, 9), "000000042");
  EXPECT_EQ(b.substr(30, 254), "/data/in/*.xml" + std::string(240, ' '));
  EXPECT_EQ(b.substr(302, 1), "Y");
  EXPECT_EQ(b.substr(332), "-rcvrqname RECV.Q" + std::string(255 - 17, ' '));
}

TEST(QmctlJob, RefusesAPathTheFieldCannotHold) {
  SRCINFO job;
  EXPECT_TRUE(buildJob({std::string(254, 'p'), "R", 'N', 0}, job).ok());
  EXPECT_FALSE(buildJob({std::string(255, 'p'), "R", 'N', 0}, job).ok());
  EXPECT_FALSE(buildJob({"", "R", 'N', 0}, job).ok());
}

TEST(QmctlPing, CarriesNodeAndSendTime) {
  PING ping;
  const std::string when = pingTimestamp();
  ASSERT_EQ(when.size(), 26u);
  buildPing(ping, 1234, when);
  const std::string b = bytesOf(&ping, sizeof ping);
  EXPECT_EQ(b.substr(0, 22), "KVPN000000001000001234");
  EXPECT_EQ(b.substr(22, 26), when);
  EXPECT_EQ(b.substr(48), std::string(26, ' '));
}

TEST(QmctlStatus, ReadsAShortLoadStatusAsTheAgentSendsIt) {
  // The record is cut after the comment: 25 fixed bytes, the text, nothing more.
  const std::string data = std::string("KVLS000000001000000012 X ") +
                           "During processing file 'a' error has been received. Gone\r\n";
  MQBYTE24 msgId = {0xab, 0x01};
  const auto status = parseStatus(data.data(), data.size(), msgId);
  ASSERT_TRUE(status);
  EXPECT_EQ(statusLine(*status),
            "LOAD_STATUS X src_id=12 msgid=ab01" + std::string(44, '0') +
                " During processing file 'a' error has been received. Gone");
  const nlohmann::json json = statusJson(*status);
  EXPECT_EQ(json["type"], "LOAD_STATUS");
  EXPECT_EQ(json["src_id"], 12);
  EXPECT_FALSE(json.contains("tgt_id"));
}

TEST(QmctlStatus, ReadsDeliveryStatusIdsAndKeepsBadDigitsAsText) {
  const std::string data = std::string("KVDS") + "000000001" + "000000007" + " " + "000000300" +
                           std::string(9, ' ') + "0000000x9" + " D " +
                           "File '/t/a' has been delivered successfully.\n";
  MQBYTE24 msgId = {};
  const auto status = parseStatus(data.data(), data.size(), msgId);
  ASSERT_TRUE(status);
  EXPECT_EQ(status->state, "D");
  EXPECT_EQ(status->tgtId, "300");
  EXPECT_EQ(status->dpId, "0000000x9");
  EXPECT_EQ(status->comment, "File '/t/a' has been delivered successfully.");
  const nlohmann::json json = statusJson(*status);
  EXPECT_EQ(json["src_id"], 7);
  EXPECT_EQ(json["tgt_id"], 300);
  EXPECT_EQ(json["dp_id"], "0000000x9");
}

TEST(QmctlStatus, AnythingElseIsNotAStatusRecord) {
  MQBYTE24 msgId = {};
  EXPECT_FALSE(parseStatus("KVPN000000001", 13, msgId));
  EXPECT_FALSE(parseStatus("KVL", 3, msgId));
  EXPECT_FALSE(parseStatus("", 0, msgId));
  // A longer message is read up to the record's own size.
  std::string longer = "KVLS000000001000000001 F " + std::string(2000, 'c');
  const auto status = parseStatus(longer.data(), longer.size(), msgId);
  ASSERT_TRUE(status);
  EXPECT_EQ(status->comment.size(), 1025u);
}

}  // namespace
}  // namespace qmctl
