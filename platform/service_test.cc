#include "platform/service.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/test_folder.h"

namespace platform {
namespace {

// A stand-in for the system's service manager: a datagram socket named by NOTIFY_SOCKET.
class FakeServiceManager {
 public:
  FakeServiceManager() {
    path_ = folder_ / "notify";
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    setenv("NOTIFY_SOCKET", path_.c_str(), 1);
  }
  ~FakeServiceManager() {
    unsetenv("NOTIFY_SOCKET");
    close(fd_);
  }
  std::string next(int timeoutMs = 5000) {
    pollfd watch{fd_, POLLIN, 0};
    if (poll(&watch, 1, timeoutMs) <= 0) return "nothing";
    char text[256];
    ssize_t got = recv(fd_, text, sizeof text, 0);
    return got < 0 ? "error" : std::string(text, static_cast<size_t>(got));
  }

 private:
  TestFolder folder_{"notify"};
  std::string path_;
  int fd_ = -1;
};

std::atomic<int> controlsSeen{0};
std::vector<uint32_t> controls;
ServiceStatusHandle handle = nullptr;

void report(uint32_t state) {
  ServiceStatus status{0x30, state, 7, 0, 0, 0, 0};
  setServiceStatus(handle, &status);
}

void recordingHandler(uint32_t control) {
  controls.push_back(control);
  if (control == kServiceControlStop) report(kServiceStopped);
  if (control == kServiceControlPause) report(kServicePaused);
  ++controlsSeen;
}

std::vector<std::string> mainArguments;
void recordingMain(int argc, char** argv) {
  mainArguments.assign(argv, argv + argc);
  handle = registerServiceCtrlHandler("MyService", recordingHandler);
  report(kServiceRunning);
}

void failingMain(int, char**) {
  handle = registerServiceCtrlHandler("MyService", recordingHandler);
  report(kServiceStopped);
}

TEST(ServiceDispatcher, TurnsSignalsIntoControlsOnItsOwnThread) {
  FakeServiceManager manager;
  controls.clear();
  controlsSeen = 0;
  std::vector<std::string> args = {"APPHOST", "svc", "/P", "app"};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  const ServiceTableEntry table[] = {{"MyService", recordingMain}, {nullptr, nullptr}};
  std::atomic<bool> returned{false};
  pthread_t dispatcherThread = 0;
  std::thread dispatcher([&] {
    dispatcherThread = pthread_self();
    EXPECT_TRUE(startServiceCtrlDispatcher(table, 4, argv.data()));
    returned = true;
  });
  EXPECT_EQ(manager.next(), "READY=1\nSTATUS=Running");
  EXPECT_EQ(mainArguments, (std::vector<std::string>{"svc", "/P", "app"}));
  int sent = 0;
  for (int signal : {SIGUSR1, SIGUSR2, SIGHUP, SIGPWR}) {
    pthread_kill(dispatcherThread, signal);
    ++sent;
    while (controlsSeen.load() < sent) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(manager.next(), "STATUS=Paused");
  EXPECT_FALSE(returned.load());
  pthread_kill(dispatcherThread, SIGTERM);
  EXPECT_EQ(manager.next(), "STOPPING=1\nSTATUS=Stopped");
  dispatcher.join();
  EXPECT_EQ(controls, (std::vector<uint32_t>{2, 3, 4, 5, 1}));
}

TEST(ServiceDispatcher, ReturnsWhenTheServiceMainReportsStopped) {
  FakeServiceManager manager;
  char name[] = "APPHOST", service[] = "svc";
  char* argv[] = {name, service, nullptr};
  const ServiceTableEntry table[] = {{"MyService", failingMain}, {nullptr, nullptr}};
  EXPECT_TRUE(startServiceCtrlDispatcher(table, 2, argv));
  EXPECT_EQ(manager.next(), "STOPPING=1\nSTATUS=Stopped");
}

TEST(ServiceDispatcher, RefusesToRunWithoutAServiceName) {
  char name[] = "APPHOST";
  char* argv[] = {name, nullptr};
  const ServiceTableEntry table[] = {{"MyService", failingMain}, {nullptr, nullptr}};
  EXPECT_FALSE(startServiceCtrlDispatcher(table, 1, argv));
  EXPECT_EQ(lastError(), EINVAL);
  EXPECT_EQ(registerServiceCtrlHandler("MyService", recordingHandler), nullptr);
  ServiceStatus status{};
  EXPECT_FALSE(setServiceStatus(nullptr, &status));
}

TEST(ServiceDispatcher, AFailedNotificationFailsTheReport) {
  setenv("NOTIFY_SOCKET", "/nonexistent/notify", 1);
  char name[] = "APPHOST", service[] = "svc";
  char* argv[] = {name, service, nullptr};
  static std::atomic<bool> reported{true};
  struct Main {
    static void run(int, char**) {
      handle = registerServiceCtrlHandler("MyService", recordingHandler);
      ServiceStatus status{0x30, kServiceStopped, 7, 0, 0, 0, 0};
      reported = setServiceStatus(handle, &status);
    }
  };
  const ServiceTableEntry table[] = {{"MyService", Main::run}, {nullptr, nullptr}};
  EXPECT_TRUE(startServiceCtrlDispatcher(table, 2, argv));
  EXPECT_FALSE(reported.load());
  unsetenv("NOTIFY_SOCKET");
}

}  // namespace
}  // namespace platform
