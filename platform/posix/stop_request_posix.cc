// Stop requests as blocked signals that one thread waits for.
#include <pthread.h>
#include <signal.h>

#include <csignal>

#include "platform/stop_request.h"

namespace platform {
namespace {

sigset_t stopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return signals;
}

}  // namespace

void holdStopRequests() {
  // Blocked before the program's threads start, so that they inherit the mask and only the
  // waiting thread takes the signal.
  const sigset_t signals = stopSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

void waitForStopRequest() {
  const sigset_t signals = stopSignals();
  int signal = 0;
  sigwait(&signals, &signal);
}

}  // namespace platform
