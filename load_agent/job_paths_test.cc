// Job texts: the split of a job path into folder and mask, the receiver queue option, the
// mask matcher the folder scan relies on, and the scan's results before any file is loaded.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "load_agent/load_agent.h"
#include "platform/test_folder.h"

namespace {

std::pair<std::string, std::string> split(const char* path) {
  char folder[kPathSize];
  char mask[kPathSize];
  splitSourcePath(path, folder, mask);
  return {folder, mask};
}

TEST(JobPathTest, SplitsAtTheLastSeparator) {
  EXPECT_EQ(split("C:\\in\\*.xml"), std::make_pair(std::string("C:\\in"), std::string("*.xml")));
  EXPECT_EQ(split("C:/in/a.xml"), std::make_pair(std::string("C:/in"), std::string("a.xml")));
  EXPECT_EQ(split("/data/in\\sub/x?.txt"),
            std::make_pair(std::string("/data/in\\sub"), std::string("x?.txt")));
  EXPECT_EQ(split("*.xml"), std::make_pair(std::string("*.xml"), std::string("*.xml")));
  EXPECT_EQ(split("/a.xml"), std::make_pair(std::string("/a.xml"), std::string("/a.xml")));
  EXPECT_EQ(split(""), std::make_pair(std::string(""), std::string("")));
  EXPECT_EQ(split("/in/"), std::make_pair(std::string("/in"), std::string("")));
}

TEST(JobPathTest, ReceiverQueueOption) {
  char queue[kQueueNameSize] = "OLD";
  readReceiverQueue("-x 1 -y", queue);
  EXPECT_STREQ(queue, "OLD");
  readReceiverQueue("-rcvrqname Q1 -rcvrqname Q2", queue);
  EXPECT_STREQ(queue, "Q2");
  readReceiverQueue("-a \"-rcvrqname\" \"QUEUE ONE\" -b", queue);
  EXPECT_STREQ(queue, "QUEUE ONE");
  readReceiverQueue("-rcvrqname", queue);
  EXPECT_STREQ(queue, "");
  const std::string longName(60, 'L');
  readReceiverQueue(("-rcvrqname " + longName).c_str(), queue);
  EXPECT_EQ(std::string(queue), longName.substr(0, 48));
  readReceiverQueue("-RCVRQNAME Q3", queue);
  EXPECT_EQ(std::string(queue), longName.substr(0, 48));
}

TEST(JobPathTest, MaskMatchesWithoutRegardToCase) {
  EXPECT_TRUE(platform::matchesMask("Data.XML", "*.xml"));
  EXPECT_TRUE(platform::matchesMask("a1.txt", "a?.TXT"));
  EXPECT_FALSE(platform::matchesMask("a12.txt", "a?.txt"));
  EXPECT_TRUE(platform::matchesMask("noext", "*.*"));
  EXPECT_FALSE(platform::matchesMask("b.xml", "a*"));
}

class ScanTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(folder_.ok()); }
  TestFolder folder_{"qfeedscan"};
  const std::string& dir_ = folder_.path();
};

TEST_F(ScanTest, SearchesThatCannotStartAskForAReconnect) {
  EXPECT_EQ(ScanFolder(0, dir_.c_str(), "*.xml"), Turn::kReconnect);  // no match
  EXPECT_EQ(ScanFolder(0, (dir_ + "/missing").c_str(), "*"), Turn::kReconnect);
  EXPECT_NE(platform::lastError(), 0);
  std::ofstream(dir_ + "/file") << "x";
  EXPECT_EQ(ScanFolder(0, (dir_ + "/file").c_str(), "*"), Turn::kReconnect);  // a file
  const std::string longFolder = dir_ + "/" + std::string(300, 'd');
  EXPECT_EQ(ScanFolder(0, longFolder.c_str(), "*"), Turn::kReconnect);
  EXPECT_EQ(platform::lastError(), ENAMETOOLONG);
}

// Beneath the roots, a folder that has become a link leading out is never searched.
TEST_F(ScanTest, AFolderLinkLeadingOutOfTheRootsIsNeverSearched) {
#ifdef _WIN32
  GTEST_SKIP() << "a symbolic link to /etc";
#else
  std::filesystem::create_directory_symlink("/etc", dir_ + "/out");
  std::snprintf(LoadAgent.LoadSettings.SourceRoots, sizeof LoadAgent.LoadSettings.SourceRoots,
                "%s", dir_.c_str());
  EXPECT_EQ(ScanFolder(0, (dir_ + "/out").c_str(), "passwd"), Turn::kReconnect);
  EXPECT_EQ(platform::lastError(), EACCES);
  LoadAgent.LoadSettings.SourceRoots[0] = '\0';
#endif
}

TEST_F(ScanTest, FolderWithOnlyDirectoriesEndsTheJob) {
  ASSERT_TRUE(std::filesystem::create_directory(dir_ + "/sub.xml"));
  EXPECT_EQ(ScanFolder(0, dir_.c_str(), "*.xml"), Turn::kNext);
}

class RejectTest : public ScanTest {};

TEST_F(RejectTest, MovesIntoTheRejectFolderWithoutReplacingEarlierRejects) {
  std::snprintf(LoadAgent.LoadSettings.LogPath, kPathSize, "%s/log", dir_.c_str());
  LoadAgent.LoadSettings.RejectPath[0] = '\0';
  ASSERT_TRUE(std::filesystem::create_directory(dir_ + "/log"));
  char folder[kPathSize];
  rejectFolder(folder);
  const std::string rejected = dir_ + "/log" + platform::pathSeparator() + "rejected";
  EXPECT_EQ(std::string(folder), rejected);

  char movedTo[kPathSize];
  for (const char* content : {"first", "second"}) {
    std::ofstream(dir_ + "/a.xml") << content;
    ASSERT_TRUE(moveToRejectFolder((dir_ + "/a.xml").c_str(), "a.xml", movedTo));
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/a.xml"));
  }
  EXPECT_EQ(std::string(movedTo), rejected + platform::pathSeparator() + "a.xml.1");
  std::string first;
  std::ifstream(rejected + "/a.xml") >> first;
  EXPECT_EQ(first, "first");
}

TEST_F(RejectTest, FailedMoveLeavesTheFileInPlace) {
  std::ofstream(dir_ + "/blocker") << "a file, not a folder";
  std::snprintf(LoadAgent.LoadSettings.RejectPath, kPathSize, "%s/blocker/rejected", dir_.c_str());
  std::ofstream(dir_ + "/b.xml") << "keep me";
  char movedTo[kPathSize];
  EXPECT_FALSE(moveToRejectFolder((dir_ + "/b.xml").c_str(), "b.xml", movedTo));
  EXPECT_NE(platform::lastError(), 0);
  EXPECT_TRUE(std::filesystem::exists(dir_ + "/b.xml"));
  LoadAgent.LoadSettings.RejectPath[0] = '\0';
}

}  // namespace
