// The file calls as every system gives them; files_posix_test.cc holds what only POSIX has.
#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/folder.h"
#include "platform/identity.h"
#include "platform/platform.h"
#include "platform/publish.h"
#include "platform/test_folder.h"

namespace {

#ifdef _WIN32
constexpr int kInUse = 32;    // ERROR_SHARING_VIOLATION
constexpr int kNotFound = 2;  // ERROR_FILE_NOT_FOUND
#else
constexpr int kInUse = EBUSY;
constexpr int kNotFound = ENOENT;
#endif

std::string contentOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool isReadOnly(const std::string& path) {
  platform::FindData data{};
  platform::FindHandle search = platform::findFirstFile(path.c_str(), &data);
  EXPECT_NE(search, platform::kInvalidFind) << path;
  platform::findClose(search);
  return data.isReadOnly;
}

class FileCallsTest : public testing::Test {
 protected:
  TestFolder folder_;
};

TEST_F(FileCallsTest, ExclusiveOpenReadsAFileNobodyElseHolds) {
  std::string path = folder_.write("in.dat", std::string(70000, 'a') + "tail");
  platform::FileHandle file = platform::openExclusiveForRead(path.c_str());
  ASSERT_NE(file, platform::kInvalidFile);
  // While we hold it, a second exclusive open (another agent) is refused.
  EXPECT_EQ(platform::openExclusiveForRead(path.c_str()), platform::kInvalidFile);
  EXPECT_EQ(platform::lastError(), kInUse);
  EXPECT_FALSE(platform::errorText(platform::lastError()).empty());

  char buffer[24575];
  size_t got = 0;
  size_t total = 0;
  int pieces = 0;
  while (platform::readFile(file, buffer, sizeof buffer, &got) && got > 0) {
    total += got;
    ++pieces;
  }
  EXPECT_EQ(total, 70004u);
  EXPECT_EQ(pieces, 3);
  EXPECT_TRUE(platform::closeFile(file));
  file = platform::openExclusiveForRead(path.c_str());  // released by the close
  EXPECT_NE(file, platform::kInvalidFile);
  platform::closeFile(file);
}

TEST_F(FileCallsTest, CreateNewRefusesAnExistingFileAndCreateAlwaysReplacesIt) {
  std::string path = folder_.write("out.dat", "old content");
  EXPECT_EQ(platform::createForWrite(path.c_str(), platform::CreateMode::kCreateNew),
            platform::kInvalidFile);
  EXPECT_TRUE(platform::isFileExists(platform::lastError()));
  EXPECT_EQ(contentOf(path), "old content");

  platform::FileHandle file =
      platform::createForWrite(path.c_str(), platform::CreateMode::kCreateAlways);
  ASSERT_NE(file, platform::kInvalidFile);
  EXPECT_TRUE(platform::writeFile(file, "new", 3));
  EXPECT_TRUE(platform::flushFile(file));
  EXPECT_TRUE(platform::closeFile(file));
  EXPECT_EQ(contentOf(path), "new");
}

TEST_F(FileCallsTest, FoldersRenamesDeletesAndTheReadOnlyAttribute) {
  std::string dir = folder_ / "made";
  EXPECT_TRUE(platform::createDirectory(dir.c_str()));
  EXPECT_FALSE(platform::createDirectory(dir.c_str()));
  EXPECT_TRUE(platform::isAlreadyExists(platform::lastError()));
  EXPECT_TRUE(platform::flushDirectory(dir.c_str()));
  EXPECT_FALSE(platform::deleteFile(dir.c_str()));  // files only

  std::string path = folder_.write("ro.dat", "x");
  EXPECT_TRUE(platform::setReadOnly(path.c_str(), true));
  EXPECT_TRUE(isReadOnly(path));
  EXPECT_TRUE(platform::setReadOnly(path.c_str(), false));
  EXPECT_FALSE(isReadOnly(path));

  std::string moved = folder_.write("moved.dat", "replaced");
  EXPECT_TRUE(platform::renameFile(path.c_str(), moved.c_str()));
  EXPECT_EQ(contentOf(moved), "x");
  EXPECT_TRUE(platform::deleteFile(moved.c_str()));
  EXPECT_FALSE(platform::deleteFile(moved.c_str()));
  EXPECT_EQ(platform::lastError(), kNotFound);
  EXPECT_EQ(platform::openExclusiveForRead(moved.c_str()), platform::kInvalidFile);
  EXPECT_EQ(platform::lastError(), kNotFound);
}

// A confined folder opens at a root itself (a job's folder may be one), with a trailing
// separator too, and beneath it; a folder beside the roots is refused, even one whose name
// starts with a root's.
TEST_F(FileCallsTest, AConfinedFolderOpensAtItsRootAndBeneathItOnly) {
  folder_.makeFolder("root");
  folder_.makeFolder("root/in");
  folder_.makeFolder("beside");
  folder_.makeFolder("root2");
  const std::string root = folder_ / "root";
  const std::string roots = "  " + root + " ; " + (folder_ / "other");
  platform::Folder folder;
  ASSERT_TRUE(folder.open(roots.c_str(), root.c_str()));
  EXPECT_TRUE(folder.confined());
  EXPECT_TRUE(folder.open(roots.c_str(), (root + platform::pathSeparator()).c_str()));
  EXPECT_TRUE(folder.open(roots.c_str(), (folder_ / "root/in").c_str()));
  EXPECT_FALSE(folder.open(roots.c_str(), (folder_ / "beside").c_str()));
  EXPECT_FALSE(folder.isOpen());
  EXPECT_FALSE(folder.open(roots.c_str(), (folder_ / "root2").c_str()));
#ifdef _WIN32
  std::string shouted = root;  // names on Windows are the same in any case
  for (char& c : shouted) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  EXPECT_TRUE(folder.open(roots.c_str(), shouted.c_str()));
#endif
}

// A delivery appears under its final name in one step: without replacing, an existing file is
// never touched; with it, the new file takes the name. The identity tells the two apart.
TEST_F(FileCallsTest, PublishingReplacesOnlyWhenAskedAndTheIdentityTellsTheFilesApart) {
  const std::string target = folder_.write("target.txt", "old");
  folder_.makeFolder("sub");
  platform::Folder folder;
  ASSERT_TRUE(folder.open("", folder_.path().c_str()));
  platform::FileHandle file = platform::createFresh(folder, "fresh.tmp");
  ASSERT_NE(file, platform::kInvalidFile);
  ASSERT_TRUE(platform::writeFile(file, "new", 3));
  platform::FileVersion written{};
  ASSERT_TRUE(platform::identityOfFile(file, &written));
  ASSERT_TRUE(platform::closeFile(file));
  EXPECT_EQ(platform::pathKind(folder, "fresh.tmp"), platform::PathKind::kRegularFile);
  EXPECT_EQ(platform::pathKind(folder, "sub"), platform::PathKind::kDirectory);
  EXPECT_EQ(platform::pathKind(folder, "missing"), platform::PathKind::kMissing);

  platform::FileVersion before{}, after{};
  ASSERT_TRUE(platform::versionOf(folder, "target.txt", &before));
  EXPECT_FALSE(platform::publishFile(folder, "fresh.tmp", "target.txt", false));
  EXPECT_TRUE(platform::isFileExists(platform::lastError()));
  EXPECT_EQ(contentOf(target), "old");
  ASSERT_TRUE(platform::publishFile(folder, "fresh.tmp", "target.txt", true));
  EXPECT_EQ(contentOf(target), "new");
  EXPECT_EQ(platform::pathKind(folder, "fresh.tmp"), platform::PathKind::kMissing);
  ASSERT_TRUE(platform::versionOf(folder, "target.txt", &after));
  EXPECT_FALSE(after == before);
  EXPECT_EQ(after.inode, written.inode);
  EXPECT_EQ(after.size, 3u);
  EXPECT_FALSE(platform::versionOf(folder, "sub", &after));
  EXPECT_FALSE(platform::identityOfPath((folder_ / "sub").c_str(), &after));
}

TEST(ErrorsTest, TextsEndInALineFeedAndAFailureNeverLeavesCodeZero) {
  EXPECT_EQ(platform::errorText(0), "");
  EXPECT_EQ(platform::errorText(987654), "");
  const std::string text = platform::errorText(kNotFound);
  ASSERT_GT(text.size(), 1u);
  EXPECT_EQ(text.back(), '\n');
  errno = 0;
  EXPECT_GT(platform::recordSystemError(), 1);
  EXPECT_NE(platform::lastError(), 0);
}

TEST(SystemTest, TheCurrentDirectoryIsAbsoluteAndSeparatorsBecomeNative) {
  char buffer[4096];
  ASSERT_TRUE(platform::getCurrentDirectory(buffer, sizeof buffer));
  EXPECT_TRUE(platform::isAbsolutePath(buffer));
  char tiny[2];
  EXPECT_FALSE(platform::getCurrentDirectory(tiny, sizeof tiny));
  EXPECT_GT(platform::lastError(), 1);
  EXPECT_FALSE(platform::isAbsolutePath("cfg/qfeed.ini"));
  EXPECT_FALSE(platform::isAbsolutePath(nullptr));
#ifdef _WIN32
  EXPECT_TRUE(platform::isAbsolutePath("C:\\cfg\\qfeed.ini"));
  EXPECT_TRUE(platform::isAbsolutePath("\\\\server\\share\\qfeed.ini"));
  EXPECT_FALSE(platform::namesForeignDrive("C:\\cfg"));
#endif
  char path[] = "in/jobs\\a.xml";
  platform::toNativeSeparators(path);
  EXPECT_EQ(path[2], platform::pathSeparator());
  EXPECT_EQ(path[7], platform::pathSeparator());
}

}  // namespace
