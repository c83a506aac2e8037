// The service control loop, in the shape of the Windows service calls.
//
// Here a service runs in the foreground: `PROGRAM SERVICE-NAME [start parameters...]`. The
// dispatcher (the caller's thread) starts the service main on a thread of its own with the
// service name as argv[0] and the start parameters after it, and turns signals into controls
// for the handler that the service main registers; the handler runs on the dispatcher's
// thread. Signals and controls:
//
//   SIGTERM, SIGINT   kServiceControlStop
//   SIGUSR1           kServiceControlPause
//   SIGUSR2           kServiceControlContinue
//   SIGHUP            kServiceControlInterrogate
//   SIGPWR            kServiceControlShutdown
//
// A signal that arrives before a handler is registered is dropped. Status reports go to the
// system's service manager when it listens (the sd_notify protocol on $NOTIFY_SOCKET:
// running gives "READY=1", stopped "STOPPING=1", each with a STATUS= line), and, when the
// trace is on, as a line to standard error.
//
// Errors follow platform.h: a failing call returns false or null and leaves a code in
// lastError().
#ifndef QT_PLATFORM_SERVICE_H
#define QT_PLATFORM_SERVICE_H

#include <cstdint>

namespace platform {

constexpr uint32_t kServiceControlStop = 1;
constexpr uint32_t kServiceControlPause = 2;
constexpr uint32_t kServiceControlContinue = 3;
constexpr uint32_t kServiceControlInterrogate = 4;
constexpr uint32_t kServiceControlShutdown = 5;

constexpr uint32_t kServiceStopped = 1;
constexpr uint32_t kServiceStartPending = 2;
constexpr uint32_t kServiceStopPending = 3;
constexpr uint32_t kServiceRunning = 4;
constexpr uint32_t kServicePaused = 7;

struct ServiceStatus {
  uint32_t serviceType;
  uint32_t currentState;
  uint32_t controlsAccepted;
  uint32_t win32ExitCode;
  uint32_t serviceSpecificExitCode;
  uint32_t checkPoint;
  uint32_t waitHint;
};

using ServiceMain = void (*)(int argc, char** argv);
using ServiceCtrlHandler = void (*)(uint32_t opcode);
using ServiceStatusHandle = void*;

struct ServiceTableEntry {
  const char* serviceName;  // a table ends with an entry whose main is null
  ServiceMain serviceMain;
};

// Runs the first service of the table with the program's own command line (argv[1] is the
// service name). Returns true once the service has reported kServiceStopped; the service
// main's thread may still be running then. Fails at once (EINVAL, with a usage line on
// standard error) when there is no service name, and with EBUSY while another dispatcher
// runs in the process. The control signals are blocked on the calling thread (and so on the
// threads it starts) while the dispatcher runs.
bool startServiceCtrlDispatcher(const ServiceTableEntry* table, int argc, char** argv);

// Registers the handler of the running dispatcher; null (EINVAL) when there is none.
ServiceStatusHandle registerServiceCtrlHandler(const char* serviceName,
                                               ServiceCtrlHandler handler);

// Reports a status: to the service manager (fails with its error when the notification
// cannot be sent), to the trace, and, for kServiceStopped, to the dispatcher, which then
// returns. Safe to call from any thread. On Windows a kServiceStopped that the control handler
// reports goes to the Service Control Manager as SERVICE_STOP_PENDING, and as SERVICE_STOPPED
// once the service main's thread leaves (by return or exitThread).
bool setServiceStatus(ServiceStatusHandle handle, const ServiceStatus* status);

// Traces every control and status report to standard error (off by default).
void setServiceTrace(bool on);

// A token for the desktop window; never null here (there is no desktop to miss).
void* getDesktopWindow();

// Ends the calling thread (not the process).
[[noreturn]] void exitThread(uint32_t code);
// Ends the process at once with the code, after flushing the C streams; other threads are
// not waited for and no static objects are destroyed.
[[noreturn]] void exitProcess(uint32_t code);

}  // namespace platform

#endif  // QT_PLATFORM_SERVICE_H
