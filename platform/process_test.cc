#include "platform/process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "platform/test_folder.h"

namespace platform {
namespace {

using Words = std::vector<std::string>;

TEST(SplitCommandLine, FollowsTheWindowsRuntimeRules) {
  struct Case {
    const char* line;
    Words words;
  };
  const Case cases[] = {
      {"", {}},
      {" \t ", {}},
      {"prog", {"prog"}},
      {"  prog  a\tb  ", {"prog", "a", "b"}},
      {"\"C:\\Program Files\\app.exe\" x", {"C:\\Program Files\\app.exe", "x"}},
      {"C:\\a\\\"b c\"\\ x", {"C:\\a\\b c\\", "x"}},  // the name: no escapes, quotes group
      {"p \"a b c\" d e", {"p", "a b c", "d", "e"}},
      {"p \"ab\\\"c\" \"\\\\\" d", {"p", "ab\"c", "\\", "d"}},
      {"p a\\\\\\b d\"e f\"g h", {"p", "a\\\\\\b", "de fg", "h"}},
      {"p a\\\\\\\"b c d", {"p", "a\\\"b", "c", "d"}},
      {"p a\\\\\\\\\"b c\" d e", {"p", "a\\\\b c", "d", "e"}},
      {"p a\"b\"\" c d", {"p", "ab\" c d"}},
      {"p \"\"", {"p", ""}},
      {"p \"open to the end", {"p", "open to the end"}},
      {"p trailing\\", {"p", "trailing\\"}},
  };
  for (const Case& c : cases) EXPECT_EQ(splitCommandLine(c.line), c.words) << c.line;
}

class ProcessTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(folder_.ok()); }
  std::string out() const { return folder_ / "out"; }
  // The output file's text once it holds a line ending in "end".
  std::string awaitOutput() {
    for (int i = 0; i < 500; ++i) {
      std::ifstream in(out());
      std::stringstream text;
      text << in.rdbuf();
      if (text.str().find("end\n") != std::string::npos) return text.str();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return "timed out";
  }
  TestFolder folder_{"process"};
};

TEST_F(ProcessTest, ChildGetsItsWordsTheBlockAndASessionOfItsOwn) {
  setenv("QT_PROCESS_TEST", "inherited", 1);
  std::string line = "/bin/sh -c \"echo \\\"$0|$1|$FOO|$OTHER|${QT_PROCESS_TEST-unset}\\\" > " +
                     out() + "; echo end >> " + out() + "; exec sleep 60\" \"a b\" c";
  const char block[] = "FOO=bar\0OTHER=1\0";
  ProcessInformation info;
  ASSERT_TRUE(createProcess(line.c_str(), block, sizeof block, &info)) << lastError();
  unsetenv("QT_PROCESS_TEST");
  EXPECT_EQ(awaitOutput(), "a b|c|bar|1|unset\nend\n");
  pid_t pid = static_cast<pid_t>(info.process);
  EXPECT_EQ(info.processId, static_cast<uint32_t>(pid));
  EXPECT_EQ(getsid(pid), pid);   // leads a new session (no controlling terminal)
  EXPECT_EQ(getpgid(pid), pid);  // and a process group of its own
  EXPECT_TRUE(terminateProcess(info.process, 0));
}

TEST_F(ProcessTest, ChildInheritsTheEnvironmentWithoutABlock) {
  setenv("QT_PROCESS_TEST", "inherited", 1);
  std::string line = "/bin/sh -c \"echo $QT_PROCESS_TEST > " + out() + "; echo end >> " +
                     out() + "\"";
  ProcessInformation info;
  ASSERT_TRUE(createProcess(line.c_str(), nullptr, 0, &info));
  EXPECT_EQ(awaitOutput(), "inherited\nend\n");
  waitpid(static_cast<pid_t>(info.process), nullptr, 0);
  unsetenv("QT_PROCESS_TEST");
}

TEST_F(ProcessTest, TerminateKillsTheWholeGroup) {
  std::string line = "/bin/sh -c \"sleep 60 & echo $! > " + out() + "; echo end >> " + out() +
                     "; wait\"";
  ProcessInformation info;
  ASSERT_TRUE(createProcess(line.c_str(), nullptr, 0, &info));
  pid_t grandchild = static_cast<pid_t>(std::stol(awaitOutput()));
  ASSERT_TRUE(terminateProcess(info.process, 0));
  EXPECT_EQ(kill(static_cast<pid_t>(info.process), 0), -1) << "the child was collected";
  // The grandchild is not ours to collect; it must at least be dead (gone or a zombie).
  bool dead = false;
  for (int i = 0; i < 200 && !dead; ++i) {
    std::ifstream stat("/proc/" + std::to_string(grandchild) + "/stat");
    std::string fields;
    std::getline(stat, fields);
    size_t close = fields.rfind(')');
    dead = !stat || (close != std::string::npos && fields.substr(close + 2, 1) == "Z");
    if (!dead) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(dead);
}

TEST_F(ProcessTest, FailuresAreCleanAndReachNoOtherProcess) {
  ProcessInformation info;
  EXPECT_FALSE(createProcess("/nonexistent/program x", nullptr, 0, &info));
  EXPECT_EQ(lastError(), ENOENT);
  EXPECT_FALSE(createProcess("   ", nullptr, 0, &info));
  // A record that was never filled must not kill our own process group (kill(0) would).
  EXPECT_FALSE(terminateProcess(0, 0));
  EXPECT_EQ(lastError(), EINVAL);
  EXPECT_FALSE(terminateProcess(-1, 0));
  EXPECT_FALSE(setCurrentDirectory((out() + "/none").c_str()));
}

}  // namespace
}  // namespace platform
