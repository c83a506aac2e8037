// APPHOST from the outside: started on a parameters file (or start parameters) with a fake
// service manager socket, driven by signals, watched through the child's record file, the
// notifications and the debug stream.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/test_folder.h"
#include "tests/support/program.h"
#include "tests/support/test_data.h"

namespace {

using namespace std::chrono_literals;

using testsupport::readFile;

// Alive and not a zombie.
bool alive(pid_t pid) {
  std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  return close != std::string::npos && stat.size() > close + 2 && stat[close + 2] != 'Z';
}

class ApphostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder_.ok());
    for (const char* sub : {"/params", "/work", "/bin", "/events"}) {
      ASSERT_EQ(mkdir((root_ + sub).c_str(), 0755), 0);
    }
    ASSERT_EQ(symlink(CHILD_PATH, (root_ + "/bin/OS2.EXE").c_str()), 0);
    notify_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, (root_ + "/notify").c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(notify_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }

  void TearDown() override {
    apphost_.reset();
    for (pid_t pid : childPids()) kill(pid, SIGKILL);
    close(notify_);
  }

  void writeParameters(const std::string& text) {
    std::ofstream(root_ + "/params/svc.parameters") << text;
  }

  void start(const std::vector<std::string>& args) {
    testsupport::ProgramStart start;
    start.args = {"svc"};
    start.args.insert(start.args.end(), args.begin(), args.end());
    start.setEnv = {
        "QT_PARAMETERS_DIR=" + root_ + "/params", "NOTIFY_SOCKET=" + root_ + "/notify",
        "APPHOST_DEBUG=1", "APPHOST_CHILD_RECORD=" + record(), "QT_EVENT_DIR=" + root_ + "/events",
        "PATH=" + root_ + "/bin:/usr/bin:/bin", "CHILD_FOO=inherited"};
    start.inheritEnv = false;
    start.err = root_ + "/debug";
    start.append = true;
    apphost_ = std::make_unique<testsupport::Program>(APPHOST_PATH, start);
  }

  // True when the service manager hears `expected` within the time.
  bool heard(const std::string& expected, std::chrono::milliseconds limit = 10s) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      pollfd watch{notify_, POLLIN, 0};
      if (poll(&watch, 1, 100) <= 0) continue;
      char text[256];
      ssize_t got = recv(notify_, text, sizeof text, 0);
      if (got > 0) heardAll_ += std::string(text, static_cast<size_t>(got)) + "|";
      if (got > 0 && std::string(text, static_cast<size_t>(got)) == expected) return true;
    }
    ADD_FAILURE() << "not heard: " << expected << "; heard: " << heardAll_;
    return false;
  }

  // APPHOST's exit code, or -1 when it has not ended within the time.
  int exitCode(std::chrono::milliseconds limit = 10s) {
    return apphost_->waitExit(static_cast<int>(limit.count())).value_or(-1);
  }

  std::string record() const { return root_ + "/record"; }

  // The record once `count` children have written theirs.
  std::string awaitRecord(size_t count = 1) {
    for (int i = 0; i < 1000; ++i) {
      std::string text = readFile(record());
      size_t ready = 0;
      for (size_t at = text.find("ready\n"); at != std::string::npos; at = text.find("ready\n", at + 1)) {
        ++ready;
      }
      if (ready >= count) return text;
      std::this_thread::sleep_for(10ms);
    }
    return "no record: " + readFile(record());
  }

  std::vector<pid_t> childPids() {
    std::vector<pid_t> pids;
    std::istringstream lines(readFile(record()));
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("pid=", 0) == 0) pids.push_back(std::stoi(line.substr(4)));
    }
    return pids;
  }

  std::string debug() { return readFile(root_ + "/debug"); }

  TestFolder folder_{"apphost"};
  const std::string& root_ = folder_.path();
  int notify_ = -1;
  std::unique_ptr<testsupport::Program> apphost_;
  std::string heardAll_;
};

TEST_F(ApphostTest, RunsTheChildAcrossPauseAndContinueAndKillsItOnStop) {
  writeParameters(std::string("Application = ") + CHILD_PATH + "\n" +
                  "AppParameters = first \"two words\"\n"
                  "Os2AppParameters = never\n"
                  "AppDirectory = " + root_ + "/work\n");
  start({});
  ASSERT_TRUE(heard("READY=1\nSTATUS=Running"));
  std::string text = awaitRecord();
  EXPECT_NE(text.find("cwd=" + root_ + "/work\narg=first\narg=two words\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find("env CHILD_FOO=inherited"), std::string::npos) << text;
  ASSERT_EQ(childPids().size(), 1u);
  pid_t child = childPids()[0];

  apphost_->signal(SIGUSR1);
  EXPECT_TRUE(heard("STATUS=Paused"));
  EXPECT_TRUE(alive(child));
  apphost_->signal(SIGUSR2);
  EXPECT_TRUE(heard("READY=1\nSTATUS=Running"));
  EXPECT_TRUE(alive(child));
  apphost_->signal(SIGHUP);  // interrogate: the same status again
  EXPECT_TRUE(heard("READY=1\nSTATUS=Running"));
  apphost_->signal(SIGPWR);  // shutdown is not recognised and leaves the child alone
  EXPECT_TRUE(heard("READY=1\nSTATUS=Running"));
  EXPECT_TRUE(alive(child));

  apphost_->signal(SIGTERM);
  EXPECT_TRUE(heard("STOPPING=1\nSTATUS=Stopped"));
  EXPECT_EQ(exitCode(), 0);
  EXPECT_FALSE(alive(child));
  std::string messages = debug();
  for (const char* line : {" [APPHOST] MyServiceCtrlHandler received Opcode=2\n",
                           " [APPHOST] MyServiceCtrlHandler received Opcode=3\n",
                           " [APPHOST] MyServiceCtrlHandler received Opcode=4\n",
                           " [APPHOST] MyServiceCtrlHandler received Opcode=5\n",
                           " [APPHOST] Unrecognized opcode 5\n",
                           " [APPHOST] MyServiceCtrlHandler received Opcode=1\n"}) {
    EXPECT_NE(messages.find(line), std::string::npos) << line << messages;
  }
}

TEST_F(ApphostTest, WithNoApplicationAndNoShellReportsStoppedAtOnce) {
  writeParameters("# nothing to run\nAppParameters = x\n");
  start({});
  EXPECT_TRUE(heard("STOPPING=1\nSTATUS=Stopped", 5s));
  EXPECT_EQ(exitCode(5s), 1);  // a start that failed
  EXPECT_NE(debug().find(" [APPHOST] RegQueryValEx() failed rc = 2\n"), std::string::npos)
      << debug();
  EXPECT_EQ(heardAll_.find("READY=1"), std::string::npos);
}

TEST_F(ApphostTest, WithoutAParametersFileReportsStopped) {
  start({});
  EXPECT_TRUE(heard("STOPPING=1\nSTATUS=Stopped", 5s));
  EXPECT_EQ(exitCode(5s), 1);  // a start that failed
  EXPECT_NE(debug().find(" [APPHOST] RegOpenKeyEx() failed rc = 2\n"), std::string::npos);
}

TEST_F(ApphostTest, StartParametersNameTheProgramAndItsArguments) {
  writeParameters("Application = /nonexistent/never-read\n");
  start({"/D", root_ + "/work", CHILD_PATH, "a", "b c"});
  ASSERT_TRUE(heard("READY=1\nSTATUS=Running"));
  std::string text = awaitRecord();
  // Start parameters are joined with blanks, so "b c" arrives as two words.
  EXPECT_NE(text.find("cwd=" + root_ + "/work\narg=a\narg=b\narg=c\n"), std::string::npos)
      << text;
  pid_t child = childPids().at(0);
  apphost_->signal(SIGINT);
  EXPECT_TRUE(heard("STOPPING=1\nSTATUS=Stopped"));
  EXPECT_EQ(exitCode(), 0);
  EXPECT_FALSE(alive(child));
}

TEST_F(ApphostTest, TheEnvironmentBlockIsTheChildsWholeEnvironment) {
  writeParameters(std::string("Application = ") + CHILD_PATH + "\n" +
                  "AppEnvironment:multi = APPHOST_CHILD_RECORD=" + record() + "\n" +
                  "AppEnvironment:multi = CHILD_FOO=from the block\n");
  start({});
  ASSERT_TRUE(heard("READY=1\nSTATUS=Running"));
  std::string text = awaitRecord();
  EXPECT_NE(text.find("env CHILD_FOO=from the block\n"), std::string::npos) << text;
  EXPECT_NE(text.find("env QT_PARAMETERS_DIR=(unset)\n"), std::string::npos) << text;
  apphost_->signal(SIGTERM);
  EXPECT_EQ(exitCode(), 0);
}

TEST_F(ApphostTest, AnOs2ProgramRunsThroughTheSubsystemAndStopsByItsEvent) {
  writeParameters("Os2App = C:\\APPS\\OS2PROG.EXE\nOs2AppParameters = -x\n");
  start({});
  ASSERT_TRUE(heard("READY=1\nSTATUS=Running"));
  std::string text = awaitRecord();
  EXPECT_NE(text.find("arg=/S\narg=/P\narg=C:\\APPS\\OS2PROG.EXE\narg=/C\n"
                      "arg=C:\\APPS\\OS2PROG.EXE\narg=-x\n"),
            std::string::npos)
      << text;
  apphost_->signal(SIGTERM);
  EXPECT_TRUE(heard("STOPPING=1\nSTATUS=Stopped"));
  EXPECT_EQ(exitCode(), 0);
  for (int i = 0; i < 500 && readFile(record()).find("event\n") == std::string::npos; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_NE(readFile(record()).find("event\n"), std::string::npos);
  EXPECT_EQ(debug().find("failed"), std::string::npos) << debug();
}

TEST_F(ApphostTest, AChildThatEndsByItselfStopsTheServiceWithItsExitCode) {
  writeParameters(std::string("Application = ") + CHILD_PATH + "\n" +
                  "AppEnvironment:multi = APPHOST_CHILD_RECORD=" + record() + "\n" +
                  "AppEnvironment:multi = APPHOST_CHILD_EXIT=3\n");
  start({});
  EXPECT_TRUE(heard("STOPPING=1\nSTATUS=Stopped"));
  EXPECT_EQ(exitCode(), 3);
  EXPECT_NE(debug().find(" [APPHOST] Application ended, exit code 3\n"), std::string::npos)
      << debug();
}

TEST_F(ApphostTest, AProgramThatCannotStartReportsStopped) {
  writeParameters("Application = /nonexistent/program\n");
  start({});
  EXPECT_TRUE(heard("STOPPING=1\nSTATUS=Stopped", 5s));
  EXPECT_EQ(exitCode(5s), 1);  // a start that failed
  EXPECT_NE(debug().find(" [APPHOST] CreateProcess() failed, error 2\n"), std::string::npos)
      << debug();
}

TEST_F(ApphostTest, TheShellIsStartedFirstAndKeepsRunningWithoutAnApplication) {
  writeParameters("StartPMShell = yes\n");
  start({});
  std::string text = awaitRecord();
  EXPECT_NE(text.find("arg=C:\\OS2\\PMSHELL.EXE\narg=/C\n"), std::string::npos) << text;
  // After the shell's start-up wait of 5.5 s the service stops; the shell stays.
  EXPECT_TRUE(heard("STOPPING=1\nSTATUS=Stopped", 15s));
  EXPECT_EQ(exitCode(), 1);  // no application: the start failed
  EXPECT_TRUE(alive(childPids().at(0)));
}

}  // namespace
