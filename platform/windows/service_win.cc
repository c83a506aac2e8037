// The service control loop on Windows: the Service Control Manager's own dispatcher, handler
// and status reports. The control and state numbers of service.h are the system's.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/platform.h"
#include "platform/service.h"
#include "platform/windows/windows_error.h"

namespace platform {
namespace {

// The service of the process and its handler, for the system's calls, which take no context.
std::atomic<ServiceMain> serviceMain{nullptr};
std::atomic<ServiceCtrlHandler> serviceHandler{nullptr};
std::atomic<bool> traceOn{false};

// A stop that the handler reported. The Service Control Manager is told SERVICE_STOP_PENDING
// at once and SERVICE_STOPPED only when the service main's thread leaves: a handler that
// reports SERVICE_STOPPED itself races the dispatcher's return, and `sc stop` then fails now
// and then. The lock orders the handler's report against the service main's way out.
std::mutex stopLock;
bool stopPending = false;
bool serviceMainLeft = false;
SERVICE_STATUS_HANDLE stopHandle = nullptr;
SERVICE_STATUS stoppedStatus{};
thread_local bool onHandlerThread = false;
thread_local bool onServiceMainThread = false;

constexpr DWORD kStopWaitHintMs = 10000;

void trace(const SERVICE_STATUS& status) {
  if (!traceOn.load()) return;
  std::fprintf(stderr, "service: status %lu, check point %lu, wait hint %lu\n",
               status.dwCurrentState, status.dwCheckPoint, status.dwWaitHint);
}

bool report(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS status) {
  trace(status);
  return SetServiceStatus(handle, &status) || windows::failLastError();
}

// Keeps the handler's stop for the service main's way out and reports it pending; reports it
// at once when the service main has already left.
bool deferStop(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS& stopped) {
  std::lock_guard<std::mutex> guard(stopLock);
  if (serviceMainLeft) return report(handle, stopped);
  stopPending = true;
  stopHandle = handle;
  stoppedStatus = stopped;
  SERVICE_STATUS pending = stopped;
  pending.dwCurrentState = SERVICE_STOP_PENDING;
  pending.dwCheckPoint = 1;
  pending.dwWaitHint = kStopWaitHintMs;
  return report(handle, pending);
}

// The service main's thread is leaving (by return or by ExitThread): a stop that the handler
// reported is now reported as done.
void leaveServiceMain() {
  std::lock_guard<std::mutex> guard(stopLock);
  serviceMainLeft = true;
  if (!stopPending) return;
  stopPending = false;
  stoppedStatus.dwCheckPoint = 0;
  stoppedStatus.dwWaitHint = 0;
  report(stopHandle, stoppedStatus);
}

void WINAPI runServiceMain(DWORD argc, LPSTR* argv) {
  onServiceMainThread = true;
  ServiceMain main = serviceMain.load();
  if (main != nullptr) main(static_cast<int>(argc), argv);
  leaveServiceMain();
}

void WINAPI runHandler(DWORD control) {
  if (traceOn.load()) std::fprintf(stderr, "service: control %lu\n", control);
  ServiceCtrlHandler handler = serviceHandler.load();
  onHandlerThread = true;
  if (handler != nullptr) handler(control);
  onHandlerThread = false;
}

}  // namespace

bool startServiceCtrlDispatcher(const ServiceTableEntry* table, int, char**) {
  if (table == nullptr || table[0].serviceMain == nullptr) return windows::fail(ERROR_INVALID_PARAMETER);
  ServiceMain idle = nullptr;
  if (!serviceMain.compare_exchange_strong(idle, table[0].serviceMain))
    return windows::fail(ERROR_SERVICE_ALREADY_RUNNING);
  SERVICE_TABLE_ENTRYA entries[] = {{const_cast<char*>(table[0].serviceName), runServiceMain},
                                    {nullptr, nullptr}};
  // Returns once the service reported SERVICE_STOPPED; fails at once (1063) in a program that
  // the Service Control Manager did not start.
  const bool ran = StartServiceCtrlDispatcherA(entries);
  const DWORD code = GetLastError();
  serviceHandler = nullptr;
  serviceMain = nullptr;
  {
    std::lock_guard<std::mutex> guard(stopLock);
    stopPending = false;
    serviceMainLeft = false;
  }
  return ran || windows::fail(code);
}

ServiceStatusHandle registerServiceCtrlHandler(const char* serviceName,
                                               ServiceCtrlHandler handler) {
  if (serviceMain.load() == nullptr || handler == nullptr) {
    windows::fail(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  serviceHandler = handler;
  SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerA(serviceName, runHandler);
  if (handle == nullptr) windows::failLastError();
  return reinterpret_cast<ServiceStatusHandle>(handle);
}

bool setServiceStatus(ServiceStatusHandle handle, const ServiceStatus* status) {
  if (handle == nullptr || status == nullptr) return windows::fail(ERROR_INVALID_PARAMETER);
  SERVICE_STATUS system = {status->serviceType,      status->currentState,
                           status->controlsAccepted, status->win32ExitCode,
                           status->serviceSpecificExitCode, status->checkPoint,
                           status->waitHint};
  auto systemHandle = reinterpret_cast<SERVICE_STATUS_HANDLE>(handle);
  if (system.dwCurrentState == SERVICE_STOPPED && onHandlerThread)
    return deferStop(systemHandle, system);
  return report(systemHandle, system);
}

void setServiceTrace(bool on) {
  traceOn = on;
}

void* getDesktopWindow() {
  return GetDesktopWindow();
}

void exitThread(uint32_t code) {
  if (onServiceMainThread) leaveServiceMain();
  ExitThread(code);
}

void exitProcess(uint32_t code) {
  std::fflush(nullptr);
  std::_Exit(static_cast<int>(code));
}

}  // namespace platform
