// The service control loop on Windows: the Service Control Manager's own dispatcher, handler
// and status reports. The control and state numbers of service.h are the system's.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"
#include "platform/service.h"
#include "platform/windows/windows_error.h"

namespace platform {
namespace {

// The service of the process and its handler, for the system's calls, which take no context.
std::atomic<ServiceMain> serviceMain{nullptr};
std::atomic<ServiceCtrlHandler> serviceHandler{nullptr};
std::atomic<bool> traceOn{false};

void WINAPI runServiceMain(DWORD argc, LPSTR* argv) {
  ServiceMain main = serviceMain.load();
  if (main != nullptr) main(static_cast<int>(argc), argv);
}

void WINAPI runHandler(DWORD control) {
  if (traceOn.load()) std::fprintf(stderr, "service: control %lu\n", control);
  ServiceCtrlHandler handler = serviceHandler.load();
  if (handler != nullptr) handler(control);
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
  if (traceOn.load()) {
    std::fprintf(stderr, "service: status %u, check point %u, wait hint %u\n",
                 status->currentState, status->checkPoint, status->waitHint);
  }
  SERVICE_STATUS system = {status->serviceType,      status->currentState,
                           status->controlsAccepted, status->win32ExitCode,
                           status->serviceSpecificExitCode, status->checkPoint,
                           status->waitHint};
  return SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle), &system) ||
         windows::failLastError();
}

void setServiceTrace(bool on) {
  traceOn = on;
}

void* getDesktopWindow() {
  return GetDesktopWindow();
}

void exitThread(uint32_t code) {
  ExitThread(code);
}

void exitProcess(uint32_t code) {
  std::fflush(nullptr);
  std::_Exit(static_cast<int>(code));
}

}  // namespace platform
