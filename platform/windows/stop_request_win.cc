// Stop requests as console control events that set an event one thread waits for.
#include <windows.h>

#include "platform/stop_request.h"

namespace platform {
namespace {

HANDLE stopEvent() {
  static HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);  // manual reset
  return event;
}

BOOL WINAPI takeControl(DWORD) {
  SetEvent(stopEvent());
  return TRUE;  // handled: the process is not ended at once
}

}  // namespace

void holdStopRequests() {
  stopEvent();
  SetConsoleCtrlHandler(takeControl, TRUE);
}

void waitForStopRequest() {
  WaitForSingleObject(stopEvent(), INFINITE);
}

}  // namespace platform
