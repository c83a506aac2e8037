// Lock bytes and shared wake-up words across open files, threads and processes; file
// identities and flushes of files that other code writes.
#include "platform/ipc.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/test_folder.h"

namespace platform {
namespace {

class IpcTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(folder_.ok()); }
  TestFolder folder_{"ipc-test"};
  const std::string& dir_ = folder_.path();
};

TEST_F(IpcTest, LockBytesBelongToTheOpenFileAndDieWithTheProcess) {
  LockFile a, b;
  ASSERT_TRUE(a.open(dir_ + "/locks"));
  ASSERT_TRUE(b.open(dir_ + "/locks"));
  ASSERT_TRUE(a.tryLock(3));
  EXPECT_FALSE(b.tryLock(3));  // same process, other open file: refused
  EXPECT_TRUE(b.isHeldElsewhere(3));
  EXPECT_FALSE(a.isHeldElsewhere(3));
  EXPECT_FALSE(b.isHeldElsewhere(4));
  a.close();
  EXPECT_FALSE(b.isHeldElsewhere(3));
#ifndef _WIN32  // a child that dies holding a byte: the conformance suite's peer on Windows
  pid_t pid = fork();
  if (pid == 0) {
    LockFile c;
    if (!c.open(dir_ + "/locks") || !c.tryLock(7)) _exit(1);
    raise(SIGKILL);
  }
  int status;
  waitpid(pid, &status, 0);
  EXPECT_FALSE(b.isHeldElsewhere(7));
#endif
}

#ifndef _WIN32  // Windows has no fork
TEST_F(IpcTest, ForkedChildDoesNotKeepParentLocksAlive) {
  LockFile a, probe;
  ASSERT_TRUE(a.open(dir_ + "/locks"));
  ASSERT_TRUE(probe.open(dir_ + "/locks"));
  ASSERT_TRUE(a.tryLock(1));
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t pid = fork();
  if (pid == 0) {
    a.abandon();  // its descriptor was closed at fork
    char c = 'x';
    if (write(ready[1], &c, 1) != 1) _exit(1);
    pause();
    _exit(0);
  }
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  a.close();  // the parent lets go; the child must not still hold the byte
  EXPECT_FALSE(probe.isHeldElsewhere(1));
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}
#endif

TEST_F(IpcTest, WakeWordWakesASleeper) {
  auto* word = static_cast<std::atomic<uint32_t>*>(mapSharedFile(dir_ + "/shared", 4096));
  ASSERT_NE(word, nullptr);
  uint32_t seen = word->load();
  std::thread waker([word] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    word->fetch_add(1);
    wakeWord(word);
  });
  auto start = std::chrono::steady_clock::now();
  while (word->load() == seen) waitOnWord(word, seen, 5000);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  waker.join();
  start = std::chrono::steady_clock::now();
  waitOnWord(word, word->load(), 30);  // times out
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(25));
  unmapSharedFile(word, 4096);
}

// Processes map the file at addresses of their own: a wake through one mapping reaches a
// sleeper on the same word of another, and a sleeper on another word sleeps on.
TEST_F(IpcTest, WakeWordReachesTheSameWordThroughAnotherMapping) {
  auto* first = static_cast<std::atomic<uint32_t>*>(mapSharedFile(dir_ + "/shared", 4096));
  auto* second = static_cast<std::atomic<uint32_t>*>(mapSharedFile(dir_ + "/shared", 4096));
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  ASSERT_NE(first, second);
  const uint32_t seen = second[8].load();
  std::thread waker([first] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    first[8].fetch_add(1);
    wakeWord(&first[8]);
  });
  auto start = std::chrono::steady_clock::now();
  while (second[8].load() == seen) waitOnWord(&second[8], seen, 5000);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  waker.join();
  wakeWord(&first[9]);
  start = std::chrono::steady_clock::now();
  waitOnWord(&second[8], second[8].load(), 30);  // the wake of word 9 is not for word 8
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(25));
  unmapSharedFile(second, 4096);
  unmapSharedFile(first, 4096);
}

TEST_F(IpcTest, IdentityAndFlushFollowTheFileNowAtThePath) {
  const std::string path = dir_ + "/log", alias = dir_ + "/alias", next = dir_ + "/next";
  std::ofstream(path) << "first";
  std::ofstream(next) << "second";
  FileIdentity first, named, replaced;
  ASSERT_TRUE(identifyFile(path, &first));
  std::filesystem::create_hard_link(path, alias);
  ASSERT_TRUE(identifyFile(alias, &named));
  EXPECT_EQ(named, first);
  EXPECT_TRUE(flushFileData(path));
  std::filesystem::rename(next, path);
  ASSERT_TRUE(identifyFile(path, &replaced));
  EXPECT_FALSE(replaced == first);  // the old file lives on as alias: its identity is its own
  EXPECT_TRUE(flushFileData(path));
  ASSERT_TRUE(std::filesystem::remove(path));
  EXPECT_FALSE(flushFileData(path));
  EXPECT_FALSE(identifyFile(path, &replaced));
}

}  // namespace
}  // namespace platform
