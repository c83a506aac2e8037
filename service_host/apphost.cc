// The service main and the control handler of APPHOST.
#include "service_host/apphost.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

#include "platform/event.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/service.h"
#include "service_host/debug_out.h"
#include "service_host/os2_detect.h"
#include "service_host/start_plan.h"

namespace {

constexpr uint32_t kServiceTypeOwnAndShare = 0x30;
constexpr uint32_t kControlsAccepted = 7;  // stop, pause and continue, shutdown
constexpr auto kShellStartWait = std::chrono::milliseconds(5500);

// State shared by the service main and the control handler. The lock makes sure that a
// stop either sees the child that is being started or keeps it from being started.
std::mutex stateLock;
platform::ServiceStatus serviceStatus{};
platform::ServiceStatusHandle statusHandle = nullptr;
platform::ProcessInformation child{};
bool os2Flag = false;
bool stopHandled = false;
uint32_t exitCode = 0;  // see ServiceExitCode

constexpr uint32_t kFailedStartExitCode = 1;

class RegistryParameters : public ParameterReader {
 public:
  long OpenKey(const char* keyName) override { return key_.open(keyName); }
  long QueryValue(const char* valueName, uint32_t* type, uint8_t* data, uint32_t* size) override {
    return key_.query(valueName, type, data, size);
  }
  void CloseKey() override { key_.close(); }

 private:
  platform::ParameterKey key_;
};

class HostActions : public StartActions {
 public:
  bool IsOs2App(const char* path) override { return ::IsOs2App(path); }
  void SetCurrentDirectory(const char* path) override { platform::setCurrentDirectory(path); }
};

// Reports the shared status; the caller holds the lock.
void reportStatus() {
  if (!platform::setServiceStatus(statusHandle, &serviceStatus)) {
    SvcDebugOut(" [APPHOST] SetServiceStatus error %ld\n",
                static_cast<uint32_t>(platform::lastError()));
  }
}

// The stop report that ends every failed start-up (unless a stop has been handled already).
void reportStopped() {
  std::lock_guard<std::mutex> guard(stateLock);
  if (stopHandled) return;
  exitCode = kFailedStartExitCode;
  serviceStatus.currentState = platform::kServiceStopped;
  serviceStatus.checkPoint = 0;
  serviceStatus.waitHint = 0;
  reportStatus();
}

// Starts one command line into the shared child record; false with the error when the start
// fails or when a stop has come first (then the error is 0 and nothing is started).
bool startChild(const char* commandLine, const StartPlan& plan, uint32_t* error) {
  std::lock_guard<std::mutex> guard(stateLock);
  *error = 0;
  if (stopHandled) return false;
  const char* block = plan.haveEnvironment ? plan.environment.data() : nullptr;
  platform::ProcessInformation started;
  if (!platform::createProcess(commandLine, block, plan.environment.size(), &started)) {
    *error = static_cast<uint32_t>(platform::lastError());
    return false;
  }
  child = started;
  return true;
}

// Starts the application and reports the service running; false when it could not start.
bool startApplication(const StartPlan& plan) {
  uint32_t error = E2BIG;
  if (!plan.commandLineTooLong && startChild(plan.commandLine, plan, &error)) {
    std::lock_guard<std::mutex> guard(stateLock);
    serviceStatus.currentState = platform::kServiceRunning;
    serviceStatus.checkPoint = 0;
    serviceStatus.waitHint = 0;
    reportStatus();
    return true;
  }
  if (error != 0) SvcDebugOut(" [APPHOST] CreateProcess() failed, error %ld\n", error);
  return false;
}

void endChildThroughEvent() {
  char name[32];
  std::snprintf(name, sizeof name, "OS2SSService-%d", static_cast<int>(child.processId));
  platform::EventHandle event = platform::openEvent(name);
  if (event == platform::kInvalidEvent) {
    SvcDebugOut(" [APPHOST] MyServiceCtrlHandler failed to open handle, error=%d\n",
                static_cast<uint32_t>(platform::lastError()));
    return;
  }
  // The handle stays open: the process ends right after the stop.
  if (!platform::setEvent(event)) {
    uint32_t error = static_cast<uint32_t>(platform::lastError());
    SvcDebugOut(" [APPHOST] MyServiceCtrlHandler failed to SetEvent(%x), ",
                static_cast<uint32_t>(event));
    SvcDebugOut("error=%d\n", error);
  }
}

// Waits for the child; when it ends by itself, the service stops with the child's exit code, so
// that a supervisor sees a failed child as a failed service.
void watchChild() {
  intptr_t process;
  {
    std::lock_guard<std::mutex> guard(stateLock);
    process = child.process;
  }
  uint32_t code = 0;
  if (!platform::waitForProcessEnd(process, &code)) return;
  std::lock_guard<std::mutex> guard(stateLock);
  if (stopHandled) return;  // the stop control ended it
  SvcDebugOut(" [APPHOST] Application ended, exit code %d\n", code);
  stopHandled = true;
  exitCode = code;
  serviceStatus.currentState = platform::kServiceStopped;
  serviceStatus.checkPoint = 0;
  serviceStatus.waitHint = 0;
  reportStatus();
}

// Ends the child on a stop; the caller holds the lock.
void endChild() {
  if (os2Flag) {
    endChildThroughEvent();
  } else if (!platform::terminateProcess(child.process, 0)) {
    SvcDebugOut(" [APPHOST] MyServiceCtrlHandler failed to terminate process, error=%d\n",
                static_cast<uint32_t>(platform::lastError()));
  }
}

}  // namespace

void MyServiceStart(int argc, char** argv) {
  if (platform::getDesktopWindow() == nullptr) {
    SvcDebugOut(" [APPHOST] MyServiceStart: GetDesktopWindow call failed %d\n",
                static_cast<uint32_t>(platform::lastError()));
  }
  {
    std::lock_guard<std::mutex> guard(stateLock);
    serviceStatus = {
        kServiceTypeOwnAndShare, platform::kServiceRunning, kControlsAccepted, 0, 0, 0, 0};
  }
  platform::ServiceStatusHandle handle =
      platform::registerServiceCtrlHandler("MyService", MyServiceCtrlHandler);
  if (handle == nullptr) {
    SvcDebugOut(" [APPHOST] RegisterServiceCtrlHandler failed %d\n",
                static_cast<uint32_t>(platform::lastError()));
    // Without a handle no status can be reported; the stop report fails like every other.
  }
  {
    std::lock_guard<std::mutex> guard(stateLock);
    statusHandle = handle;
  }
  if (handle == nullptr) return reportStopped();

  StartPlan plan;
  RegistryParameters registry;
  HostActions actions;
  PlanResult planned = PlanServiceStart(argc, argv, registry, actions, &plan);
  {
    std::lock_guard<std::mutex> guard(stateLock);
    os2Flag = plan.os2;
  }
  if (planned == PlanResult::kStop) return reportStopped();

  if (plan.startShell) {
    uint32_t error = 0;
    if (!startChild(kShellCommandLine, plan, &error)) {
      if (error != 0) SvcDebugOut(" [APPHOST] CreateProcess(PMShell) failed, error %ld\n", error);
      return reportStopped();
    }
    std::this_thread::sleep_for(kShellStartWait);
  }
  if (!plan.haveApplication || !startApplication(plan)) return reportStopped();
  plan.environment.clear();
  plan.environment.shrink_to_fit();
  watchChild();
  platform::exitThread(0);
}

void MyServiceCtrlHandler(uint32_t opcode) {
  SvcDebugOut(" [APPHOST] MyServiceCtrlHandler received Opcode=%x\n", opcode);
  std::lock_guard<std::mutex> guard(stateLock);
  switch (opcode) {
    case platform::kServiceControlStop:
      if (stopHandled) break;  // the child has ended by itself
      endChild();
      stopHandled = true;
      serviceStatus.win32ExitCode = 0;
      serviceStatus.currentState = platform::kServiceStopped;
      serviceStatus.checkPoint = 1;
      serviceStatus.waitHint = 0;
      break;
    case platform::kServiceControlPause:
      serviceStatus.currentState = platform::kServicePaused;
      break;
    case platform::kServiceControlContinue:
      serviceStatus.currentState = platform::kServiceRunning;
      break;
    case platform::kServiceControlInterrogate:
      break;
    default:
      SvcDebugOut(" [APPHOST] Unrecognized opcode %ld\n", opcode);
      break;
  }
  reportStatus();
}

uint32_t ServiceExitCode() {
  std::lock_guard<std::mutex> guard(stateLock);
  return exitCode;
}
