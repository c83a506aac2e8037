#include "delivery_agent/target_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "common/log.h"
#include "delivery_agent/delivery.h"
#include "platform/test_environment.h"
#include "platform/test_folder.h"

namespace {

namespace fs = std::filesystem;

class TargetFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testFolder.ok());
    delivery = Delivery{};
    delivery.file = platform::kInvalidFile;
    delivery.msgId = msgId;
  }
  void TearDown() override {
    if (delivery.file != platform::kInvalidFile) platform::closeFile(delivery.file);
  }
  void SetPath(const std::string& path) {
    std::snprintf(delivery.path, sizeof delivery.path, "%s", path.c_str());
  }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
  }
  bool Open(platform::CreateMode mode) {
    VersionPattern pattern;
    MakeVersionPattern(delivery.path, pattern);
    return OpenTargetFile(delivery, mode, pattern);
  }
  size_t FolderEntries() const {
    return static_cast<size_t>(std::distance(fs::directory_iterator(folder), {}));
  }
  void WriteAndClose(const std::string& content) {
    ASSERT_TRUE(platform::writeFile(delivery.file, content.data(), content.size()));
    delivery.written = content.size();
    ASSERT_TRUE(FlushTargetFile(delivery));
    ASSERT_TRUE(platform::closeFile(delivery.file));
    delivery.file = platform::kInvalidFile;
  }

  TestFolder testFolder{"qdrop-unit"};
  const std::string& folder = testFolder.path();
  MQBYTE24 msgId = {'m', 's', 'g'};
  Delivery delivery;
};

TEST_F(TargetFileTest, CreatesEveryMissingDirectoryTopDown) {
  SetPath(folder + "/a/b//c/file.txt");
  ASSERT_TRUE(CreateTargetDirectories(delivery));
  EXPECT_TRUE(fs::is_directory(folder + "/a/b/c"));
  EXPECT_EQ(delivery.firstCreatedDirectory, folder.size() + 2);  // "<folder>/a" came first
  EXPECT_FALSE(fs::exists(folder + "/a/b/c/file.txt"));
  ASSERT_TRUE(Open(platform::CreateMode::kCreateNew));
  WriteAndClose("x");  // flushes the new directories' entries too

  // Existing directories are fine, and nothing is new this time.
  ASSERT_TRUE(CreateTargetDirectories(delivery));
  EXPECT_EQ(delivery.firstCreatedDirectory, 0u);
}

TEST_F(TargetFileTest, APathComponentThatIsAFileFailsTheDirectories) {
  std::ofstream(folder + "/plain") << "x";
  SetPath(folder + "/plain/sub/file.txt");
  EXPECT_FALSE(CreateTargetDirectories(delivery));
  EXPECT_NE(lastErrorText()[0], '\0');
  EXPECT_EQ(lastErrorText()[std::strlen(lastErrorText()) - 1], '\n');
  // Directly below the file, the directories pass and the open fails instead.
  SetPath(folder + "/plain/file.txt");
  EXPECT_TRUE(CreateTargetDirectories(delivery));
  EXPECT_FALSE(Open(platform::CreateMode::kCreateAlways));
}

TEST_F(TargetFileTest, NewversPicksTheFirstFreeVersionName) {
  SetPath(folder + "/report.xml");
  ASSERT_TRUE(Open(platform::CreateMode::kCreateNew));
  WriteAndClose("first");
  EXPECT_EQ(std::string(delivery.path), folder + "/report.xml");

  msgId[0] = 'n';
  SetPath(folder + "/report.xml");
  ASSERT_TRUE(Open(platform::CreateMode::kCreateNew));
  WriteAndClose("second");
  EXPECT_EQ(std::string(delivery.path), folder + "/report_0.xml");

  // A name taken while the file was written: the next version, the other file untouched.
  msgId[0] = 'o';
  SetPath(folder + "/report.xml");
  ASSERT_TRUE(Open(platform::CreateMode::kCreateNew));
  EXPECT_EQ(std::string(delivery.path), folder + "/report_1.xml");
  std::ofstream(folder + "/report_1.xml") << "someone else's";
  WriteAndClose("third");
  EXPECT_EQ(std::string(delivery.path), folder + "/report_2.xml");
  EXPECT_EQ(Read(folder + "/report.xml"), "first");
  EXPECT_EQ(Read(folder + "/report_0.xml"), "second");
  EXPECT_EQ(Read(folder + "/report_1.xml"), "someone else's");
  EXPECT_EQ(Read(folder + "/report_2.xml"), "third");
  EXPECT_EQ(FolderEntries(), 4u);  // no private name left behind
}

TEST_F(TargetFileTest, ReplaceKeepsTheOldFileWholeUntilTheNewOneIsComplete) {
  std::ofstream(folder + "/data.bin") << "an old and longer content";
  fs::permissions(folder + "/data.bin", fs::perms::owner_read | fs::perms::owner_write);
  SetPath(folder + "/data.bin");
  ASSERT_TRUE(Open(platform::CreateMode::kCreateAlways));
  ASSERT_TRUE(platform::writeFile(delivery.file, "new", 3));
  EXPECT_EQ(Read(folder + "/data.bin"), "an old and longer content");
  ASSERT_TRUE(FlushTargetFile(delivery));
  EXPECT_EQ(std::string(delivery.path), folder + "/data.bin");
  EXPECT_EQ(Read(folder + "/data.bin"), "new");
  EXPECT_EQ(fs::status(folder + "/data.bin").permissions(),
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_FALSE(fs::exists(folder + "/data_0.bin"));
  EXPECT_EQ(FolderEntries(), 1u);

  // A folder under the target's name fails the open, as it always did.
  fs::create_directory(folder + "/folder.bin");
  SetPath(folder + "/folder.bin");
  EXPECT_FALSE(Open(platform::CreateMode::kCreateAlways));
  EXPECT_EQ(platform::lastError(), EISDIR);
}

TEST_F(TargetFileTest, AFileAlreadyPublishedByTheSameMessagesIsNotWrittenAgain) {
  // With the delivery tag; then on a file system that keeps no tags, where the folder's journal
  // recognises the file instead.
  for (const char* failpoints : {"", "setFileTag=95"}) {
    setenv("QT_PLATFORM_FAILPOINTS", failpoints, 1);
    for (auto mode : {platform::CreateMode::kCreateNew, platform::CreateMode::kCreateAlways}) {
      SCOPED_TRACE(std::string(mode == platform::CreateMode::kCreateNew ? "NEWVERS " : "REPLACE ") +
                   failpoints);
      fs::remove_all(folder + "/out");
      fs::create_directory(folder + "/out");
      std::ofstream(folder + "/out/a.txt") << "older";
      msgId[0] = 'x';
      SetPath(folder + "/out/a.txt");
      ASSERT_TRUE(Open(mode));
      WriteAndClose("content");
      const std::string published = delivery.path;

      // The crash came before the commit: the same messages again, and a leftover private name.
      std::ofstream(delivery.partPath) << "cont";
      SetPath(folder + "/out/a.txt");
      ASSERT_TRUE(Open(mode));
      EXPECT_TRUE(delivery.alreadyPublished);
      EXPECT_EQ(std::string(delivery.path), published);
      EXPECT_EQ(delivery.file, platform::kInvalidFile);
      EXPECT_TRUE(FlushTargetFile(delivery));
      EXPECT_FALSE(fs::exists(delivery.partPath));

      // Other messages, or the same file changed since, are a new delivery.
      std::ofstream(published, std::ios::app) << "!";
      SetPath(folder + "/out/a.txt");
      ASSERT_TRUE(Open(mode));
      EXPECT_FALSE(delivery.alreadyPublished);
    }
  }
  unsetenv("QT_PLATFORM_FAILPOINTS");
}

TEST_F(TargetFileTest, TheJournalFindsAFileWhoseNameDependsOnTheTime) {
  fs::create_directory(folder + "/out");
  msgId[0] = 't';
  delivery.timeInPath = true;
  SetPath(folder + "/out/at-0900.txt");
  ASSERT_TRUE(Open(platform::CreateMode::kCreateNew));
  WriteAndClose("stamped");
  // The crash came before the commit; the template now expands to another time.
  SetPath(folder + "/out/at-0901.txt");
  ASSERT_TRUE(Open(platform::CreateMode::kCreateNew));
  EXPECT_TRUE(delivery.alreadyPublished);
  EXPECT_EQ(std::string(delivery.path), folder + "/out/at-0900.txt");
  EXPECT_FALSE(fs::exists(folder + "/out/at-0901.txt"));

  // A record whose publish never happened (the crash came between the two) finds no file of
  // its own under the name and is passed over; the journal keeps only the newest records.
  for (int i = 0; i < 70; ++i) {
    msgId[1] = static_cast<MQBYTE>(i + 1);
    SetPath(folder + "/out/many.txt");
    ASSERT_TRUE(Open(platform::CreateMode::kCreateNew));
    WriteAndClose(std::to_string(i));
  }
  EXPECT_LE(fs::file_size(folder + "/out/.qdrop-journal"), 64u * 348u);
  // The last one, many_68.txt, is swapped for another file of the same size.
  fs::rename(folder + "/out/many_68.txt", folder + "/out/kept.txt");
  std::ofstream(folder + "/out/many_68.txt") << "xx";
  SetPath(folder + "/out/many.txt");
  ASSERT_TRUE(Open(platform::CreateMode::kCreateNew));
  EXPECT_FALSE(delivery.alreadyPublished);
  platform::closeFile(delivery.file);
  delivery.file = platform::kInvalidFile;
  msgId[1] = 69;
  SetPath(folder + "/out/many.txt");
  ASSERT_TRUE(Open(platform::CreateMode::kCreateNew));
  EXPECT_TRUE(delivery.alreadyPublished);
  EXPECT_EQ(std::string(delivery.path), folder + "/out/many_67.txt");
}

// The folder is checked and opened beneath the roots once; swapping it for a link to a folder
// elsewhere after that changes nothing, and before that is refused.
TEST_F(TargetFileTest, AFolderSwappedForALinkNeverTakesTheFileOutOfTheRoots) {
  fs::create_directories(folder + "/root/in");
  fs::create_directory(folder + "/elsewhere");
  std::snprintf(DeliveryAgent.Settings.TargetRoots, sizeof DeliveryAgent.Settings.TargetRoots, "%s",
                (folder + "/root").c_str());
  SetPath(folder + "/root/in/a.txt");
  ASSERT_TRUE(TargetWithinRoots(delivery));
  ASSERT_TRUE(Open(platform::CreateMode::kCreateAlways));
  fs::rename(folder + "/root/in", folder + "/root/moved");
  fs::create_directory_symlink(folder + "/elsewhere", folder + "/root/in");
  WriteAndClose("inside");
  EXPECT_EQ(Read(folder + "/root/moved/a.txt"), "inside");
  EXPECT_TRUE(fs::is_empty(folder + "/elsewhere"));

  SetPath(folder + "/root/in/b.txt");
  EXPECT_FALSE(Open(platform::CreateMode::kCreateAlways));
  EXPECT_EQ(platform::lastError(), EACCES);
  DeliveryAgent.Settings.TargetRoots[0] = '\0';
  EXPECT_TRUE(fs::is_empty(folder + "/elsewhere"));
}

TEST(CreateModeTest, OnlyTheExactNamesAreValid) {
  platform::CreateMode mode;
  ASSERT_TRUE(SelectCreateMode("REPLACE", &mode));
  EXPECT_EQ(mode, platform::CreateMode::kCreateAlways);
  ASSERT_TRUE(SelectCreateMode("NEWVERS", &mode));
  EXPECT_EQ(mode, platform::CreateMode::kCreateNew);
  EXPECT_FALSE(SelectCreateMode("replace", &mode));
  EXPECT_FALSE(SelectCreateMode("", &mode));
  EXPECT_FALSE(SelectCreateMode("NEWVERS2", &mode));
  EXPECT_FALSE(SelectCreateMode(" REPLACE", &mode));
}

TEST(CreateModeTest, TakenFromTgtCrtmodWithoutTrailingBlanks) {
  TGTDESC header;
  initTGTDESC(header);
  Delivery delivery{};
  delivery.header = &header;
  SetCreateFileMode(delivery);
  EXPECT_STREQ(delivery.createFileMode, "");
  header.Tgt_crtmod.assign("REPLACE");
  SetCreateFileMode(delivery);
  EXPECT_STREQ(delivery.createFileMode, "REPLACE");
  header.Tgt_crtmod.assign("NEWVERSXY");
  SetCreateFileMode(delivery);
  EXPECT_STREQ(delivery.createFileMode, "NEWVERSXY");
}

TEST(CreateModeDeathTest, AnInvalidModeEndsTheProcessWithItsOwnExitCode) {
  TGTDESC header;
  initTGTDESC(header);
  header.Tgt_crtmod.assign("replace");
  Delivery delivery{};
  delivery.header = &header;
  SetCreateFileMode(delivery);
  EXPECT_EXIT(RejectCreateFileMode(delivery), ::testing::ExitedWithCode(kExitBadHeader),
              "Parameter CreateFileMode = replace invalid.\n.* Valid values for this "
              "parameter:  NEWVERS,REPLACE. exit.\n");
}

}  // namespace
