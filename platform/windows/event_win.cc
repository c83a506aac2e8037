// Named events on Windows: the system's own event objects, by the name as given (a "Global\"
// prefix reaches the programs of other sessions, such as a service).
#include <windows.h>

#include <cstring>

#include "platform/event.h"
#include "platform/windows/windows_error.h"

namespace platform {
namespace {

EventHandle handleOrFailure(HANDLE event) {
  if (event == nullptr) {
    windows::failLastError();
    return kInvalidEvent;
  }
  return reinterpret_cast<EventHandle>(event);
}

HANDLE handleOf(EventHandle event) {
  return reinterpret_cast<HANDLE>(event);
}

}  // namespace

std::string eventFolder() {
  return std::string();  // event objects live in the system's object namespace
}

EventHandle openEvent(const char* name) {
  if (!isValidEventName(name)) {
    windows::fail(ERROR_INVALID_NAME);
    return kInvalidEvent;
  }
  // Fails with ERROR_FILE_NOT_FOUND when nobody offers the event.
  return handleOrFailure(OpenEventA(EVENT_MODIFY_STATE, FALSE, name));
}

bool setEvent(EventHandle event) {
  if (event == kInvalidEvent) return windows::fail(ERROR_INVALID_HANDLE);
  return SetEvent(handleOf(event)) || windows::failLastError();
}

EventHandle createEvent(const char* name) {
  if (!isValidEventName(name)) {
    windows::fail(ERROR_INVALID_NAME);
    return kInvalidEvent;
  }
  // Auto-reset: a wait that sees the event set consumes it, as reading the FIFO does.
  return handleOrFailure(CreateEventA(nullptr, FALSE, FALSE, name));
}

bool waitEvent(EventHandle event, int timeoutMs) {
  if (event == kInvalidEvent) return windows::fail(ERROR_INVALID_HANDLE);
  const DWORD waited =
      WaitForSingleObject(handleOf(event), timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
  if (waited == WAIT_OBJECT_0) return true;
  return waited == WAIT_TIMEOUT ? windows::fail(ERROR_TIMEOUT) : windows::failLastError();
}

bool removeEvent(const char* name) {
  // An event object goes with the last handle to it: there is no name to remove.
  return isValidEventName(name) || windows::fail(ERROR_INVALID_NAME);
}

bool closeEvent(EventHandle event) {
  if (event == kInvalidEvent) return windows::fail(ERROR_INVALID_HANDLE);
  return CloseHandle(handleOf(event)) || windows::failLastError();
}

}  // namespace platform
