// Settings of the load agent: the qfeed.ini reading rules and the start-up lines.
#include <gtest/gtest.h>

#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "common/records.h"
#include "load_agent/load_agent.h"
#include "platform/test_folder.h"

namespace {

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(folder_.ok()); }
  LoadSettingsT read(const std::string& content) {
    std::ofstream(path_) << content;
    LoadSettingsT settings;
    readLoadSettings(path_.c_str(), settings);
    return settings;
  }
  TestFolder folder_{"qfeedset"};
  const std::string& dir_ = folder_.path();
  const std::string path_ = folder_ / "qfeed.ini";
};

TEST_F(SettingsTest, MissingFileGivesDefaults) {
  LoadSettingsT s;
  readLoadSettings((dir_ + "/none.ini").c_str(), s);
  EXPECT_STREQ(s.QMgrName, "");
  EXPECT_STREQ(s.SrcQueue, "");
  EXPECT_STREQ(s.LogPath, "");
  EXPECT_STREQ(s.RejectPath, "");
  EXPECT_STREQ(s.LoadedQueue, "");  // no load marks
  EXPECT_TRUE(s.InputExclusiveON);
  EXPECT_EQ(s.FolderWaitTime, 60000);
  EXPECT_EQ(s.MQWaitTime, 60000);
}

TEST_F(SettingsTest, ValuesAreReadAndCutAtTheirBuffers) {
  const std::string longName(60, 'Q');
  const std::string longPath(300, 'p');
  LoadSettingsT s = read("[MQSeries Objects]\nQMgrName=" + longName + "\nSrcQueue=JOBS\n" +
                         "LoadedQueue=" + longName + "\nInputExclusiveON=Yes\n[Source Definition]\nLogPath=" + longPath +
                         "\nRejectPath=/var/rej\n[Options]\nFolderWaitTime=0\n" +
                         "MQWaitTime=1234567890123456\n");
  EXPECT_EQ(std::string(s.QMgrName), longName.substr(0, 48));
  EXPECT_STREQ(s.SrcQueue, "JOBS");
  EXPECT_EQ(std::string(s.LoadedQueue), longName.substr(0, 48));
  EXPECT_EQ(std::string(s.LogPath), longPath.substr(0, 259));
  EXPECT_STREQ(s.RejectPath, "/var/rej");
  EXPECT_TRUE(s.InputExclusiveON);
  EXPECT_EQ(s.FolderWaitTime, 0);
  EXPECT_EQ(s.MQWaitTime, 2147483647);  // cut to 12 characters, then the largest value
}

TEST_F(SettingsTest, ExclusiveInputNeedsAnUpperCaseY) {
  EXPECT_FALSE(read("[MQSeries Objects]\nInputExclusiveON=y\n").InputExclusiveON);
  EXPECT_FALSE(read("[MQSeries Objects]\nInputExclusiveON=\n").InputExclusiveON);
  EXPECT_FALSE(read("[MQSeries Objects]\nInputExclusiveON=N\n").InputExclusiveON);
  EXPECT_TRUE(read("[MQSeries Objects]\nInputExclusiveON=Y\n").InputExclusiveON);
}

TEST_F(SettingsTest, NumbersReadLikeAtoi) {
  EXPECT_EQ(read("[Options]\nMQWaitTime=abc\n").MQWaitTime, 0);
  EXPECT_EQ(read("[Options]\nMQWaitTime=  -250ms\n").MQWaitTime, -250);
  // Beyond the 32-bit range a number saturates instead of wrapping.
  EXPECT_EQ(read("[Options]\nMQWaitTime=99999999999999999999\n").MQWaitTime, 2147483647);
  EXPECT_EQ(read("[Options]\nFolderWaitTime=4294967297\n").FolderWaitTime, 2147483647);
  EXPECT_EQ(read("[Options]\nMQWaitTime=-99999999999\n").MQWaitTime, -2147483647 - 1);
}

TEST_F(SettingsTest, StartupLinesShowFourSettings) {
  std::ofstream(path_) << "[MQSeries Objects]\nQMgrName=QM1\nSrcQueue=JOBS\n[Options]\n"
                          "FolderWaitTime=5\nMQWaitTime=abc\n";
  std::ostringstream captured;
  std::streambuf* saved = std::cout.rdbuf(captured.rdbuf());
  ReadSettings(path_.c_str());
  std::cout.rdbuf(saved);
  std::istringstream lines(captured.str());
  std::string line;
  std::string texts;
  while (std::getline(lines, line)) {
    ASSERT_GE(line.size(), 19u);
    texts += line.substr(19) + "|";
  }
  EXPECT_EQ(texts,
            " Startup parameters:|     QmgrName          = QM1|     SrcQueue          = JOBS|"
            "     FolderWaitTime    = 5|     MQWaitTime        = 0|");
  EXPECT_STREQ(LoadAgent.LoadSettings.QMgrName, "QM1");
}

}  // namespace
