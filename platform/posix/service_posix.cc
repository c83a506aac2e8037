// The service control loop: a signal-driven dispatcher and sd_notify status reports.
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(QT_HAVE_SYSTEMD)
#include <systemd/sd-daemon.h>
#endif

#include "platform/platform.h"
#include "platform/posix_error.h"
#include "platform/service.h"

namespace platform {
namespace {

struct ControlSignal {
  int signal;
  uint32_t control;
  const char* name;
};

constexpr ControlSignal kControlSignals[] = {
    {SIGTERM, kServiceControlStop, "SIGTERM"},
    {SIGINT, kServiceControlStop, "SIGINT"},
    {SIGUSR1, kServiceControlPause, "SIGUSR1"},
    {SIGUSR2, kServiceControlContinue, "SIGUSR2"},
    {SIGHUP, kServiceControlInterrogate, "SIGHUP"},
    {SIGPWR, kServiceControlShutdown, "SIGPWR"},
};

// The one dispatcher of the process; the handler and the stop flag cross threads.
struct Dispatcher {
  std::atomic<bool> active{false};
  std::atomic<bool> stopped{false};
  std::atomic<ServiceCtrlHandler> handler{nullptr};
  ServiceMain serviceMain = nullptr;
  int argc = 0;
  char** argv = nullptr;
};

Dispatcher dispatcher;
std::atomic<bool> traceOn{false};
char statusHandleToken;
char desktopToken;

sigset_t controlSignalSet() {
  sigset_t set;
  sigemptyset(&set);
  for (const ControlSignal& entry : kControlSignals) sigaddset(&set, entry.signal);
  return set;
}

const ControlSignal* controlOf(int signal) {
  for (const ControlSignal& entry : kControlSignals) {
    if (entry.signal == signal) return &entry;
  }
  return nullptr;
}

void* runServiceMain(void*) {
  dispatcher.serviceMain(dispatcher.argc, dispatcher.argv);
  return nullptr;
}

bool startServiceThread() {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  int rc = pthread_create(&thread, &attr, runServiceMain, nullptr);
  pthread_attr_destroy(&attr);
  return rc == 0 || posix::fail(rc);
}

// Waits for control signals and hands them to the handler until the service has stopped.
// The short wait lets a stop reported by the service thread end the loop promptly.
void dispatchControls(const sigset_t& signals) {
  const timespec tick{0, 50 * 1000 * 1000};
  while (!dispatcher.stopped.load()) {
    siginfo_t info;
    const ControlSignal* entry = controlOf(sigtimedwait(&signals, &info, &tick));
    if (entry == nullptr) continue;
    ServiceCtrlHandler handler = dispatcher.handler.load();
    if (traceOn.load()) {
      std::fprintf(stderr, "service: %s gives control %u%s\n", entry->name, entry->control,
                   handler != nullptr ? "" : ", dropped (no handler yet)");
    }
    if (handler != nullptr) handler(entry->control);
  }
}

// Signals that came in after the stop are dropped, so that unblocking them cannot end the
// process.
void dropPendingControls(const sigset_t& signals) {
  const timespec now{0, 0};
  while (sigtimedwait(&signals, nullptr, &now) > 0) {
  }
}

const char* stateName(uint32_t state) {
  switch (state) {
    case kServiceStopped: return "Stopped";
    case kServiceStartPending: return "Starting";
    case kServiceStopPending: return "Stopping";
    case kServiceRunning: return "Running";
    case kServicePaused: return "Paused";
    default: return "Unknown";
  }
}

// Sends one notification to $NOTIFY_SOCKET; 0 when sent or when nobody listens.
int notifyServiceManager(const char* text) {
#if defined(QT_HAVE_SYSTEMD)
  int rc = sd_notify(0, text);
  return rc < 0 ? -rc : 0;
#else
  const char* path = std::getenv("NOTIFY_SOCKET");
  if (path == nullptr || path[0] == '\0') return 0;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  size_t length = std::strlen(path);
  if ((path[0] != '/' && path[0] != '@') || length >= sizeof address.sun_path) return EINVAL;
  std::memcpy(address.sun_path, path, length);
  if (path[0] == '@') address.sun_path[0] = '\0';  // an abstract socket
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  ssize_t sent = sendto(fd, text, std::strlen(text), MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&address), size);
  int rc = sent < 0 ? errno : 0;
  close(fd);
  return rc;
#endif
}

int notifyStatus(uint32_t state) {
  char text[96];
  const char* prefix = state == kServiceRunning ? "READY=1\n"
                       : state == kServiceStopped ? "STOPPING=1\n"
                                                  : "";
  std::snprintf(text, sizeof text, "%sSTATUS=%s", prefix, stateName(state));
  return notifyServiceManager(text);
}

}  // namespace

bool startServiceCtrlDispatcher(const ServiceTableEntry* table, int argc, char** argv) {
  if (table == nullptr || table[0].serviceMain == nullptr) return posix::fail(EINVAL);
  if (argc < 2 || argv[1] == nullptr || argv[1][0] == '\0') {
    std::fprintf(stderr, "usage: %s SERVICE-NAME [start parameters...]\n",
                 argc > 0 && argv[0] != nullptr ? argv[0] : "service");
    return posix::fail(EINVAL);
  }
  bool idle = false;
  if (!dispatcher.active.compare_exchange_strong(idle, true)) return posix::fail(EBUSY);
  dispatcher.stopped = false;
  dispatcher.handler = nullptr;
  dispatcher.serviceMain = table[0].serviceMain;
  dispatcher.argc = argc - 1;
  dispatcher.argv = argv + 1;

  sigset_t signals = controlSignalSet();
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &signals, &previous);
  bool started = startServiceThread();
  if (started) dispatchControls(signals);
  int error = lastError();
  dropPendingControls(signals);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  dispatcher.handler = nullptr;
  dispatcher.active = false;
  return started || posix::fail(error);
}

ServiceStatusHandle registerServiceCtrlHandler(const char* /*serviceName*/,
                                               ServiceCtrlHandler handler) {
  if (!dispatcher.active.load() || handler == nullptr) {
    posix::fail(EINVAL);
    return nullptr;
  }
  dispatcher.handler = handler;
  return &statusHandleToken;
}

bool setServiceStatus(ServiceStatusHandle handle, const ServiceStatus* status) {
  if (handle != &statusHandleToken || status == nullptr) return posix::fail(EINVAL);
  if (traceOn.load()) {
    std::fprintf(stderr, "service: status %u (%s), check point %u, wait hint %u\n",
                 status->currentState, stateName(status->currentState), status->checkPoint,
                 status->waitHint);
  }
  int rc = notifyStatus(status->currentState);
  if (status->currentState == kServiceStopped) dispatcher.stopped = true;
  return rc == 0 || posix::fail(rc);
}

void setServiceTrace(bool on) { traceOn = on; }

void* getDesktopWindow() { return &desktopToken; }

void exitThread(uint32_t /*code*/) { pthread_exit(nullptr); }

void exitProcess(uint32_t code) {
  std::fflush(nullptr);
  _exit(static_cast<int>(code));
}

}  // namespace platform
