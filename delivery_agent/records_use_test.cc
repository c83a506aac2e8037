// The records and settings as the delivery agent fills and reads them.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "delivery_agent/delivery.h"
#include "platform/test_folder.h"

namespace {

TGTDESC HeaderWithIds() {
  TGTDESC header;
  initTGTDESC(header);
  header.Src_id.assign(12);
  header.Tgt_id.assign(345);
  header.Obj_id.assign(6789);
  return header;
}

std::string Message(const DLVR_STATUS& record, MQLONG length) {
  return std::string(reinterpret_cast<const char*>(&record), static_cast<size_t>(length));
}

TEST(DeliveryStatusTest, DeliveredRecordByteForByte) {
  DLVR_STATUS record;
  MQLONG length = BuildDeliveryStatus(record, "D",
                                      "File '/out/a.txt' has been delivered successfully.\n",
                                      HeaderWithIds());
  EXPECT_EQ(Message(record, length),
            "KVDS000000001000000012 000000345         000006789 D "
            "File '/out/a.txt' has been delivered successfully.\n");
  EXPECT_EQ(length, 53 + 51);
}

TEST(DeliveryStatusTest, WaitingRecordCarriesPathAndErrorText) {
  DLVR_STATUS record;
  MQLONG length = BuildDeliveryStatus(record, "W", "/out/a.txt:No space left on device\n",
                                      HeaderWithIds());
  EXPECT_EQ(Message(record, length).substr(41), "000006789 W /out/a.txt:No space left on device\n");
}

TEST(DeliveryStatusTest, AZeroInACopiedFieldEndsTheMessage) {
  TGTDESC header = HeaderWithIds();
  header.Tgt_id.bytes[2] = '\0';
  DLVR_STATUS record;
  EXPECT_EQ(BuildDeliveryStatus(record, "D", "x", header), 25);
}

TEST(DeliveryStatusTest, AFullCommentFillsTheWholeRecord) {
  std::string comment(1100, 'c');
  DLVR_STATUS record;
  EXPECT_EQ(BuildDeliveryStatus(record, "W", comment.c_str(), HeaderWithIds()), 1080);
}

TEST(DeliveryOptionsTest, GarbageNamesTheDeferredQueue) {
  TGTDESC header;
  initTGTDESC(header);
  DeliveryAgent.DeferredQueue[0] = '\0';
  header.Options.assign("-x 1 -garbage DEFER.Q -y");
  ReadDeliveryOptions(header);
  EXPECT_STREQ(DeliveryAgent.DeferredQueue, "DEFER.Q");

  header.Options.assign("-other");  // no -garbage: the earlier name stays
  ReadDeliveryOptions(header);
  EXPECT_STREQ(DeliveryAgent.DeferredQueue, "DEFER.Q");

  header.Options.assign("-garbage A -garbage \"B Q\"");  // the last one wins
  ReadDeliveryOptions(header);
  EXPECT_STREQ(DeliveryAgent.DeferredQueue, "B Q");

  header.Options.assign("-GARBAGE C");  // case-sensitive
  ReadDeliveryOptions(header);
  EXPECT_STREQ(DeliveryAgent.DeferredQueue, "B Q");

  header.Options.assign(("-garbage " + std::string(60, 'Q')).c_str());  // cut to 48
  ReadDeliveryOptions(header);
  EXPECT_EQ(std::string(DeliveryAgent.DeferredQueue), std::string(48, 'Q'));

  header.Options.assign("-garbage");  // last token: an empty name
  ReadDeliveryOptions(header);
  EXPECT_STREQ(DeliveryAgent.DeferredQueue, "");
}

TEST(DeliveryOptionsTest, OnlyTheFirst254CharactersCount) {
  TGTDESC header;
  initTGTDESC(header);
  DeliveryAgent.DeferredQueue[0] = '\0';
  std::string options = std::string(244, ' ') + "-garbage Q2345";
  header.Options.assign(options.c_str());
  ReadDeliveryOptions(header);
  EXPECT_STREQ(DeliveryAgent.DeferredQueue, "Q");
}

TEST(SettingsTest, NumbersAreTheLeadingDigits) {
  EXPECT_EQ(SettingsNumber("120000"), 120000);
  EXPECT_EQ(SettingsNumber("15ms"), 15);
  EXPECT_EQ(SettingsNumber("abc"), 0);
  EXPECT_EQ(SettingsNumber("-5"), 0);
  EXPECT_EQ(SettingsNumber(""), 0);
  EXPECT_EQ(SettingsNumber("9999999999999999999"), 2147483647);
}

TEST(SettingsTest, FileValuesAndDefaults) {
  TestFolder folder("qdrop-settings");
  ASSERT_TRUE(folder.ok());
  std::string file = folder / "qdrop.ini";
  std::ofstream(file) << "[MQSeries Objects]\nQMgrName=QM1\nQName=DLVR.Q\n"
                         "InputExclusiveON=y\n[Options]\nDeferInterval=250\n";
  testing::internal::CaptureStdout();
  ReadDeliverySettings(file.c_str());
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_STREQ(DeliveryAgent.Settings.QMgrName, "QM1");
  EXPECT_STREQ(DeliveryAgent.Settings.QName, "DLVR.Q");
  EXPECT_EQ(DeliveryAgent.Settings.WaitMQInterval, 120000);
  EXPECT_FALSE(DeliveryAgent.Settings.InputExclusiveON);  // only an upper-case Y is exclusive
  EXPECT_EQ(DeliveryAgent.Settings.DelayInterval, 60000);
  EXPECT_EQ(DeliveryAgent.Settings.DeferInterval, 250);
  EXPECT_NE(out.find(" Startup parameters:\n"), std::string::npos);
  EXPECT_NE(out.find("     QmgrName          = QM1\n"), std::string::npos);
  EXPECT_NE(out.find("     InputExclusiveON  = N\n"), std::string::npos);
  EXPECT_NE(out.find("     DelayInterval     = 60000\n"), std::string::npos);

  testing::internal::CaptureStdout();
  ReadDeliverySettings((folder / "missing.ini").c_str());
  testing::internal::GetCapturedStdout();
  EXPECT_STREQ(DeliveryAgent.Settings.QMgrName, "");
  EXPECT_TRUE(DeliveryAgent.Settings.InputExclusiveON);
  EXPECT_EQ(DeliveryAgent.Settings.DeferInterval, 12000);
}

TEST(SettingsTest, RelativeNamesFollowTheCurrentDirectory) {
  char path[600];
  SettingsFilePath(nullptr, path, sizeof path);
  EXPECT_EQ(std::string(path), std::filesystem::current_path().string() + "/qdrop.ini");
  SettingsFilePath("/etc/qdrop/a.ini", path, sizeof path);
  EXPECT_STREQ(path, "/etc/qdrop/a.ini");
  SettingsFilePath("c:", path, sizeof path);
  EXPECT_EQ(std::string(path), std::filesystem::current_path().string() + "/c:");
}

}  // namespace
