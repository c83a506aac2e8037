#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "platform/confine.h"
#include "platform/folder.h"
#include "platform/platform.h"
#include "platform/publish.h"
#include "platform/test_file_size_limit.h"
#include "platform/test_folder.h"

namespace {

std::string contentOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

mode_t modeOf(const std::string& path) {
  struct stat info {};
  stat(path.c_str(), &info);
  return info.st_mode & 07777;
}

// A child process that opens a file (and optionally flocks it) and holds it until released.
class Holder {
 public:
  Holder(const std::string& path, int flags, bool lock) {
    int ready[2];
    EXPECT_EQ(pipe(ready), 0);
    EXPECT_EQ(pipe(release_), 0);
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      close(release_[1]);  // else the read below never sees the parent's end
      int fd = open(path.c_str(), flags);
      if (lock) flock(fd, LOCK_EX);
      char byte = fd >= 0 ? 'y' : 'n';
      (void)!write(ready[1], &byte, 1);
      (void)!read(release_[0], &byte, 1);  // until the parent writes or exits
      _exit(0);
    }
    close(ready[1]);
    close(release_[0]);
    char byte = 0;
    EXPECT_EQ(read(ready[0], &byte, 1), 1);
    EXPECT_EQ(byte, 'y');
    close(ready[0]);
  }
  ~Holder() {
    close(release_[1]);
    int status = 0;
    waitpid(pid_, &status, 0);
  }

 private:
  pid_t pid_ = -1;
  int release_[2] = {-1, -1};
};

// True when this file system grants write leases (else the flock alone guards files).
bool leasesWork(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY);
  bool granted = fcntl(fd, F_SETLEASE, F_WRLCK) == 0;
  if (granted) fcntl(fd, F_SETLEASE, F_UNLCK);
  close(fd);
  return granted;
}

class FilesTest : public testing::Test {
 protected:
  TestFolder folder_;
};

TEST_F(FilesTest, ExclusiveOpenRefusesAFileAnotherProgramHasOpen) {
  std::string path = folder_.write("busy.dat", "data");
  if (leasesWork(path)) {
    Holder writer(path, O_WRONLY, false);
    EXPECT_EQ(platform::openExclusiveForRead(path.c_str()), platform::kInvalidFile);
    EXPECT_EQ(platform::lastError(), EBUSY);
  }
  {
    Holder locker(path, O_RDONLY, true);
    EXPECT_EQ(platform::openExclusiveForRead(path.c_str()), platform::kInvalidFile);
    EXPECT_EQ(platform::lastError(), EBUSY);
  }
  platform::FileHandle file = platform::openExclusiveForRead(path.c_str());
  EXPECT_NE(file, platform::kInvalidFile);
  platform::closeFile(file);
}

TEST_F(FilesTest, ExclusiveOpenRefusesWhatIsNoRegularFile) {
  std::string fifo = folder_ / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
  EXPECT_EQ(platform::openExclusiveForRead(fifo.c_str()), platform::kInvalidFile);  // no hang
  EXPECT_EQ(platform::lastError(), EINVAL);
  EXPECT_EQ(platform::openExclusiveForRead(folder_.path().c_str()), platform::kInvalidFile);
  EXPECT_EQ(platform::openExclusiveForRead((folder_ / "none").c_str()), platform::kInvalidFile);
  EXPECT_EQ(platform::lastError(), ENOENT);
}

TEST_F(FilesTest, DeleteRemovesFilesAndLinksOnly) {
  std::string fifo = folder_ / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
  EXPECT_FALSE(platform::deleteFile(fifo.c_str()));
  EXPECT_EQ(platform::lastError(), EPERM);
  EXPECT_EQ(access(fifo.c_str(), F_OK), 0);
  std::string target = folder_.write("target", "kept");
  std::string link = folder_ / "link";
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  EXPECT_TRUE(platform::deleteFile(link.c_str()));
  EXPECT_EQ(contentOf(target), "kept");
}

TEST_F(FilesTest, CreatedFilesAreClosedOnExecAndFollowTheUmask) {
  std::string path = folder_ / "out.dat";
  platform::FileHandle file =
      platform::createForWrite(path.c_str(), platform::CreateMode::kCreateAlways);
  ASSERT_NE(file, platform::kInvalidFile);
  EXPECT_TRUE(platform::closeFile(file));
  EXPECT_NE(fcntl(static_cast<int>(file), F_GETFD), 0);  // closed, not leaked

  std::string fresh = folder_ / "fresh.dat";
  mode_t old = umask(022);
  file = platform::createForWrite(fresh.c_str(), platform::CreateMode::kCreateNew);
  umask(old);
  ASSERT_NE(file, platform::kInvalidFile);
  EXPECT_EQ(fcntl(static_cast<int>(file), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  platform::closeFile(file);
  EXPECT_EQ(modeOf(fresh), 0644u);
}

TEST_F(FilesTest, PublishingNeverOverwritesUnlessAskedAndNeverWritesThroughALink) {
  std::string outside = folder_.write("outside.txt", "not to be touched");
  std::string part = folder_ / ".part";
  std::string target = folder_ / "target.txt";
  platform::Folder folder;
  ASSERT_TRUE(folder.open("", folder_.path().c_str()));
  ASSERT_EQ(symlink(outside.c_str(), part.c_str()), 0);  // the leftover name is a link
  platform::FileHandle file = platform::createFresh(folder, ".part");
  ASSERT_NE(file, platform::kInvalidFile);
  EXPECT_TRUE(platform::writeFile(file, "whole", 5));
  unsigned char tag[3] = {1, 2, 3};
  bool tagged = platform::setFileTag(file, "qtransfer.test", tag, sizeof tag);
  platform::closeFile(file);
  EXPECT_EQ(contentOf(outside), "not to be touched");

  folder_.write("target.txt", "taken");
  EXPECT_FALSE(platform::publishFile(folder, ".part", "target.txt", false));
  EXPECT_TRUE(platform::isFileExists(platform::lastError()));
  EXPECT_EQ(contentOf(target), "taken");
  // Replacing a link replaces the link itself, never the file it points at.
  ASSERT_EQ(unlink(target.c_str()), 0);
  ASSERT_EQ(symlink(outside.c_str(), target.c_str()), 0);
  EXPECT_TRUE(platform::publishFile(folder, ".part", "target.txt", true));
  EXPECT_EQ(contentOf(target), "whole");
  EXPECT_EQ(contentOf(outside), "not to be touched");
  EXPECT_EQ(platform::pathKind(folder, "target.txt"), platform::PathKind::kRegularFile);
  EXPECT_EQ(platform::pathKind(folder, ".part"), platform::PathKind::kMissing);

  unsigned char read[8] = {};
  size_t got = 0;
  if (tagged) {  // the tag travels with the file
    ASSERT_TRUE(
        platform::readFileTag(folder, "target.txt", "qtransfer.test", read, sizeof read, &got));
    EXPECT_EQ(got, 3u);
    EXPECT_EQ(read[2], 3);
  }
  EXPECT_FALSE(
      platform::readFileTag(folder, "outside.txt", "qtransfer.test", read, sizeof read, &got));

  // The failpoint of a file system that keeps no tags.
  setenv("QT_PLATFORM_FAILPOINTS", "writeFile@999=5,setFileTag=95", 1);
  file = platform::createFresh(folder, ".part");
  EXPECT_FALSE(platform::setFileTag(file, "qtransfer.test", tag, sizeof tag));
  EXPECT_EQ(platform::lastError(), 95);
  unsetenv("QT_PLATFORM_FAILPOINTS");
  platform::closeFile(file);
}

// The race the open folder closes: the folder is checked and opened, then swapped for a link
// to somewhere else. Every call by name still acts on the folder that was opened.
TEST_F(FilesTest, AFolderSwappedForALinkAfterItsOpenChangesNothing) {
  const std::string root = folder_ / "root";
  const std::string outside = folder_ / "outside";
  ASSERT_EQ(mkdir(root.c_str(), 0777), 0);
  ASSERT_EQ(mkdir((root + "/in").c_str(), 0777), 0);
  ASSERT_EQ(mkdir(outside.c_str(), 0777), 0);
  folder_.write("root/in/load.dat", "inside");
  folder_.write("root/in/readonly.dat", "inside");
  chmod((root + "/in/readonly.dat").c_str(), 0444);
  folder_.write("outside/load.dat", "outside");
  folder_.write("outside/readonly.dat", "outside");
  chmod((outside + "/readonly.dat").c_str(), 0444);
  platform::Folder folder;
  ASSERT_TRUE(folder.open(root.c_str(), (root + "/in").c_str()));
  EXPECT_TRUE(folder.confined());

  ASSERT_EQ(rename((root + "/in").c_str(), (root + "/moved").c_str()), 0);
  ASSERT_EQ(symlink(outside.c_str(), (root + "/in").c_str()), 0);
  platform::FindData entry;
  platform::FindHandle search = platform::findFirstFileIn(folder, "load.*", &entry);
  ASSERT_NE(search, platform::kInvalidFind);
  EXPECT_STREQ(entry.name, "load.dat");
  platform::findClose(search);
  platform::FileHandle file = platform::openExclusiveForReadIn(folder, "load.dat");
  ASSERT_NE(file, platform::kInvalidFile);
  char text[16] = {};
  size_t got = 0;
  EXPECT_TRUE(platform::readFile(file, text, sizeof text, &got));
  EXPECT_STREQ(text, "inside");
  platform::closeFile(file);
  EXPECT_TRUE(platform::setReadOnlyIn(folder, "readonly.dat", false));
  EXPECT_EQ(modeOf(root + "/moved/readonly.dat"), 0644u);
  EXPECT_EQ(modeOf(outside + "/readonly.dat"), 0444u);
  file = platform::createFresh(folder, ".part");
  platform::closeFile(file);
  EXPECT_TRUE(platform::publishFile(folder, ".part", "new.dat", false));
  EXPECT_TRUE(platform::deleteFileIn(folder, "load.dat"));
  EXPECT_EQ(contentOf(outside + "/load.dat"), "outside");
  EXPECT_TRUE(std::ifstream(root + "/moved/new.dat").good());
  EXPECT_FALSE(std::ifstream(outside + "/new.dat").good());

  // Opened again by its path, the folder that now leads out is refused; without roots it is
  // opened wherever it leads. A link in a confined folder that leads out of it is not opened.
  EXPECT_FALSE(folder.open(root.c_str(), (root + "/in").c_str()));
  EXPECT_EQ(platform::lastError(), EACCES);
  EXPECT_FALSE(folder.isOpen());
  EXPECT_TRUE(folder.open("", (root + "/in").c_str()));
  EXPECT_FALSE(folder.confined());
  ASSERT_TRUE(folder.open((" ; " + root + "/").c_str(), root.c_str()));  // the root itself
  ASSERT_EQ(symlink((outside + "/load.dat").c_str(), (root + "/link.dat").c_str()), 0);
  EXPECT_EQ(platform::openExclusiveForReadIn(folder, "link.dat"), platform::kInvalidFile);
  EXPECT_TRUE(platform::isOutsideFolder(platform::lastError()));
  const mode_t linkedMode = modeOf(outside + "/load.dat");
  EXPECT_FALSE(platform::setReadOnlyIn(folder, "link.dat", true));
  EXPECT_EQ(modeOf(outside + "/load.dat"), linkedMode);
}

TEST_F(FilesTest, APathThroughARegularFileFailsWithANonZeroCode) {
  std::string file = folder_.write("plain", "x");
  std::string below = file + "/child";
  auto expectFailure = [](bool ok, const char* what) {
    EXPECT_FALSE(ok) << what;
    EXPECT_EQ(platform::lastError(), ENOTDIR) << what;
    EXPECT_FALSE(platform::errorText(platform::lastError()).empty()) << what;
  };
  platform::setLastError(0);
  expectFailure(platform::createDirectory(below.c_str()), "createDirectory");
  expectFailure(platform::createForWrite(below.c_str(), platform::CreateMode::kCreateAlways) !=
                    platform::kInvalidFile,
                "createForWrite");
  expectFailure(platform::openExclusiveForRead(below.c_str()) != platform::kInvalidFile,
                "openExclusiveForRead");
  expectFailure(platform::deleteFile(below.c_str()), "deleteFile");
  expectFailure(platform::renameFile(file.c_str(), below.c_str()), "renameFile");
  expectFailure(platform::setReadOnly(below.c_str(), true), "setReadOnly");
  expectFailure(platform::flushDirectory(below.c_str()), "flushDirectory");
}

// Past its first MiB a file's pieces are written by another thread: the bytes still arrive
// whole and in order, and a write that fails is reported by a later call on the file.
TEST_F(FilesTest, LargeFilesArriveWholeAndAWriteThatFailsIsReported) {
  std::string content;
  for (int i = 0; content.size() < (size_t{3} << 20); ++i) content += std::to_string(i) + ',';
  const std::string path = folder_.path() + "/large.dat";
  platform::FileHandle file =
      platform::createForWrite(path.c_str(), platform::CreateMode::kCreateAlways);
  ASSERT_NE(file, platform::kInvalidFile);
  for (size_t at = 0; at < content.size(); at += 24575)
    ASSERT_TRUE(platform::writeFile(file, content.data() + at,
                                    std::min<size_t>(24575, content.size() - at)));
  EXPECT_TRUE(platform::flushFile(file));
  EXPECT_TRUE(platform::closeFile(file));
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(in), {}) == content);

  // A limit of 2 MiB on the size of files makes the thread's writes fail past it.
  platform::FileSizeLimit limit(rlim_t{2} << 20);
  ASSERT_TRUE(limit.ok());
  file = platform::createForWrite(path.c_str(), platform::CreateMode::kCreateAlways);
  bool written = file != platform::kInvalidFile;
  for (size_t at = 0; written && at < content.size(); at += 24575)
    written = platform::writeFile(file, content.data() + at, 24575);
  bool flushed = written && platform::flushFile(file);
  bool closed = platform::closeFile(file);
  int error = platform::lastError();
  EXPECT_FALSE(written && flushed && closed);
  EXPECT_EQ(error, EFBIG);
}

TEST_F(FilesTest, TheReadOnlyAttributeIsTheWriteBits) {
  std::string path = folder_.write("ro.dat", "x");
  ASSERT_EQ(chmod(path.c_str(), 0664), 0);
  EXPECT_TRUE(platform::setReadOnly(path.c_str(), true));
  EXPECT_EQ(modeOf(path), 0444u);
  EXPECT_TRUE(platform::setReadOnly(path.c_str(), false));
  EXPECT_EQ(modeOf(path), 0644u);

  // The read-only bit of a link's target is never changed through the link.
  std::string target = folder_.write("target.dat", "x");
  chmod(target.c_str(), 0444);
  std::string link = folder_ / "link.dat";
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  EXPECT_FALSE(platform::setReadOnly(link.c_str(), false));
  EXPECT_EQ(modeOf(target), 0444u);
}

TEST_F(FilesTest, RootsAcceptOnlyPathsThatStayBeneathThem) {
  const std::string root = folder_ / "root";
  const std::string outside = folder_ / "outside";
  ASSERT_EQ(mkdir(root.c_str(), 0777), 0);
  ASSERT_EQ(mkdir(outside.c_str(), 0777), 0);
  ASSERT_EQ(mkdir((root + "/in").c_str(), 0777), 0);
  ASSERT_EQ(symlink(outside.c_str(), (root + "/out").c_str()), 0);
  ASSERT_EQ(symlink("in", (root + "/alias").c_str()), 0);
  ASSERT_EQ(symlink((outside + "/f").c_str(), (root + "/in/f").c_str()), 0);
  auto beneath = [&](const std::string& path, bool resolveLast = false) {
    return platform::isBeneath(root.c_str(), path.c_str(), resolveLast);
  };
  EXPECT_TRUE(beneath(root + "/in/file.txt"));
  EXPECT_TRUE(beneath(root + "/new/deeper/file.txt"));  // folders made later
  EXPECT_TRUE(beneath(root + "/alias/file.txt"));       // a link that stays inside
  EXPECT_TRUE(beneath(root + "/in/f"));                 // the last name is not followed...
  EXPECT_FALSE(beneath(root + "/in/f", true));          // ...unless asked
  EXPECT_FALSE(beneath(root + "/out/file.txt"));        // a linked folder outside
  EXPECT_FALSE(beneath(root + "/in/../../outside/x"));
  EXPECT_FALSE(beneath(root + "/.."));
  EXPECT_FALSE(beneath(outside + "/x"));
  EXPECT_FALSE(beneath(root + "x/file.txt"));  // a sibling that shares the prefix
  EXPECT_FALSE(beneath("root/in/file.txt"));   // relative
  EXPECT_FALSE(beneath(root));
  EXPECT_FALSE(beneath(root + "/"));

  const std::string roots = " " + outside + " ; " + root + "/ ";
  EXPECT_TRUE(platform::isWithinRoots(roots.c_str(), (root + "/in/x").c_str(), false));
  EXPECT_TRUE(platform::isWithinRoots(roots.c_str(), (outside + "/x").c_str(), false));
  EXPECT_FALSE(platform::isWithinRoots(roots.c_str(), "/etc/passwd", false));
  EXPECT_TRUE(platform::isWithinRoots(" ; ", "/etc/passwd", false));  // no roots: anywhere
}

TEST(ErrorsTest, TextsAreTheCLibrarysAndAFailureWithoutErrnoIsAnIoError) {
  EXPECT_EQ(platform::errorText(ENOENT), "No such file or directory\n");
  errno = 0;
  EXPECT_EQ(platform::recordSystemError(), EIO);
  errno = EACCES;
  EXPECT_EQ(platform::recordSystemError(), EACCES);
  EXPECT_EQ(platform::lastError(), EACCES);
}

TEST(SystemTest, PathsFromWindowsPeers) {
  char buffer[4096];
  ASSERT_TRUE(platform::getCurrentDirectory(buffer, sizeof buffer));
  EXPECT_EQ(buffer[0], '/');
  char tiny[2];
  EXPECT_FALSE(platform::getCurrentDirectory(tiny, sizeof tiny));
  EXPECT_EQ(platform::lastError(), ERANGE);
  EXPECT_TRUE(platform::isAbsolutePath("/etc/qfeed.ini"));
  EXPECT_FALSE(platform::isAbsolutePath("C:\\cfg\\a.ini"));
  EXPECT_TRUE(platform::namesForeignDrive("C:\\cfg"));
}

}  // namespace
